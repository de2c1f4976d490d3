// Per-solve time of the four-axis solver on fixed corpora of random feasible
// problems with 0 to 4 coupled rows, by case: the quick exit (the clamped
// desired vector already meets every row), every problem of a corpus as it
// comes, and only those that run the active-set iterations. The anchor is the
// floor any projection pays: clamping the desired vector into the box, over the
// same corpus. After the table, each case is printed as ns per solve and as a
// multiple of that clamp.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "morvex/core.h"

namespace {

constexpr std::size_t kCorpusSize = 1024;

struct Problem {
    float d[4];
    Bounds4 box;
    Constraints4 rows;
};

enum class Shape { QuickExit, AsTheyCome, Iterated };

// Rows met with slack by a point of the box; the desired vector is that point
// (quick exit) or the point moved by up to 6 per axis.
Problem random_problem(std::mt19937& rng, int count, bool inside) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> u01(0.0f, 1.0f);
    Problem p{};
    float inner[4];
    for (int i = 0; i < 4; ++i) {
        p.box.min[i] = -5.0f + 6.0f * u01(rng);
        p.box.max[i] = p.box.min[i] + 0.2f + 10.0f * u01(rng);
        inner[i] = p.box.min[i] + (p.box.max[i] - p.box.min[i]) * u01(rng);
        p.d[i] = inside ? inner[i] : inner[i] + 6.0f * unit(rng);
    }
    p.rows.count = static_cast<uint64_t>(count);
    for (int j = 0; j < count; ++j) {
        double lhs = 0;
        for (int i = 0; i < 4; ++i) {
            p.rows.a[j][i] = unit(rng);
            lhs += double(p.rows.a[j][i]) * double(inner[i]);
        }
        p.rows.b[j] = static_cast<float>(lhs + 0.5 * double(u01(rng)));
    }
    return p;
}

std::vector<Problem> make_corpus(int count, Shape shape) {
    std::mt19937 rng(static_cast<unsigned>(1000 + 10 * count + static_cast<int>(shape)));
    std::vector<Problem> corpus;
    while (corpus.size() < kCorpusSize) {
        const Problem p = random_problem(rng, count, shape == Shape::QuickExit);
        if (shape == Shape::Iterated) {
            Solution4 out;
            morvex_solve_multivar_4d(p.d, &p.box, &p.rows, &out);
            if (out.iterations == 0) continue;
        }
        corpus.push_back(p);
    }
    return corpus;
}

// Worst cases: every active-set iteration spent, and every
// projection pass spent before an infeasible verdict.
std::vector<Problem> iteration_limit_corpus() {
    Problem p{{2, 2, 2, 2}, {{-5, -5, -5, -5}, {5, 5, 5, 5}}, {}};
    p.rows.count = 2;
    const float rows[2][4] = {{1, 1, 0, 0}, {0, 0, 1, 1}};
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 4; ++i) p.rows.a[j][i] = rows[j][i];
        p.rows.b[j] = 1;
    }
    return std::vector<Problem>(kCorpusSize, p);
}

std::vector<Problem> infeasible_corpus() {
    Problem p{{0.5f, 0.5f, 0.5f, 0.5f}, {{0, 0, 0, 0}, {1, 1, 1, 1}}, {}};
    p.rows.count = 1;
    p.rows.a[0][0] = 1;
    p.rows.b[0] = -1;
    return std::vector<Problem>(kCorpusSize, p);
}

void run_corpus(benchmark::State& state, const std::vector<Problem>& corpus) {
    Solution4 out{};
    for (auto _ : state) {
        for (const Problem& p : corpus) {
            morvex_solve_multivar_4d(p.d, &p.box, &p.rows, &out);
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(corpus.size()));
}

void BM_ClampOnly(benchmark::State& state) {
    static const auto corpus = make_corpus(4, Shape::AsTheyCome);
    float u[4];
    for (auto _ : state) {
        for (const Problem& p : corpus) {
            for (int i = 0; i < 4; ++i) {
                const float v = p.d[i];
                u[i] = v < p.box.min[i] ? p.box.min[i] : (v > p.box.max[i] ? p.box.max[i] : v);
            }
            benchmark::DoNotOptimize(u);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(corpus.size()));
}

void BM_QuickExit(benchmark::State& state) {
    static const auto corpus = make_corpus(4, Shape::QuickExit);
    run_corpus(state, corpus);
}

void BM_Rows(benchmark::State& state) {
    static std::map<int, std::vector<Problem>> corpora;
    const int count = static_cast<int>(state.range(0));
    if (!corpora.count(count)) corpora[count] = make_corpus(count, Shape::AsTheyCome);
    run_corpus(state, corpora[count]);
}

void BM_IteratedRows(benchmark::State& state) {
    static std::map<int, std::vector<Problem>> corpora;
    const int count = static_cast<int>(state.range(0));
    if (!corpora.count(count)) corpora[count] = make_corpus(count, Shape::Iterated);
    run_corpus(state, corpora[count]);
}

void BM_IterationLimit(benchmark::State& state) {
    static const auto corpus = iteration_limit_corpus();
    run_corpus(state, corpus);
}

void BM_Infeasible60Passes(benchmark::State& state) {
    static const auto corpus = infeasible_corpus();
    run_corpus(state, corpus);
}

BENCHMARK(BM_ClampOnly);
BENCHMARK(BM_QuickExit);
BENCHMARK(BM_Rows)->DenseRange(0, 4);
BENCHMARK(BM_IteratedRows)->DenseRange(1, 4);
BENCHMARK(BM_IterationLimit);
BENCHMARK(BM_Infeasible60Passes);

class PerSolve : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single) {
                // CPU time per corpus pass (steadier than wall time on a shared
                // machine), in ns, over the corpus size.
                nanos[run.run_name.str()] = run.GetAdjustedCPUTime() / double(kCorpusSize);
            }
        }
    }
    std::map<std::string, double> nanos;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    PerSolve reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.nanos;
    const auto clamp = t.find("BM_ClampOnly");
    if (clamp == t.end()) return 0;
    std::printf("\n%-28s %10s %12s\n", "case", "ns/solve", "x clamp");
    for (const auto& [name, ns] : t) {
        std::printf("%-28s %10.1f %12.1f\n", name.c_str(), ns, ns / clamp->second);
    }
    return 0;
}
