// The session object's generic half: receives the vendor's callbacks on the
// vendor's threads and queues them, without touching Python, for poll to turn
// into event records; wakes the consumers that wait for them.
#pragma once

#include <Python.h>

#include "ThostFtdcTraderApi.h"
#include "closure.h"
#include "envelope.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <utility>

// An eventfd that a session owns: readable while poll may have something.
class Bell {
public:
    Bell() = default;
    ~Bell();
    Bell(const Bell &) = delete;
    Bell &operator=(const Bell &) = delete;

    // Makes the descriptor; false with errno set when the system refuses.
    bool open() noexcept;
    int fd() const noexcept { return descriptor; }
    explicit operator bool() const noexcept { return descriptor >= 0; }
    // Makes it readable. Never blocks.
    void ring() const noexcept;
    // Makes it unreadable again. Never blocks.
    void silence() const noexcept;

private:
    int descriptor = -1;
};

class QueueSpi : public CThostFtdcTraderSpi {
public:
    // Pending events a session may hold; at this many the next event is dropped
    // and the session is overflowed for good.
    static constexpr std::size_t capacity = 0x8000;

    // The vendor API object this session drives; null before create stores it
    // and after release. Guarded by the interpreter lock.
    CThostFtdcTraderApi *api = nullptr;
    // Guards queue and overflow, and the wake-up state below it.
    std::mutex mutex;
    Closures queue;
    bool overflow = false;
    // The blocks every closure of this session is built in.
    Pool pool;

    // Vendor calls that request() is making without the interpreter lock;
    // release() waits for them before giving the API object back.
    std::atomic<int> calls{0};

    QueueSpi();
    // Destroys every closure still queued, unrun.
    ~QueueSpi();
    QueueSpi(const QueueSpi &) = delete;
    QueueSpi &operator=(const QueueSpi &) = delete;

    void OnFrontConnected() noexcept override;
    void OnFrontDisconnected(int reason) noexcept override;
    void OnRspError(CThostFtdcRspInfoField *info, int id, bool last) noexcept override;

    // Appends fn, or drops it and sets overflow when the queue is full.
    void enqueue(Closure *fn) noexcept;

    // Queues a reply: copies of the record and error information, the request
    // id and the last flag. Runs on the vendor's thread.
    template <class T>
    void response(const char *name, const T *data, const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
        post<Reply<T>>(name, data, info, id, last);
    }

    // Detaches the session from the vendor and gives the API object back; once
    // that is done or under way elsewhere, waits for it. Needs the interpreter
    // lock and releases it inside. False, with a Python exception set, when
    // the vendor threw: the session is closed all the same.
    bool release();

    // Whether the object may be freed: not when the vendor may still call it
    // (a detach that threw), nor in a forked child where the fork caught a
    // vendor thread inside the queue.
    bool disposable() noexcept;

    // Whether the caller runs in another process than the one that created
    // the session (a fork): the vendor's threads and state did not survive
    // there, and the session must not call the vendor.
    bool foreign() const noexcept;

    // ---- the consumer's side (interpreter lock held) -------------------------

    // Events taken out of queue by an earlier poll and not delivered yet: the
    // next poll delivers these, oldest first, before it takes anything else.
    Closures kept;
    // Set while a poll turns kept into records.
    bool building = false;

    // When kept is empty, moves every pending event into it. False, with
    // nothing moved, when the session has overflowed.
    bool take();
    // Tells the consumers again that poll has something (events left in kept).
    void remind() noexcept;

    // How a wait ended.
    enum class Woken { ready, closed, timeout };
    // Waits without the interpreter lock until something is queued, the
    // session overflows or is closed, or until `until`.
    Woken wait(std::chrono::steady_clock::time_point until);

    // The descriptor behind fileno, made on first use; -1 with errno set when
    // the system refuses one.
    int descriptor();

protected:
    // Builds F from args into a closure and queues it. Nothing may escape into
    // the vendor's thread: an event that cannot be queued is lost, and a lost
    // event is reported the way a full queue is.
    template <class F, class... Args>
    void post(Args &&...args) noexcept {
        Closure *fn;
        try {
            fn = pool.make<F>(std::forward<Args>(args)...);
        } catch (...) {
            lose();
            return;
        }
        enqueue(fn);
    }

private:
    void lose() noexcept;
    // Under mutex: whether a new event must wake anyone; marks them told.
    bool must_tell() noexcept;
    // Rings the bell and wakes the waiters, after mutex is given up.
    void tell() noexcept;
    // Detaches and releases closing without the interpreter lock.
    std::exception_ptr detach(CThostFtdcTraderApi *closing) noexcept;
    void finish_closing() noexcept;

    // ---- wake-up state, under mutex ----
    // Whether the consumers were told of the events queued since the last
    // take; while they were, further events make no system call.
    bool told = false;
    // Threads inside wait.
    int waiters = 0;
    // No event will come any more: the session is closed.
    bool closed = false;
    Bell bell;
    std::condition_variable woken;

    // release() under way on some thread (the others wait for it).
    std::atomic<bool> closing{false};
    bool still_reachable = false;
    const pid_t owner;
};
