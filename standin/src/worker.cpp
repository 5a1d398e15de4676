#include "worker.h"

#include "api.h"
#include "ctpsim.h"
#include "state.h"

#include <chrono>
#include <system_error>

namespace standin {

// ---- completion -------------------------------------------------------------

int Completion::wait(int timeout_ms) {
    std::unique_lock lock(mutex);
    if (!done.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return state != 1; })) {
        // Nobody waits for it any more: what has not started never runs.
        cancelled = true;
        return CTPSIM_TIMED_OUT;
    }
    return state;
}

bool Completion::may_run() {
    std::lock_guard lock(mutex);
    return !cancelled;
}

void Completion::finish(int result) {
    std::lock_guard lock(mutex);
    state = result;
    done.notify_all();
}

// ---- worker threads ---------------------------------------------------------

Worker::Worker(ApiObject &owner) : api(owner) {
    if (take_thread_failure())
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread creation refused");
    thread = std::thread([this] { run(); });
}

Worker::~Worker() { stop(); }

void Worker::post(Event event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    wake.notify_one();
}

void Worker::adopt(std::list<Event> &from, std::list<Event>::iterator event) noexcept {
    std::lock_guard lock(mutex);
    events.splice(events.end(), from, event);
    wake.notify_one();
}

std::size_t Worker::pending() {
    std::lock_guard lock(mutex);
    return events.size();
}

bool Worker::settled() {
    std::lock_guard lock(mutex);
    return events.empty() && !running;
}

void Worker::hold(bool hold) {
    std::lock_guard lock(mutex);
    held = hold;
    wake.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
        wake.notify_one();
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();  // Release called from a callback: the thread ends after it
    std::list<Event> dropped;
    {
        std::lock_guard lock(mutex);
        dropped.swap(events);
    }
    for (auto &event : dropped)
        if (event.completion)
            event.completion->finish(CTPSIM_DROPPED);
}

void Worker::run() {
    for (;;) {
        Event event;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || (!held && !events.empty()); });
            if (stopping) {
                exited_ = true;  // the last touch of this worker and its API object
                return;
            }
            event = std::move(events.front());
            events.pop_front();
            running = true;
        }
        for (int i = 0; i < event.repeat; ++i) {
            if (event.completion && !event.completion->may_run())
                break;
            api.deliver(event, i, buffer, info);
        }
        if (event.completion)
            event.completion->finish(CTPSIM_OK);
        std::lock_guard lock(mutex);
        running = false;
    }
}

}  // namespace standin
