// The session object's generic half: receives the vendor's callbacks on the
// vendor's threads and queues them, without touching Python, for poll to turn
// into event records; wakes the consumers that wait for them. Queue knows no
// vendor class; QueueSpi joins it to one library's Spi and Api classes.
#pragma once

#include <Python.h>

#include "ThostFtdcUserApiStruct.h"
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
    int fd() const noexcept { return descriptor.load(std::memory_order_acquire); }
    explicit operator bool() const noexcept { return fd() >= 0; }
    // Makes it readable. Never blocks.
    void ring() const noexcept;
    // Makes it unreadable again. Never blocks.
    void silence() const noexcept;
    // Closes the descriptor without waiting for anything, for good.
    void forsake() noexcept;

private:
    // Atomic: a vendor thread rings after giving up the queue's lock, so its
    // read is ordered with nothing the consumer does under that lock,
    // making the descriptor included.
    std::atomic<int> descriptor{-1};
};

// How a vendor API object was let go: what it threw, and whether it may
// still call its spi back (neither the detach nor the release went through).
struct Detached {
    std::exception_ptr error;
    bool reachable = false;
};

class Queue {
public:
    // Pending events a session may hold; at this many the next event is dropped
    // and the session is overflowed for good.
    static constexpr std::size_t capacity = 0x8000;

    // Guards queue and overflow, and the wake-up state below it.
    std::mutex mutex;
    Closures queue;
    bool overflow = false;
    // The blocks every closure of this session is built in.
    Pool pool;

    // Vendor calls that request() is making without the interpreter lock;
    // release() waits for them before giving the API object back.
    std::atomic<int> calls{0};

    Queue();
    // Destroys every closure still queued, unrun.
    ~Queue();
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    // Appends fn, or drops it and sets overflow when the queue is full.
    void enqueue(Closure *fn) noexcept;

    // Whether records show the keys complete records add (create's
    // full_records). Set before the vendor starts, read by its threads.
    bool complete = false;

    // Queues a reply: copies of the record and error information, the request
    // id and the last flag. Runs on the vendor's thread.
    template <class T>
    void response(const char *name, const T *data, const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
        post<Reply<T>>(name, data, info, id, last, complete);
    }

    // Queues a connection event, {"name"} or {"name", key: value} (the name
    // and key literals). Runs on the vendor's thread.
    void notice(const char *name, const char *key = nullptr, int value = 0) noexcept { post<Notice>(name, key, value); }

    // Whether the object may be freed: not when the vendor may still call it
    // (a detach that threw), nor in a forked child (see foreign).
    bool disposable() const noexcept { return !still_reachable && !foreign(); }

    // Whether the caller runs in another process than the one that created
    // the session (a fork). The vendor's threads did not survive there, and
    // whatever they held at the fork stays held: the queue's and the pool's
    // locks, the condition variable, a close under way, calls in flight. In
    // such a process the session never calls the vendor, and nothing may
    // wait for any of that state or free it: the session is left in memory.
    bool foreign() const noexcept;
    // In a forked child, closes the child's copy of the descriptor, which is
    // all of the session the child can give back without waiting; elsewhere
    // does nothing.
    void forsake() noexcept;

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
    // Closing (QueueSpi::release): waits, without the interpreter lock, until
    // a close under way on another thread has finished.
    void await_close();
    // Closes the session: waits for the vendor calls in flight, then lets the
    // API object go through detach, without the interpreter lock. False, with
    // a Python exception set, when detach reports an exception.
    bool shut(void *api, Detached (*detach)(void *api) noexcept);

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

// The session object of one vendor library: the API object it drives, and
// its release. Each module's Spi (spi.h, written from the interface's
// description) derives from it and queues every callback it overrides.
template <class VendorSpi, class VendorApi>
class QueueSpi : public VendorSpi, public Queue {
public:
    using Api = VendorApi;

    // The vendor API object this session drives; null before create stores it
    // and after release. Guarded by the interpreter lock.
    Api *api = nullptr;

    // Detaches the session from the vendor and gives the API object back; once
    // that is done or under way elsewhere, waits for it. Needs the interpreter
    // lock and releases it inside. False, with a Python exception set, when
    // the vendor threw: the session is closed all the same. In a forked child
    // it only forgets the API object, which belongs to the parent, and never
    // waits: the thread that would end a close under way is not there.
    bool release() {
        if (foreign()) {
            api = nullptr;
            return true;
        }
        if (api == nullptr) {
            // Closed already, or being closed by another thread: return only
            // once the session is detached, so nothing arrives after close returns.
            await_close();
            return true;
        }
        // Cleared while the interpreter lock is held: any later request()
        // finds the session closed.
        return shut(std::exchange(api, nullptr), detach);
    }

private:
    static Detached detach(void *closing) noexcept {
        Api *closing_api = static_cast<Api *>(closing);
        Detached result;
        bool detached = false;
        bool released = false;
        try {
            closing_api->RegisterSpi(nullptr);
            detached = true;
        } catch (...) {
            result.error = std::current_exception();
        }
        // Released, the object calls no one back, whether or not the detach went.
        try {
            closing_api->Release();
            released = true;
        } catch (...) {
            if (!result.error)
                result.error = std::current_exception();
        }
        result.reachable = !detached && !released;
        return result;
    }
};
