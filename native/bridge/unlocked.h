// Scoped release of the interpreter lock.
#pragma once

#include <Python.h>

// Releases the interpreter lock for its lifetime and takes it back on every
// way out. Nothing in its scope may touch a Python object.
class Unlocked {
public:
    Unlocked() noexcept : state(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;

private:
    PyThreadState *state;
};
