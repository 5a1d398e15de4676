// The stand-in market-data library's API objects: the same threads, buffers,
// tombstones and call log as the trader library's, on CThostFtdcMdSpi.
#include "md.h"

#include "ctpsim.h"
#include "front.h"
#include "state.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

namespace standin {

namespace {

template <class Record>
using RspCallback = void (CThostFtdcMdSpi::*)(Record *, CThostFtdcRspInfoField *, int, bool);

template <class Record, RspCallback<Record> fn>
MdCallbackKind rsp(const char *name) {
    return {name, sizeof(Record), [](CThostFtdcMdSpi &spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
                (spi.*fn)(static_cast<Record *>(r), info, id, last);
            }};
}

using S = CThostFtdcMdSpi;

const MdCallbackKind callbacks[] = {
    {"OnFrontConnected", 0, [](S &spi, void *, CThostFtdcRspInfoField *, int, bool) { spi.OnFrontConnected(); }},
    {"OnFrontDisconnected", 0,
     [](S &spi, void *, CThostFtdcRspInfoField *, int reason, bool) { spi.OnFrontDisconnected(reason); }},
    {"OnHeartBeatWarning", 0,
     [](S &spi, void *, CThostFtdcRspInfoField *, int lapse, bool) { spi.OnHeartBeatWarning(lapse); }},
    rsp<CThostFtdcRspUserLoginField, &S::OnRspUserLogin>("OnRspUserLogin"),
    rsp<CThostFtdcUserLogoutField, &S::OnRspUserLogout>("OnRspUserLogout"),
    rsp<CThostFtdcSpecificInstrumentField, &S::OnRspSubMarketData>("OnRspSubMarketData"),
    rsp<CThostFtdcSpecificInstrumentField, &S::OnRspUnSubMarketData>("OnRspUnSubMarketData"),
    {"OnRspError", sizeof(CThostFtdcRspInfoField),
     [](S &spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
         spi.OnRspError(r ? static_cast<CThostFtdcRspInfoField *>(r) : info, id, last);
     }},
    {"OnRtnDepthMarketData", sizeof(CThostFtdcDepthMarketDataField),
     [](S &spi, void *r, CThostFtdcRspInfoField *, int, bool) {
         spi.OnRtnDepthMarketData(static_cast<CThostFtdcDepthMarketDataField *>(r));
     }},
};

constexpr unsigned char scribble = 0xA5;

struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<MdApi>> apis;
    std::deque<int> tombstones;
};

Registry &registry() {
    static auto *instance = new Registry;  // never destroyed: API threads may outlive static destructors
    return *instance;
}

void retire_md(int serial) noexcept {
    std::vector<std::shared_ptr<MdApi>> freed;
    try {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.tombstones.push_back(serial);
        for (auto at = r.tombstones.begin(); r.tombstones.size() > max_tombstones && at != r.tombstones.end();) {
            auto api = r.apis.find(*at);
            if (api == r.apis.end() || api->second->retirable()) {
                if (api != r.apis.end()) {
                    freed.push_back(std::move(api->second));
                    r.apis.erase(api);
                }
                at = r.tombstones.erase(at);
            } else {
                ++at;
            }
        }
    } catch (...) {
        // Out of memory: the tombstone is kept whole (never freed), which is safe.
    }
}

}  // namespace

const MdCallbackKind *find_md_callback(std::string_view name) {
    for (const auto &kind : callbacks)
        if (name == kind.name)
            return &kind;
    return nullptr;
}

MdApi::MdApi(int serial, std::string flow) : serial_(serial), flow_path(std::move(flow)) {}

template <class Fill>
void MdApi::log(std::string_view op, Fill fill) const noexcept {
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
        // Out of memory: left out of the log.
    }
}

bool MdApi::dead(const char *op) {
    std::lock_guard lock(state_mutex);
    if (!released)
        return false;
    log_violation();
    log("violation:", [&](Call &call) { call.op += op; });
    return true;
}

bool MdApi::alive() {
    std::lock_guard lock(state_mutex);
    return !released;
}

bool MdApi::retirable() {
    std::lock_guard lock(state_mutex);
    return released && (!parked || parked->exited());
}

void MdApi::Release() {
    if (dead("Release"))
        return;
    log("Release", [](Call &) {});
    throw_if_asked("Release");
    if (MdLink *front = link())
        front->leave();
    std::array<std::unique_ptr<Worker>, thread_count> stopping;
    {
        std::lock_guard lock(state_mutex);
        released = true;
        stopping.swap(workers);
    }
    for (auto &worker : stopping) {
        if (!worker)
            continue;
        const bool own = worker->runs_here();
        worker->stop();
        if (own) {
            std::lock_guard lock(state_mutex);
            parked = std::move(worker);
        }
    }
    retire_md(serial_);
}

void MdApi::Init() {
    if (dead("Init"))
        return;
    log("Init", [](Call &) {});
    {
        std::lock_guard lock(state_mutex);
        if (started)
            return;
        std::array<std::unique_ptr<Worker>, thread_count> starting;
        try {
            for (int i = 0; i < thread_count; ++i)
                starting[i] = std::make_unique<Worker>(*this, i);
        } catch (...) {
            return;
        }
        workers.swap(starting);
        started = true;
    }
    throw_if_asked("Init");
    for (const auto &front : fronts) {
        auto address = parse_sim_address(front);
        if (!address)
            continue;
        std::unique_ptr<MdLink> reached = MdLink::reach(*this, *address);
        MdLink *connecting = reached.get();
        if (connecting) {
            {
                std::lock_guard lock(state_mutex);
                link_ = std::move(reached);
            }
            connecting->connect();
        }
        break;
    }
}

int MdApi::Join() { return dead("Join") ? -1 : 0; }

const char *MdApi::GetTradingDay() {
    if (dead("GetTradingDay"))
        return "";
    std::lock_guard lock(state_mutex);
    return trading_day;
}

void MdApi::RegisterFront(char *address) {
    if (dead("RegisterFront"))
        return;
    log("RegisterFront", [&](Call &call) { call.text = address ? address : ""; });
    throw_if_asked("RegisterFront");
    try {
        fronts.emplace_back(address ? address : "");
    } catch (...) {
    }
}

void MdApi::RegisterSpi(CThostFtdcMdSpi *new_spi) {
    if (dead("RegisterSpi"))
        return;
    log("RegisterSpi", [&](Call &call) { call.arg1 = new_spi != nullptr; });
    throw_if_asked("RegisterSpi");
    std::unique_lock lock(spi_mutex);
    spi = new_spi;
}

int MdApi::admit(const char *op) {
    throw_if_asked(op);
    if (const int delay = request_delay_us(); delay > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        if (dead(op))
            return -1;
    }
    if (auto forced = forced_result())
        return *forced;
    return link() ? 1 : -1;
}

int MdApi::subscription(const char *op, char *ids[], int count, bool subscribe) {
    if (dead(op))
        return -1;
    std::vector<std::string> named;
    try {
        for (int i = 0; ids && i < count; ++i)
            named.emplace_back(ids[i] ? ids[i] : "");
    } catch (...) {
        return -1;
    }
    // The log shows the count and the ids, one a line (cut to the field).
    log(op, [&](Call &call) {
        call.arg1 = count;
        for (const auto &id : named)
            call.text += id + "\n";
    });
    if (const int admitted = admit(op); admitted != 1)
        return admitted;
    if (count < 0 || (count > 0 && !ids))
        return -1;
    return link()->subscribe(named, subscribe);
}

int MdApi::SubscribeMarketData(char *ids[], int count) { return subscription("SubscribeMarketData", ids, count, true); }

int MdApi::UnSubscribeMarketData(char *ids[], int count) {
    return subscription("UnSubscribeMarketData", ids, count, false);
}

int MdApi::ReqUserLogin(CThostFtdcReqUserLoginField *record, int id) {
    if (dead("ReqUserLogin"))
        return -1;
    log("ReqUserLogin", [&](Call &call) {
        call.arg1 = id;
        if (record) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(record);
            call.record.assign(bytes, bytes + sizeof *record);
        }
    });
    if (const int admitted = admit("ReqUserLogin"); admitted != 1)
        return admitted;
    const CThostFtdcReqUserLoginField empty{};
    return link()->request(record ? *record : empty, id);
}

int MdApi::ReqUserLogout(CThostFtdcUserLogoutField *record, int id) {
    if (dead("ReqUserLogout"))
        return -1;
    log("ReqUserLogout", [&](Call &call) {
        call.arg1 = id;
        if (record) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(record);
            call.record.assign(bytes, bytes + sizeof *record);
        }
    });
    if (const int admitted = admit("ReqUserLogout"); admitted != 1)
        return admitted;
    const CThostFtdcUserLogoutField empty{};
    return link()->request(record ? *record : empty, id);
}

template <class Use>
int MdApi::with_worker(int index, Use use) {
    if (index < 0 || index >= thread_count)
        return CTPSIM_BAD_THREAD;
    std::lock_guard lock(state_mutex);
    if (released)
        return CTPSIM_NO_API;
    if (!started)
        return CTPSIM_NOT_STARTED;
    use(*workers[index]);
    return CTPSIM_OK;
}

int MdApi::post(int index, Event event) {
    return with_worker(index, [&](Worker &worker) { worker.post(std::move(event)); });
}

std::size_t MdApi::pending(int index) {
    std::lock_guard lock(state_mutex);
    if (index < 0 || index >= thread_count || !workers[index])
        return 0;
    return workers[index]->pending();
}

int MdApi::hold(int index, bool held) {
    return with_worker(index, [&](Worker &worker) { worker.hold(held); });
}

void MdApi::set_trading_day(std::string_view day) {
    std::lock_guard lock(state_mutex);
    const std::size_t n = std::min(day.size(), sizeof trading_day - 1);
    std::memcpy(trading_day, day.data(), n);
    trading_day[n] = 0;
}

MdLink *MdApi::link() {
    std::lock_guard lock(state_mutex);
    return link_.get();
}

void MdApi::deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info) {
    std::shared_lock lock(spi_mutex);
    if (!spi || !event.md_kind)
        return;
    void *record = nullptr;
    if (event.has_record) {
        std::memcpy(buffer, event.record.data(), event.record.size());
        record = buffer;
    }
    CThostFtdcRspInfoField *info_ptr = nullptr;
    if (event.has_info) {
        info = event.info;
        info_ptr = &info;
    }
    if (timing_enabled()) {
        const Switches before = switches();
        const std::int64_t begin = monotonic_ns();
        event.md_kind->invoke(*spi, record, info_ptr, event.id + repeat_index, event.last);
        const std::int64_t end = monotonic_ns();
        record_timing(begin, end - begin, before, switches());
    } else {
        event.md_kind->invoke(*spi, record, info_ptr, event.id + repeat_index, event.last);
    }
    if (record)
        std::memset(buffer, scribble, event.record.size());
    if (info_ptr)
        std::memset(&info, scribble, sizeof info);
}

std::shared_ptr<MdApi> find_md_api(int serial) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.apis.find(serial);
    return found == r.apis.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<MdApi>> all_md_apis() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<MdApi>> out;
    for (const auto &[serial, api] : r.apis)
        out.push_back(api);
    return out;
}

int md_api_of(std::string_view flow_path) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    for (auto at = r.apis.rbegin(); at != r.apis.rend(); ++at)
        if (at->second->flow() == flow_path)
            return at->first;
    return 0;
}

void reset_md_switches() {
    stop_walks();
    for (const auto &api : all_md_apis())
        if (api->alive())
            api->hold(0, false);
}

}  // namespace standin

using namespace standin;

CThostFtdcMdApi *standin_create_md_api(const char *flow_path, bool udp, bool multicast) {
    if (logging_calls()) {
        try {
            Call call;
            call.op = "CreateFtdcMdApi";
            call.gil = gil_state();
            call.arg1 = udp;
            call.arg2 = multicast;
            call.text = flow_path ? flow_path : "";
            log_call(std::move(call));
        } catch (...) {
        }
    }
    throw_if_asked("CreateFtdcMdApi");
    if (take_create_failure())
        return nullptr;
    try {
        std::string flow = flow_path ? flow_path : "";
        if (!prepare_flow_path(flow))
            return nullptr;
        Registry &r = registry();
        auto api = std::make_shared<MdApi>(next_serial(), flow);
        std::lock_guard lock(r.mutex);
        r.apis.emplace(api->serial(), api);
        return api.get();
    } catch (...) {
        return nullptr;
    }
}

const char *standin_md_api_version() {
    throw_if_asked("GetApiVersion");
    thread_local char copy[256];
    copy_version(copy, sizeof copy);
    return copy;
}
