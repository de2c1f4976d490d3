#include "fatal.h"

#include <Python.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace morvex::ext {
namespace {

std::atomic<bool> dying{false};

void write_raw(const char* text) {
    std::size_t len = 0;
    while (text[len] != '\0') ++len;
    ssize_t ignored = ::write(STDERR_FILENO, text, len);
    (void)ignored;
}

// A second fault while the first diagnostic is being written must not recurse.
void enter_or_die_now() {
    if (dying.exchange(true)) {
        write_raw("morvex: fatal error while reporting a fatal error\n");
        std::abort();
    }
}

void describe(const char* message, const std::source_location& where) {
    // The calling thread's name (prctl rather than pthread_getname_np, which the
    // C library versions the wheel supports do not all export at one version).
    char thread_name[32] = "<unnamed>";
    if (prctl(PR_GET_NAME, thread_name, 0, 0, 0) != 0) thread_name[0] = '\0';
    std::fprintf(stderr, "thread '%s' (id %lu) hit a fatal internal error at %s:%u in %s:\n%s\n",
                 thread_name, static_cast<unsigned long>(pthread_self()), where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(), message);
    std::fputs("note: run under `gdb -ex run --args python ...` or enable core dumps "
               "(`ulimit -c unlimited`) to obtain a backtrace\n",
               stderr);
    std::fflush(stderr);
}

}  // namespace

void fatal_error(const char* message, std::source_location where) {
    enter_or_die_now();
    describe(message, where);
    std::abort();
}

void fatal_python_error(const char* message, std::source_location where) {
    enter_or_die_now();
    if (PyErr_Occurred()) PyErr_Print();
    describe(message, where);
    std::abort();
}

void fatal_allocation_error(std::size_t bytes, std::source_location where) {
    char text[96];
    std::snprintf(text, sizeof text, "memory allocation of %zu bytes failed", bytes);
    fatal_error(text, where);
}

}  // namespace morvex::ext
