// What every vendor library's module shares: the session handle (a capsule
// that owns its session), create's common part, request by the module's
// request table, poll, close, wait, fileno, the function table and the
// module's initialisation. Each module instantiates Handle with its session
// type and capsule name.
#pragma once

#include <Python.h>

#include "calls.h"
#include "errors.h"
#include "queue_spi.h"
#include "unlocked.h"

#include <array>
#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The parts that do not depend on the vendor (handle.cpp).
PyObject *poll_session(Queue &session);
PyObject *wait_session(Queue &session, PyObject *timeout);
PyObject *fileno_session(Queue &session);
// Sets the error of a session used in another process than its creator's.
PyObject *refuse_foreign();
// Sets the error of a vendor that made no API object; `error` is the errno it
// left, 0 for none.
PyObject *creation_failed(int error);
// The text a vendor library's static GetApiVersion returns, as a str
// (ASCII, "replace"); whatever it throws becomes a Python exception.
PyObject *version_of(const char *(*get)());
// The module of a definition, for its PyInit function: the text codec is
// looked up once, here, and cached, so that poll never runs an import
// (Python code that could give up the interpreter lock mid-batch), and a
// Python without it fails now rather than at the first Chinese text.
PyObject *initialise(PyModuleDef &definition);
// A module's definition: its functions, no per-module state, no slots.
inline PyModuleDef module_definition(const char *name, PyMethodDef *functions) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, nullptr, -1, functions, nullptr, nullptr, nullptr, nullptr};
}

// The front addresses create takes: one str, or a sequence of str, each
// registered with the vendor in order.
class Fronts {
public:
    // Reads and checks them all; false, with the exception set, for anything
    // but a str or a non-empty sequence of str, or for a NUL in one.
    bool read(PyObject *front);

    template <class Api>
    void register_each(Api &api) {
        // RegisterFront takes a mutable string, which it copies.
        for (std::string &address : addresses)
            api.RegisterFront(address.data());
    }

private:
    bool add(PyObject *address);
    std::vector<std::string> addresses;
};

template <class Session, const char *Name>
struct Handle {
    // The session behind a handle, or null with the capsule lookup's ValueError.
    static Session *unwrap(PyObject *object) { return static_cast<Session *>(PyCapsule_GetPointer(object, Name)); }

    // The same, refusing a session that another process created (a fork) with
    // RuntimeError: the vendor's side of it did not survive the fork.
    static Session *usable(PyObject *object) {
        Session *session = unwrap(object);
        if (session != nullptr && session->foreign()) {
            refuse_foreign();
            return nullptr;
        }
        return session;
    }

    // create's common part: makes a session (showing complete records or
    // not) and the vendor's API object with make(), registers the session
    // with it, runs setup(api) for the registrations particular to the
    // library, wraps the session in a capsule and starts the vendor with
    // Init. Takes everything back down when a step fails.
    template <class Make, class Setup>
    static PyObject *open(bool complete, Make make, Setup setup) {
        std::unique_ptr<Session> session;
        typename Session::Api *api;
        int error;
        try {
            session = std::make_unique<Session>();
            session->complete = complete;
            errno = 0;
            api = make();
            error = errno;
        } catch (...) {
            return raise_current();
        }
        if (api == nullptr)
            return creation_failed(error);
        session->api = api;
        try {
            api->RegisterSpi(session.get());
            setup(*api);
        } catch (...) {
            raise_current();
            abandon(std::move(session));
            return nullptr;
        }
        PyObject *capsule = PyCapsule_New(session.get(), Name, destroy);
        if (capsule == nullptr) {
            abandon(std::move(session));
            return nullptr;
        }
        Session *started = session.release();  // the capsule owns it now
        std::exception_ptr failed;
        {
            Unlocked unlocked;
            try {
                api->Init();
            } catch (...) {
                failed = std::current_exception();
            }
        }
        if (failed) {
            // Half started, perhaps with threads running: take it down before
            // reporting, so that nothing is left behind.
            raise_error(failed);
            PyObject *error = PyErr_GetRaisedException();
            if (!started->release())
                PyErr_Clear();
            Py_DECREF(capsule);
            PyErr_SetRaisedException(error);
            return nullptr;
        }
        return capsule;
    }

    // request(handle, name, fields, request_id): sends the request of
    // Requests, the module's request table, named `name`.
    template <const auto &Requests>
    static PyObject *request(PyObject *, PyObject *args) {
        PyObject *capsule = nullptr;
        const char *name = nullptr;
        PyObject *data = nullptr;
        int id = 0;
        if (!PyArg_ParseTuple(args, "OsO!i", &capsule, &name, &PyDict_Type, &data, &id))
            return nullptr;
        Session *session = usable(capsule);
        if (session == nullptr)
            return nullptr;
        // Closed: every name is refused, known or not.
        if (session->api == nullptr)
            return closed_session();
        return dispatch(*session, Requests, name, data, id);
    }

    static PyObject *poll(PyObject *, PyObject *capsule) {
        Session *session = usable(capsule);
        return session ? poll_session(*session) : nullptr;
    }

    static PyObject *close(PyObject *, PyObject *capsule) {
        Session *session = unwrap(capsule);
        if (session == nullptr || !session->release())
            return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject *wait(PyObject *, PyObject *args, PyObject *kwargs) {
        static const char *keywords[] = {"", "timeout", nullptr};
        PyObject *capsule = nullptr;
        PyObject *timeout = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:wait", const_cast<char **>(keywords), &capsule, &timeout))
            return nullptr;
        Session *session = usable(capsule);
        return session ? wait_session(*session, timeout) : nullptr;
    }

    static PyObject *fileno(PyObject *, PyObject *capsule) {
        Session *session = usable(capsule);
        return session ? fileno_session(*session) : nullptr;
    }

    // The module's function table: version, create (the library's own entry:
    // its arguments are the library's), request by Requests, the library's
    // own functions, poll, close, wait and fileno, and the end. Each doc
    // string is only a signature section: inspect.signature and help() read
    // it as __text_signature__, and __doc__ stays None; the documentation
    // lives in the stubs and the README.
    template <const auto &Requests, class... Own>
    static std::array<PyMethodDef, 8 + sizeof...(Own)> functions(PyCFunction version, PyMethodDef create, Own... own) {
        return {{
            {"version", version, METH_NOARGS, "version($module, /)\n--\n\n"},
            create,
            {"request", request<Requests>, METH_VARARGS, "request($module, handle, name, fields, request_id, /)\n--\n\n"},
            own...,
            {"poll", poll, METH_O, "poll($module, handle, /)\n--\n\n"},
            {"close", close, METH_O, "close($module, handle, /)\n--\n\n"},
            {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait)), METH_VARARGS | METH_KEYWORDS,
             "wait($module, handle, /, timeout=None)\n--\n\n"},
            {"fileno", fileno, METH_O, "fileno($module, handle, /)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        }};
    }

private:
    // Frees a session unless the vendor may still reach it, or the process is
    // a forked child, where freeing it could wait for ever on what the
    // parent's threads held at the fork. Such a session is left to the
    // process: a leak is better than a callback into freed memory or a hang.
    static void dispose(std::unique_ptr<Session> session) {
        if (session && !session->disposable()) {
            session->forsake();
            static_cast<void>(session.release());
        }
    }

    // Capsule destructor: closes the session if still open, then deletes it
    // with every pending event unrun.
    static void destroy(PyObject *capsule) {
        // May run while an exception propagates; leave it as found.
        PyObject *pending = PyErr_GetRaisedException();
        std::unique_ptr<Session> session(unwrap(capsule));
        if (!session)
            PyErr_Clear();
        else if (!session->release())
            PyErr_FormatUnraisable("Exception ignored while closing a CTP session");
        dispose(std::move(session));
        PyErr_SetRaisedException(pending);
    }

    // Takes a session that create could not finish back down: detached and
    // released, then freed. The error that stopped create stays the one raised.
    static void abandon(std::unique_ptr<Session> session) {
        PyObject *error = PyErr_GetRaisedException();
        if (!session->release())
            PyErr_Clear();
        dispose(std::move(session));
        PyErr_SetRaisedException(error);
    }
};
