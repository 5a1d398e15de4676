// One of an API object's own threads: it runs the callbacks posted to it, in
// order, on one buffer that it scribbles over when each callback returns.
#pragma once

#include "event.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

namespace standin {

class ApiObject;

class Worker {
public:
    // Throws std::system_error when the thread cannot start (ctpsim_fail_thread).
    explicit Worker(ApiObject &api);
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void post(Event event);
    // Moves one event over from another list: cannot fail.
    void adopt(std::list<Event> &from, std::list<Event>::iterator event) noexcept;
    // Stops the thread after the callback that is running, dropping the rest.
    void stop();
    // Events waiting to run.
    std::size_t pending();
    // No event waits, none runs (a held thread counts as settled only when empty).
    bool settled();
    // While held, the thread runs nothing and events wait (a slow client).
    void hold(bool held);
    // Whether the caller is this worker's thread.
    bool runs_here() const { return thread.get_id() == std::this_thread::get_id(); }
    // Whether the thread has stopped touching the API object and this worker.
    bool exited() const { return exited_.load(); }

private:
    void run();

    ApiObject &api;
    std::mutex mutex;
    std::condition_variable wake;
    std::list<Event> events;  // a list: events made ahead are spliced in without allocating
    bool stopping = false;
    bool held = false;
    bool running = false;  // a callback of an event taken off the list is running
    // Reused for every callback: a record pointer is valid only during its callback.
    alignas(std::max_align_t) unsigned char buffer[max_record_size];
    CThostFtdcRspInfoField info;
    std::atomic<bool> exited_{false};
    std::thread thread;
};

}  // namespace standin
