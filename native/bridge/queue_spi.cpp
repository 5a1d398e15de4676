#include "queue_spi.h"

#include "unlocked.h"

#include <thread>
#include <utility>

namespace {

struct Connected {
    PyObject *operator()() const { return Py_BuildValue("{s:s}", "name", "FrontConnected"); }
};

struct Disconnected {
    int reason;
    PyObject *operator()() const { return Py_BuildValue("{s:s,s:i}", "name", "FrontDisconnected", "reason", reason); }
};

}  // namespace

void QueueSpi::OnFrontConnected() noexcept { post<Connected>(); }

void QueueSpi::OnFrontDisconnected(int reason) noexcept { post<Disconnected>(reason); }

// The error information is both the record and the error: "data" and "error"
// come out as two equal dicts.
void QueueSpi::OnRspError(CThostFtdcRspInfoField *info, int id, bool last) noexcept {
    response("RspError", info, info, id, last);
}

void QueueSpi::enqueue(Closure fn) {
    std::lock_guard guard(mutex);
    if (queue.size() < capacity)
        queue.push_back(std::move(fn));
    else
        overflow = true;
    // A dropped fn is destroyed by the caller, after the lock is given up.
}

void QueueSpi::lose() noexcept {
    // try_lock cannot throw where lock might; the consumer holds the mutex
    // only for a flag test and a swap.
    while (!mutex.try_lock())
        std::this_thread::yield();
    overflow = true;
    mutex.unlock();
}

bool QueueSpi::take(std::deque<Closure> &batch) {
    std::lock_guard guard(mutex);
    if (overflow)
        return false;
    batch.swap(queue);
    return true;
}

void QueueSpi::release() {
    if (api == nullptr)
        return;
    // Cleared while the interpreter lock is held: any later request() finds
    // the session closed.
    CThostFtdcTraderApi *closing = std::exchange(api, nullptr);
    Unlocked unlocked;
    // A request() that took the pointer before it was cleared may still be in
    // the vendor; the object must outlive that call.
    for (int n = calls.load(); n != 0; n = calls.load())
        calls.wait(n);
    closing->RegisterSpi(nullptr);
    closing->Release();
}
