// Every place where the module runs Python code (a conversion's __float__,
// __index__, __len__ or __iter__; a class called to build an exception) counts
// as one level of recursion, as the interpreter's own calls do, so that code
// recursing through a callable meets RecursionError before the C stack runs out.
#pragma once

#include <Python.h>

namespace morvex::ext {

// What RecursionError says the module was doing when the limit was reached.
inline constexpr const char* kWhileConverting = " while converting an argument";
inline constexpr const char* kWhileCalling = " while calling a Python object";

class RecursionGuard {
public:
    // needed false (a step that cannot run Python code, such as converting an
    // exact int or float) skips the check and always counts as entered.
    explicit RecursionGuard(const char* where, bool needed = true)
        : needed_(needed), entered_(!needed || Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (needed_ && entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    // false: RecursionError is set.
    bool entered() const { return entered_; }

private:
    bool needed_;
    bool entered_;
};

}  // namespace morvex::ext
