// The stand-in market-data library's API object. It lives in the trader
// library, next to the simulated fronts it shares with trader sessions;
// thostmduserapi_se.so only forwards CThostFtdcMdApi's static entry points
// here (md_entry.cpp).
#pragma once

#include "ThostFtdcMdApi.h"
#include "api.h"

#include <array>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// How the library invokes one kind of market-data callback.
struct MdCallbackKind {
    const char *name;
    std::size_t record_size;  // 0 when the callback takes no record
    void (*invoke)(CThostFtdcMdSpi &spi, void *record, CThostFtdcRspInfoField *info, int id, bool last);
};

const MdCallbackKind *find_md_callback(std::string_view name);

class MdLink;

class MdApi final : public CThostFtdcMdApi, public Host {
public:
    static constexpr int thread_count = 2;

    MdApi(int serial, std::string flow_path);

    void Release() override;
    void Init() override;
    int Join() override;
    const char *GetTradingDay() override;
    void RegisterFront(char *address) override;
    void RegisterSpi(CThostFtdcMdSpi *spi) override;
    int SubscribeMarketData(char *ids[], int count) override;
    int UnSubscribeMarketData(char *ids[], int count) override;
    int ReqUserLogin(CThostFtdcReqUserLoginField *record, int id) override;
    int ReqUserLogout(CThostFtdcUserLogoutField *record, int id) override;

    void deliver(const Event &event, int repeat_index, unsigned char *buffer, CThostFtdcRspInfoField &info) override;

    int serial() const { return serial_; }
    const std::string &flow() const { return flow_path; }
    bool alive();
    bool retirable();
    // As TraderApi's.
    int post(int index, Event event);
    std::size_t pending(int index);
    int hold(int index, bool held);
    void set_trading_day(std::string_view day);
    MdLink *link();

private:
    template <class Use>
    int with_worker(int index, Use use);
    template <class Fill>
    void log(std::string_view op, Fill fill) const noexcept;
    bool dead(const char *op);
    // What Req* and (Un)SubscribeMarketData return before the front sees them,
    // or 1 to go on.
    int admit(const char *op);
    int subscription(const char *op, char *ids[], int count, bool subscribe);

    const int serial_;
    const std::string flow_path;
    std::vector<std::string> fronts;
    char trading_day[9] = "";

    std::mutex state_mutex;  // guards started, released, workers, link_ and trading_day
    bool started = false;
    bool released = false;
    std::array<std::unique_ptr<Worker>, thread_count> workers;
    std::unique_ptr<MdLink> link_;
    std::unique_ptr<Worker> parked;

    std::shared_mutex spi_mutex;
    CThostFtdcMdSpi *spi = nullptr;
};

// Market-data API objects by serial (serials shared with trader objects),
// with tombstones as for those.
std::shared_ptr<MdApi> find_md_api(int serial);
std::vector<std::shared_ptr<MdApi>> all_md_apis();
int md_api_of(std::string_view flow_path);
// Undoes ctpsim_hold on market-data objects and stops every random walk.
void reset_md_switches();

// ctpsim_walk (feed.cpp): starts, replaces or (rate 0) stops a walk.
int walk(std::string_view front, std::string_view instrument, unsigned long long seed, double rate);
void stop_walks();

}  // namespace standin

// The entry points thostmduserapi_se.so forwards to.
extern "C" {
__attribute__((visibility("default"))) CThostFtdcMdApi *standin_create_md_api(const char *flow_path, bool udp,
                                                                               bool multicast);
__attribute__((visibility("default"))) const char *standin_md_api_version();
}
