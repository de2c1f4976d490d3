/* C time of the exact four-axis solves of a batch, for bench/bench_coupled_limits.py:
 * reads a MorvexLimits4 record and n commands of four doubles from a file, prepares
 * the limits once and prints the best time over five passes of solving every command,
 * in nanoseconds per solve. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "morvex/exact_4d.h"

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

int main(int argc, char** argv) {
    FILE* f = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (f == NULL) return 2;
    MorvexLimits4 limits;
    size_t n;
    if (fread(&limits, sizeof limits, 1, f) != 1 || fread(&n, sizeof n, 1, f) != 1) return 2;
    double* us = malloc(n * 4 * sizeof(double));
    double* xs = malloc(n * 4 * sizeof(double));
    if (us == NULL || xs == NULL || fread(us, 4 * sizeof(double), n, f) != n) return 2;
    fclose(f);
    MorvexExact4Prepared prepared;
    if (morvex_exact_4d_prepare(&limits, &prepared) != MORVEX_STATUS_OPTIMAL) return 3;
    double best = 1e300;
    for (int pass = 0; pass < 5; ++pass) {
        const double start = now_ns();
        for (size_t i = 0; i < n; ++i) {
            MorvexExact4Result out;
            if (morvex_exact_4d_solve(&prepared, us + 4 * i, &out) != MORVEX_STATUS_OPTIMAL) return 4;
            for (int k = 0; k < 4; ++k) xs[4 * i + k] = out.x[k];
        }
        const double elapsed = now_ns() - start;
        if (elapsed < best) best = elapsed;
    }
    printf("%.3f\n", best / (double)n);
    free(us);
    free(xs);
    return 0;
}
