#include "handle.h"

#include "names.h"

#include <chrono>
#include <cstring>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The records built by a poll, released unless handed on.
class Records {
public:
    Records() = default;
    ~Records() {
        for (PyObject *record : built)
            Py_DECREF(record);
    }
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;

    void reserve(std::size_t n) { built.reserve(n); }
    void add(PyObject *record) noexcept { built.push_back(record); }  // within the reserve
    std::size_t size() const noexcept { return built.size(); }
    // A new list holding them all, or null.
    PyObject *list() {
        PyObject *list = PyList_New(static_cast<Py_ssize_t>(built.size()));
        if (list == nullptr)
            return nullptr;
        for (std::size_t i = 0; i < built.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), built[i]);
        built.clear();
        return list;
    }

private:
    std::vector<PyObject *> built;
};

// Marks a session's poll as building its records.
class Building {
public:
    explicit Building(Queue &s) noexcept : session(s) { session.building = true; }
    ~Building() { session.building = false; }
    Building(const Building &) = delete;
    Building &operator=(const Building &) = delete;

private:
    Queue &session;
};

// Tells which event an exception cost, as a note on it.
void note_lost(PyObject *error, const char *event) {
    if (PyObject *added = PyObject_CallMethod(error, "add_note", "s", (std::string("CTP 事件 ") + event + " 无法转换，已丢弃").c_str()))
        Py_DECREF(added);
    else
        PyErr_Clear();
}

// Seconds as a deadline; nullopt for no limit.
bool deadline_of(PyObject *timeout, std::optional<Clock::time_point> &deadline) {
    if (timeout == Py_None)
        return true;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred())
        return false;
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, "CTP 等待时间不能为负数或 NaN");
        return false;
    }
    // Beyond about thirty years is no limit (and would overflow the clock).
    if (seconds < 1e9)
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

}  // namespace

PyObject *refuse_foreign() {
    PyErr_SetString(PyExc_RuntimeError, "CTP 接口不能跨进程使用");
    return nullptr;
}

// The system's reason, when the vendor left one, follows the message and is
// the cause: RuntimeError("创建 CTP 接口失败: Too many open files") from
// OSError(EMFILE, "Too many open files").
PyObject *creation_failed(int error) {
    static constexpr char message[] = "创建 CTP 接口失败";
    if (error == 0) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return nullptr;
    }
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    PyObject *cause = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(cause, PyExc_OSError)) {
        // No memory for the OSError: that is the error.
        PyErr_SetRaisedException(cause);
        return nullptr;
    }
    if (PyObject *reason = PyObject_GetAttrString(cause, "strerror")) {
        PyErr_Format(PyExc_RuntimeError, "%s: %S", message, reason);
        Py_DECREF(reason);
        PyObject *raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, Py_NewRef(cause));
        PyErr_SetRaisedException(raised);
    }
    Py_DECREF(cause);
    return nullptr;
}

// Delivers the session's events oldest first. The records are all built
// before the list is made, so no half-made list is ever visible, and
// closures are destroyed only once their records are handed over. When one
// event cannot be built, it is the only one lost: the records built before
// it are returned and it comes first in the next poll, which raises its
// exception if it fails again and keeps the rest.
PyObject *poll_session(Queue &session) {
    // Reached from inside another poll of the session (a finalizer that runs
    // while records are built): nothing, so events never come out of order.
    if (session.building)
        return PyList_New(0);
    Records records;
    try {
        if (!session.take()) {
            PyErr_SetString(PyExc_BufferError, "CTP 回调队列已满");
            return nullptr;
        }
        records.reserve(session.kept.size());
    } catch (...) {
        // Whatever was taken waits for the next poll; say so to the waiters,
        // whose readiness the take consumed.
        if (!session.kept.empty())
            session.remind();
        return raise_current();
    }
    Closures &batch = session.kept;
    {
        Building building(session);
        Names names;
        for (const Closure &fn : batch) {
            PyObject *record = fn();
            if (record == nullptr)
                break;
            records.add(record);
        }
    }
    const std::size_t built = records.size();
    const bool failed = built < batch.size();
    PyObject *error = failed ? PyErr_GetRaisedException() : nullptr;
    PyObject *list = records.list();
    if (list == nullptr) {
        // Nothing handed over, nothing lost: every event waits for the next poll.
        Py_XDECREF(error);
        session.remind();
        return nullptr;
    }
    Closures spent;
    for (std::size_t i = 0; i < built; ++i)
        spent.push_back(batch.pop_front());
    if (failed && built == 0) {
        note_lost(error, batch.front().event());
        spent.push_back(batch.pop_front());
        Py_DECREF(list);
        list = nullptr;
        PyErr_SetRaisedException(error);
    } else {
        Py_XDECREF(error);
    }
    session.pool.recycle(spent);
    if (!batch.empty())
        session.remind();
    return list;
}

bool Fronts::add(PyObject *address) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(address) ? PyUnicode_AsUTF8AndSize(address, &size) : nullptr;
    if (!PyUnicode_Check(address))
        PyErr_SetString(PyExc_TypeError, "CTP 前置地址必须是字符串或字符串序列");
    if (text == nullptr)
        return false;
    if (std::strlen(text) != static_cast<std::size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    try {
        addresses.emplace_back(text, static_cast<std::size_t>(size));
    } catch (...) {
        raise_current();
        return false;
    }
    return true;
}

bool Fronts::read(PyObject *front) {
    if (PyUnicode_Check(front))
        return add(front);
    if (PyBytes_Check(front) || PyByteArray_Check(front) || !PySequence_Check(front)) {
        PyErr_SetString(PyExc_TypeError, "CTP 前置地址必须是字符串或字符串序列");
        return false;
    }
    PyObject *items = PySequence_Fast(front, "CTP 前置地址必须是字符串或字符串序列");
    if (items == nullptr)
        return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    bool ok = n > 0;
    if (!ok)
        PyErr_SetString(PyExc_ValueError, "CTP 前置地址列表为空");
    // Encoding runs no Python code, so the items stay as they are.
    for (Py_ssize_t i = 0; ok && i < n; ++i)
        ok = add(PySequence_Fast_GET_ITEM(items, i));
    Py_DECREF(items);
    return ok;
}

PyObject *wait_session(Queue &session, PyObject *timeout) {
    std::optional<Clock::time_point> deadline;
    if (!deadline_of(timeout, deadline))
        return nullptr;
    // Sleeps in slices, so that Ctrl-C interrupts a long wait promptly.
    constexpr auto slice = std::chrono::milliseconds(50);
    for (;;) {
        if (!session.kept.empty())
            Py_RETURN_TRUE;
        Clock::time_point until = Clock::now() + slice;
        if (deadline && *deadline < until)
            until = *deadline;
        Queue::Woken woken = Queue::Woken::timeout;
        std::exception_ptr failed;
        {
            Unlocked unlocked;
            try {
                woken = session.wait(until);
            } catch (...) {
                failed = std::current_exception();
            }
        }
        if (failed)
            return raise_error(failed);
        if (woken == Queue::Woken::ready)
            Py_RETURN_TRUE;
        if (woken == Queue::Woken::closed || (deadline && Clock::now() >= *deadline))
            Py_RETURN_FALSE;
        if (PyErr_CheckSignals() < 0)
            return nullptr;
    }
}

PyObject *fileno_session(Queue &session) {
    int fd;
    try {
        fd = session.descriptor();
    } catch (...) {
        return raise_current();
    }
    if (fd < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(fd);
}

PyObject *version_of(const char *(*get)()) {
    const char *text;
    try {
        text = get();
    } catch (...) {
        return raise_current();
    }
    if (text == nullptr)
        text = "";
    return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

PyObject *initialise(PyModuleDef &definition) {
    PyObject *codec = PyCodec_Decoder("gb18030");
    if (codec == nullptr)
        return nullptr;
    Py_DECREF(codec);
    return PyModule_Create(&definition);
}
