#include "queue_spi.h"

#include "errors.h"
#include "unlocked.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#include <utility>

// ---- waking the consumers ------------------------------------------------------
//
// A consumer alternates wait (or a readable descriptor) and poll. `told` says
// whether the consumers were told of the events queued since the last take:
// only the first event after a take tells them (one eventfd write, one
// notify), so a burst costs the vendor's threads no system call per event, and
// nothing at all while no one waits and no descriptor exists. take() clears
// `told` and drains the descriptor in the same holding of mutex in which it
// empties the queue, so the readiness poll consumes is exactly that of the
// events it takes.
//
// Interleavings of two vendor threads A and B with a consumer C:
//
// 1. A queues e1 (told := true, then rings after unlocking); B queues e2
//    (told already: no call); C wakes, polls e1 e2 (told := false, drained).
//    One wake-up for the batch.
// 2. C polls, emptying the queue, while A is between its unlock and its ring
//    for e1: C drains nothing (not rung yet), clears told; A rings. The
//    descriptor is readable with the queue empty: a spurious wake-up, and the
//    next poll returns []. Nothing is lost, and the next event after that
//    poll tells again.
// 3. A queues e1 after C's take: told was cleared by that take, so A tells.
//    An event queued after the consumer's last poll always wakes it: either
//    its own producer tells, or one told since that take and has rung, or is
//    about to ring, after it.
// 4. C checks the queue and sleeps on the condition variable with mutex
//    given up atomically; A's notify comes after its unlock, so it finds C
//    asleep or C finds e1 before sleeping. No wake-up falls between.
// 5. B overflows the queue: the queue is not empty, so C was told when it
//    filled, and take() refuses without clearing told: the descriptor stays
//    readable and wait returns at once, and every poll raises BufferError.
// 6. close() on another thread: once the vendor object is released, closed is
//    set, the bell rung and every waiter woken; wait then returns whether
//    anything is left, and a descriptor reader polls once more.

Bell::~Bell() {
    if (const int fd = this->fd(); fd >= 0)
        ::close(fd);
}

bool Bell::open() noexcept {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    descriptor.store(fd, std::memory_order_release);
    return fd >= 0;
}

void Bell::ring() const noexcept {
    if (const int fd = this->fd(); fd >= 0) {
        const std::uint64_t one = 1;
        // Fails only when the counter is saturated, which is readable anyway.
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    }
}

void Bell::forsake() noexcept {
    if (const int fd = descriptor.exchange(-1); fd >= 0)
        ::close(fd);
}

void Bell::silence() const noexcept {
    if (const int fd = this->fd(); fd >= 0) {
        std::uint64_t count;
        [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
    }
}

// ---- the queue -----------------------------------------------------------------

Queue::Queue() : owner(::getpid()) {}

Queue::~Queue() {
    pool.recycle(queue);
    pool.recycle(kept);
}

bool Queue::must_tell() noexcept {
    if (told || (waiters == 0 && !bell))
        return false;
    told = true;
    return true;
}

void Queue::tell() noexcept {
    bell.ring();
    woken.notify_all();
}

void Queue::enqueue(Closure *fn) noexcept {
    bool wake;
    bool dropped = false;
    try {
        std::lock_guard guard(mutex);
        if (queue.size() < capacity)
            queue.push_back(fn);
        else
            dropped = overflow = true;
        wake = must_tell();
    } catch (...) {
        pool.recycle(fn);
        lose();
        return;
    }
    // After the unlock: the vendor's thread holds mutex for no system call,
    // and a dropped closure is destroyed without it.
    if (dropped)
        pool.recycle(fn);
    if (wake)
        tell();
}

void Queue::lose() noexcept {
    // try_lock cannot throw where lock might; the consumer holds the mutex
    // only for a flag test and a swap.
    while (!mutex.try_lock())
        std::this_thread::yield();
    overflow = true;
    const bool wake = must_tell();
    mutex.unlock();
    if (wake)
        tell();
}

bool Queue::take() {
    std::lock_guard guard(mutex);
    if (overflow)
        return false;
    if (kept.empty()) {
        kept.swap(queue);
        if (std::exchange(told, false))
            bell.silence();
    }
    return true;
}

void Queue::remind() noexcept {
    try {
        std::lock_guard guard(mutex);
        told = true;
        bell.ring();
    } catch (...) {
        // wait() looks at kept before it sleeps; only a descriptor misses this.
    }
    woken.notify_all();
}

Queue::Woken Queue::wait(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex);
    ++waiters;
    Woken result = Woken::timeout;
    for (;;) {
        if (!queue.empty() || overflow) {
            result = Woken::ready;
            break;
        }
        if (closed) {
            result = Woken::closed;
            break;
        }
        if (woken.wait_until(lock, until) == std::cv_status::timeout && queue.empty() && !overflow && !closed)
            break;
    }
    --waiters;
    return result;
}

int Queue::descriptor() {
    int error;
    {
        std::lock_guard guard(mutex);
        if (bell || bell.open()) {
            // Made while something is pending already: readable from the start.
            if (!queue.empty() || overflow || closed || !kept.empty()) {
                told = true;
                bell.ring();
            }
            return bell.fd();
        }
        error = errno;
    }
    // Unlocking may change errno.
    errno = error;
    return -1;
}

// ---- closing -------------------------------------------------------------------

bool Queue::foreign() const noexcept { return ::getpid() != owner; }

void Queue::forsake() noexcept {
    if (foreign())
        bell.forsake();
}

void Queue::finish_closing() noexcept {
    {
        std::lock_guard guard(mutex);
        closed = true;
        told = true;
        bell.ring();
    }
    woken.notify_all();
    closing.store(false);
    closing.notify_all();
}

void Queue::await_close() {
    if (closing.load()) {
        Unlocked unlocked;
        closing.wait(true);
    }
}

bool Queue::shut(void *closing_api, Detached (*detach)(void *) noexcept) {
    closing.store(true);
    Detached detached;
    {
        Unlocked unlocked;
        // A request() that took the pointer before it was cleared may still be
        // in the vendor; the object must outlive that call.
        for (int n = calls.load(); n != 0; n = calls.load())
            calls.wait(n);
        detached = detach(closing_api);
        still_reachable = detached.reachable;
        finish_closing();
    }
    if (!detached.error)
        return true;
    raise_error(detached.error);
    return false;
}
