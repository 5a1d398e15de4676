#include "errors.h"

#include "codecs.h"

#include <cstring>
#include <new>

PyObject *raise_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &thrown) {
        // The vendor's text, in its own encoding.
        const char *what = thrown.what();
        if (PyObject *message = text(what, std::strlen(what))) {
            PyErr_SetObject(PyExc_RuntimeError, message);
            Py_DECREF(message);
        }
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "CTP 接口抛出了未知的异常");
    }
    return nullptr;
}

PyObject *raise_current() { return raise_error(std::current_exception()); }
