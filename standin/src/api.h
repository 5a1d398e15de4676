// The API objects of both stand-in libraries, trader and market data alike:
// their life (Init, Release, the tombstone), their two threads, the call log,
// the faults the control interface arms, and the registry that names every
// object by its serial. Each library's class (trader.h, md.h) adds only its
// vendor interface and its callback table.
#pragma once

#include "ctpsim.h"
#include "event.h"
#include "state.h"
#include "worker.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Front;
class FrontLink;

// One call into the library, as the control interface logs it (ctpsim_calls).
struct Call {
    int api = 0;
    std::string op;
    int gil = -1;
    int arg1 = 0;
    int arg2 = 0;
    std::string text;
    std::vector<unsigned char> record;
};

void log_call(Call call);
// Whether calls are logged (ctpsim_log_calls): skip building entries when not.
bool logging_calls();
void log_violation();
int gil_state();  // 1, 0, or -1 outside Python

class ApiObject : public Endpoint {
public:
    static constexpr int thread_count = 2;

    ApiObject(int serial, std::string flow_path, std::span<const CallbackKind> callbacks);
    virtual ~ApiObject();
    ApiObject(const ApiObject &) = delete;
    ApiObject &operator=(const ApiObject &) = delete;

    int serial() const { return serial_; }
    const std::string &flow() const { return flow_path; }
    bool alive();
    // Released, and no thread of its own still runs: may be freed.
    bool retirable();

    // What its front sees (Endpoint).
    const CallbackKind *callback(std::string_view name) const noexcept override;
    void post(std::list<Event> &from, std::list<Event>::iterator event) noexcept override;
    std::size_t pending() override;
    void set_trading_day(std::string_view day) override;
    THOST_TE_RESUME_TYPE resume(Topic topic) const noexcept override;
    // Counts from the sequence number its flow directory kept for the
    // identity (a file per flow, rewritten as each message is delivered).
    std::uint32_t follow(Topic topic, std::string_view identity, std::uint32_t &generation) override;

    // For the control interface; CTPSIM_ results.
    // Posts an event to thread `index`.
    int post(int index, Event event);
    // Holds or lets go thread `index`.
    int hold(int index, bool held);
    // The simulated front this object reached at Init, or null.
    FrontLink *link();

    // Runs one event with the registered spi (called by the workers).
    void deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info);

protected:
    // The vendor's operations that both libraries' objects share: each
    // library's class forwards its overrides here.
    void release();
    void init();
    int join();
    const char *trading_day();
    void register_front(const char *address);
    // Subscribe*Topic: how the flow is resumed at each login from now on.
    void subscribe_topic(Topic topic, THOST_TE_RESUME_TYPE type) noexcept;
    // The spi as the library's own spi class, given back to the callbacks.
    void register_spi(void *spi);

    // A call with a record and a request id (Req*): logs it (a byte copy of
    // the record), then returns what admit says, or else send(record), with
    // an empty record for a null one.
    template <class Record, class Send>
    int request(const char *op, const Record *record, int id, Send send) {
        static_assert(sizeof(Record) <= sizeof(ctpsim_call::record));
        if (dead(op))
            return -1;
        log(op, [&](Call &call) {
            call.arg1 = id;
            if (record) {
                const auto *bytes = reinterpret_cast<const unsigned char *>(record);
                call.record.assign(bytes, bytes + sizeof(Record));
            }
        });
        if (std::optional<int> refused = admit(op))
            return *refused;
        const Record empty{};
        return send(record ? *record : empty);
    }
    // What a logged request returns before the front sees it, if anything:
    // the exception ctpsim_throw_next armed, -1 for an object released during
    // ctpsim_set_request_delay, ctpsim_force_result's value, -1 without a front.
    std::optional<int> admit(const char *op);
    // True when the object was released: the call is logged as a violation.
    bool dead(const char *op);
    // Logs a call on this object, with the caller's lock state, when the log
    // is on; fill sets the call's own members.
    template <class Fill>
    void log(std::string_view op, Fill fill) const noexcept {
        if (!logging_calls())
            return;
        try {
            Call call;
            call.api = serial_;
            call.op = op;
            call.gil = gil_state();
            fill(call);
            log_call(std::move(call));
        } catch (...) {
            // Out of memory: the call is left out of the log; nothing may
            // escape into the caller.
        }
    }

    // The link of this kind of object to a front it reached (with its
    // session there), and that link as it made it.
    // `ring`: the doors of the front's venue its registered addresses reach.
    virtual std::unique_ptr<FrontLink> make_link(std::shared_ptr<Front> front, std::vector<int> ring) = 0;
    template <class Made>
    Made *link_as() {
        return static_cast<Made *>(link());
    }

private:
    // Runs use(worker) on thread index of a started, live object; a CTPSIM_ result.
    template <class Use>
    int with_worker(int index, Use use);

    const int serial_;
    const std::string flow_path;
    const std::span<const CallbackKind> callback_kinds;  // of its spi class
    std::vector<std::string> fronts;
    char trading_day_[9] = "";

    std::mutex state_mutex;  // guards started, released, workers, link_ and trading_day_
    bool started = false;
    bool released = false;
    std::array<std::unique_ptr<Worker>, thread_count> workers;
    std::unique_ptr<FrontLink> link_;  // set once by Init, kept after Release
    std::unique_ptr<Worker> parked;     // the worker that ran a Release from its own callback

    // Shared by running callbacks, exclusive for RegisterSpi: once RegisterSpi
    // returns, no callback is running on the old spi or will reach it.
    std::shared_mutex spi_mutex;
    void *spi = nullptr;

    // The flows it follows, by Topic: how each is resumed, and what of it was
    // delivered (the generation of follow's latest call) and kept in its file.
    std::atomic<int> resume_types[3] = {THOST_TERT_QUICK, THOST_TERT_QUICK, THOST_TERT_QUICK};
    struct Followed {
        std::string identity;
        std::uint32_t received = 0;
        std::uint32_t generation = 0;
        int file = -1;
    };
    std::mutex flow_mutex;  // guards followed
    Followed followed[3];
    bool released_flows = false;  // Release closed the files
    // Notes a flow's message delivered (under flow_mutex).
    void received(const Event &event) noexcept;
};

// The API objects of both libraries by serial: the live ones, and the last
// released ones as tombstones so that a late call on one is caught instead of
// corrupting memory. Null for an unknown serial or an older released one.
std::shared_ptr<ApiObject> find_api(int serial);
// Every object find_api can find, by serial.
std::vector<std::shared_ptr<ApiObject>> all_apis();
// Serial of the newest object created with this flow path, 0 if none.
int api_of(std::string_view flow_path);
// Serial of the newest object, 0 before the first.
int last_serial();
// Tombstones kept; older ones are freed.
inline constexpr std::size_t max_tombstones = 1000;

// The vendor's static Create*Api of either library: logs the call (its flag
// arguments as arg1 and arg2), throws what ctpsim_throw_next armed, and
// returns false when asked to fail, when the flow path cannot be made, or out
// of memory; else registers the object `make` builds with the next serial.
using MakeApi = std::function<std::shared_ptr<ApiObject>(int serial, std::string flow)>;
bool create_api(const char *op, const char *flow_path, int arg1, int arg2, const MakeApi &make);
template <class Api>
Api *create(const char *op, const char *flow_path, int arg1, int arg2) {
    Api *made = nullptr;
    const bool created = create_api(op, flow_path, arg1, arg2, [&](int serial, std::string flow) {
        auto api = std::make_shared<Api>(serial, std::move(flow));
        made = api.get();
        return api;
    });
    return created ? made : nullptr;
}
// The vendor's static GetApiVersion: a copy per thread, valid until that
// thread calls again (ctpsim_set_version may change the text meanwhile).
const char *api_version();

}  // namespace standin
