// The reply envelope: what a record callback leaves in the queue, and the
// event record it becomes.
#pragma once

#include <Python.h>

#include "ThostFtdcTraderApi.h"
#include "codecs.h"
#include "names.h"

#include <cstddef>
#include <cstring>

// Byte-for-byte copy of a vendor record, or all zero bytes for a null pointer.
template <class T>
T copy_of(const T *record) noexcept {
    T copy;
    if (record != nullptr)
        std::memcpy(&copy, record, sizeof copy);
    else
        std::memset(&copy, 0, sizeof copy);
    return copy;
}

// Closure body of a reply. Built on the vendor's thread from copies of the
// record and the error information; run by poll, it builds
// {"name", "data", "error", "request_id", "last"}, with "data" from the
// convert overload for T (None when the vendor passed no record).
template <class T>
struct Reply {
    bool present;
    T copy;
    CThostFtdcRspInfoField error;
    const char *name;  // a literal: only the pointer is kept
    int id;
    bool last;

    Reply(const char *event, const T *data, const CThostFtdcRspInfoField *info, int request, bool is_last) noexcept
        : present(data != nullptr), copy(copy_of(data)), error(copy_of(info)), name(event), id(request), last(is_last) {}

    PyObject *operator()() const {
        PyObject *d = present ? convert(copy) : Py_NewRef(Py_None);
        PyObject *e = convert(error);
        // The converters report a failed field only as a pending exception.
        if (d == nullptr || e == nullptr || PyErr_Occurred()) {
            Py_XDECREF(d);
            Py_XDECREF(e);
            return nullptr;
        }
        // {"name", "data", "error", "request_id", "last"}, in that order,
        // with the keys and the name shared across the batch.
        static constexpr const char *keys[] = {"name", "data", "error", "request_id", "last"};
        PyObject *values[] = {Names::get(name), d, e, PyLong_FromLong(id), Py_NewRef(last ? Py_True : Py_False)};
        PyObject *record = PyDict_New();
        bool built = record != nullptr;
        for (std::size_t i = 0; i < std::size(keys); ++i) {
            if (built && values[i] != nullptr) {
                PyObject *key = Names::get(keys[i]);
                built = key != nullptr && PyDict_SetItem(record, key, values[i]) == 0;
                Py_XDECREF(key);
            } else {
                built = false;
            }
            Py_XDECREF(values[i]);
        }
        if (!built) {
            Py_XDECREF(record);
            return nullptr;
        }
        return record;
    }
};
