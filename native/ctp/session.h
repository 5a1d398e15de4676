// The session handle and the module functions shared between source files.
#pragma once

#include <Python.h>

#include "spi.h"

// The name of the capsule that wraps a session.
inline constexpr char capsule_name[] = "morva.ctp";

// The session behind a handle, or null with the capsule lookup's ValueError.
Spi *unwrap(PyObject *object);

// Raises the Python exception for the C++ exception being handled; null.
PyObject *raise_current();

PyObject *request(PyObject *module, PyObject *args);
