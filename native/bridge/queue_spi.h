// The session object's generic half: receives the vendor's callbacks on the
// vendor's threads and queues them, without touching Python, for poll to turn
// into event records.
#pragma once

#include <Python.h>

#include "ThostFtdcTraderApi.h"
#include "closure.h"
#include "envelope.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>

class QueueSpi : public CThostFtdcTraderSpi {
public:
    // Pending events a session may hold; at this many the next event is dropped
    // and the session is overflowed for good.
    static constexpr std::size_t capacity = 0x8000;

    // The vendor API object this session drives; null before create stores it
    // and after release. Guarded by the interpreter lock.
    CThostFtdcTraderApi *api = nullptr;
    // Guards queue and overflow, and nothing else.
    std::mutex mutex;
    std::deque<Closure> queue;
    bool overflow = false;
    // Vendor calls that request() is making without the interpreter lock;
    // release() waits for them before giving the API object back.
    std::atomic<int> calls{0};

    QueueSpi() = default;
    QueueSpi(const QueueSpi &) = delete;
    QueueSpi &operator=(const QueueSpi &) = delete;

    void OnFrontConnected() noexcept override;
    void OnFrontDisconnected(int reason) noexcept override;
    void OnRspError(CThostFtdcRspInfoField *info, int id, bool last) noexcept override;

    // Appends fn, or drops it and sets overflow when the queue is full.
    void enqueue(Closure fn);

    // Queues a reply: copies of the record and error information, the request
    // id and the last flag. Runs on the vendor's thread.
    template <class T>
    void response(const char *name, const T *data, const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
        post<Reply<T>>(name, data, info, id, last);
    }

    // Detaches the session from the vendor and gives the API object back;
    // does nothing once done. Needs the interpreter lock, releases it inside.
    void release();

    // Moves every pending event into batch (which must be empty); false, with
    // nothing moved, when the session has overflowed.
    bool take(std::deque<Closure> &batch);

protected:
    // Builds F from args into a closure and queues it. Nothing may escape into
    // the vendor's thread: an event that cannot be queued is lost, and a lost
    // event is reported the way a full queue is.
    template <class F, class... Args>
    void post(Args &&...args) noexcept {
        try {
            enqueue(Closure::make<F>(std::forward<Args>(args)...));
        } catch (...) {
            lose();
        }
    }

private:
    void lose() noexcept;
};
