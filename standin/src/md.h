// The stand-in market-data library's API object: CThostFtdcMdApi on the
// shared API object (api.h), its sessions on a simulated front market-data
// sessions. It lives in the trader library, next to the simulated fronts it
// shares with trader sessions; thostmduserapi_se.so only forwards
// CThostFtdcMdApi's static entry points here (md_entry.cpp). Its Req
// operations come from the interface's description (interface.h).
#pragma once

#include "ThostFtdcMdApi.h"
#include "api.h"
#include "interface.h"

#include <memory>
#include <string>
#include <vector>

namespace standin {

class MdApi final : public interface::md::Requests<MdApi>, public ApiObject {
public:
    MdApi(int serial, std::string flow_path);

    void Release() override { release(); }
    void Init() override { init(); }
    int Join() override { return join(); }
    const char *GetTradingDay() override { return trading_day(); }
    void RegisterFront(char *address) override { register_front(address); }
    void RegisterSpi(CThostFtdcMdSpi *spi) override { register_spi(spi); }
    int SubscribeMarketData(char *ids[], int count) override;
    int UnSubscribeMarketData(char *ids[], int count) override;

private:
    friend class interface::md::Requests<MdApi>;
    std::unique_ptr<FrontLink> make_link(std::shared_ptr<Front> front, std::vector<int> ring) override;
    // Every Req operation: logged, then sent to the front.
    template <class Record>
    int request(const char *op, Record *record, int id);
    int subscription(const char *op, char *ids[], int count, bool subscribe);
};

}  // namespace standin

// The entry points thostmduserapi_se.so forwards to.
extern "C" {
__attribute__((visibility("default"))) CThostFtdcMdApi *standin_create_md_api(const char *flow_path, bool udp,
                                                                               bool multicast);
__attribute__((visibility("default"))) const char *standin_md_api_version();
}
