// C++ exceptions into Python exceptions: none may cross into the interpreter.
#pragma once

#include <Python.h>

#include <exception>

// Sets the Python exception for error: MemoryError for std::bad_alloc,
// RuntimeError with the exception's text for any other std::exception, and
// RuntimeError for anything else thrown. Returns null.
PyObject *raise_error(std::exception_ptr error);

// The same for the exception being handled; call it only inside a catch.
PyObject *raise_current();
