// The session handle and the module functions shared between source files.
#pragma once

#include <Python.h>

#include "spi.h"

#include "../bridge/errors.h"

// The name of the capsule that wraps a session.
inline constexpr char capsule_name[] = "morva.ctp";

// The session behind a handle, or null with the capsule lookup's ValueError.
Spi *unwrap(PyObject *object);

// The same, refusing a session that another process created (a fork) with
// RuntimeError: the vendor's side of it did not survive the fork.
Spi *usable(PyObject *object);

PyObject *request(PyObject *module, PyObject *args);
