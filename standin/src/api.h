// The stand-in trader library's API object and its callback threads.
#pragma once

#include "ThostFtdcTraderApi.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace standin {

// How the library invokes one kind of callback on a registered spi.
struct CallbackKind {
    const char *name;
    std::size_t record_size;  // 0 when the callback takes no record
    void (*invoke)(CThostFtdcTraderSpi &spi, void *record, CThostFtdcRspInfoField *info, int id, bool last);
};

const CallbackKind *find_callback(std::string_view name);

// Largest record any callback carries; every thread keeps one buffer of it.
inline constexpr std::size_t max_record_size = 4096;

// Signalled when a posted event has been delivered or dropped. A waiter that
// gives up cancels what has not run yet.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    int state = 1;  // 1 pending, 0 delivered, CTPSIM_DROPPED dropped
    bool cancelled = false;
    int wait(int timeout_ms);
    void finish(int result);
    // False once the waiter gave up: the callback is not run.
    bool may_run();
};

// A callback waiting to run on one of the library's threads.
struct Event {
    const CallbackKind *kind = nullptr;
    bool has_record = false;
    std::vector<unsigned char> record;
    bool has_info = false;
    CThostFtdcRspInfoField info{};
    int id = 0;
    bool last = true;
    int repeat = 1;  // > 1: the same callback again with id counting up
    std::shared_ptr<Completion> completion;

    // Carries copies of the record's bytes and of the error information
    // (a CThostFtdcRspInfoField); null pointers for none.
    void attach(const void *bytes, std::size_t size, const void *error) {
        has_record = false;
        has_info = false;
        if (bytes) {
            const auto *first = static_cast<const unsigned char *>(bytes);
            has_record = true;
            record.assign(first, first + size);
        }
        if (error) {
            has_info = true;
            std::memcpy(&info, error, sizeof info);
        }
    }
};

class TraderApi;
struct Call;
class FrontLink;

// One of the library's own threads: runs the callbacks posted to it, in order.
class Worker {
public:
    Worker(TraderApi &api, int index);
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
    // While held, the thread runs nothing and events wait (a slow client).
    void hold(bool held);
    // Whether the caller is this worker's thread.
    bool runs_here() const { return thread.get_id() == std::this_thread::get_id(); }
    // Whether the thread has stopped touching the API object and this worker.
    bool exited() const { return exited_.load(); }

private:
    void run();

    TraderApi &api;
    std::mutex mutex;
    std::condition_variable wake;
    std::list<Event> events;  // a list: events made ahead are spliced in without allocating
    bool stopping = false;
    bool held = false;
    // Reused for every callback: a record pointer is valid only during its callback.
    alignas(std::max_align_t) unsigned char buffer[max_record_size];
    CThostFtdcRspInfoField info;
    std::atomic<bool> exited_{false};
    std::thread thread;
};

class TraderApi final : public CThostFtdcTraderApi {
public:
    static constexpr int thread_count = 2;

    TraderApi(int serial, std::string flow_path);

    void Release() override;
    void Init() override;
    int Join() override;
    const char *GetTradingDay() override;
    void RegisterFront(char *address) override;
    void RegisterSpi(CThostFtdcTraderSpi *spi) override;
    void SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int length) override;
    void SubscribePublicTopic(THOST_TE_RESUME_TYPE type) override;
    int ReqAuthenticate(CThostFtdcReqAuthenticateField *record, int id) override;
    int ReqUserLogin(CThostFtdcReqUserLoginField *record, int id) override;
    int ReqUserLogout(CThostFtdcUserLogoutField *record, int id) override;
    int ReqOrderInsert(CThostFtdcInputOrderField *record, int id) override;
    int ReqOrderAction(CThostFtdcInputOrderActionField *record, int id) override;
    int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *record, int id) override;
    int ReqQryOrder(CThostFtdcQryOrderField *record, int id) override;
    int ReqQryTrade(CThostFtdcQryTradeField *record, int id) override;
    int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *record, int id) override;
    int ReqQryTradingAccount(CThostFtdcQryTradingAccountField *record, int id) override;
    int ReqQryInstrument(CThostFtdcQryInstrumentField *record, int id) override;

    int serial() const { return serial_; }
    const std::string &flow() const { return flow_path; }
    bool alive();
    // Released, and no thread of its own still runs: may be freed.
    bool retirable();
    // Posts an event to thread `index`; a CTPSIM_ result.
    int post(int index, Event event);
    // The same with an event made ahead in another list, which it leaves:
    // cannot fail. An object not started or released drops the event.
    void post(int index, std::list<Event> &from, std::list<Event>::iterator event) noexcept;
    // Runs one event with the registered spi (called by the workers).
    void deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info);
    // Events waiting on thread `index` (0 once released).
    std::size_t pending(int index);
    // Holds or lets go thread `index`; a CTPSIM_ result.
    int hold(int index, bool held);
    // What GetTradingDay returns from now on (the front sets it at login).
    void set_trading_day(std::string_view day);
    // The simulated front this object reached at Init, or null.
    FrontLink *link();

private:
    // Runs use(worker) on thread index of a started, live object; a CTPSIM_ result.
    template <class Use>
    int with_worker(int index, Use use);
    // Logs a call on this object, with the caller's lock state, when the log
    // is on; fill sets the call's own members.
    template <class Fill>
    void log(std::string_view op, Fill fill) const noexcept;
    // True when the object was released: the call is logged as a violation.
    bool dead(const char *op);
    template <class Record>
    int request(const char *op, Record *record, int id);

    const int serial_;
    const std::string flow_path;
    std::vector<std::string> fronts;
    char trading_day[9] = "";

    std::mutex state_mutex;  // guards started, released, workers, link_ and trading_day
    bool started = false;
    bool released = false;
    std::array<std::unique_ptr<Worker>, thread_count> workers;
    std::unique_ptr<FrontLink> link_;  // set once by Init, kept after Release
    std::unique_ptr<Worker> parked;     // the worker that ran a Release from its own callback

    // Shared by running callbacks, exclusive for RegisterSpi: once RegisterSpi
    // returns, no callback is running on the old spi or will reach it.
    std::shared_mutex spi_mutex;
    CThostFtdcTraderSpi *spi = nullptr;
};

// The call log and fault switches that the control interface exposes.
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

// The API objects by serial: the live ones, and the last released ones as
// tombstones so that a late call on one is caught instead of corrupting
// memory. Null for an unknown serial or an older released one.
std::shared_ptr<TraderApi> find_api(int serial);
// Every object find_api can find, by serial.
std::vector<std::shared_ptr<TraderApi>> all_apis();
// Serial of the newest object created with this flow path, 0 if none.
int api_of(std::string_view flow_path);
// Tombstones kept; older ones are freed.
inline constexpr std::size_t max_tombstones = 1000;

}  // namespace standin
