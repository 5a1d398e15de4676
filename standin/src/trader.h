// The stand-in trader library's API object: CThostFtdcTraderApi on the
// shared API object (api.h), its sessions on a simulated front trader sessions.
// Its Req operations come from the interface's description (interface.h).
#pragma once

#include "ThostFtdcTraderApi.h"
#include "api.h"
#include "interface.h"

#include <memory>
#include <string>
#include <vector>

namespace standin {

class TraderApi final : public interface::trader::Requests<TraderApi>, public ApiObject {
public:
    TraderApi(int serial, std::string flow_path);

    void Release() override { release(); }
    void Init() override { init(); }
    int Join() override { return join(); }
    const char *GetTradingDay() override { return trading_day(); }
    void RegisterFront(char *address) override { register_front(address); }
    void RegisterSpi(CThostFtdcTraderSpi *spi) override { register_spi(spi); }
    void SubscribePrivateTopic(THOST_TE_RESUME_TYPE type, int length) override;
    void SubscribePublicTopic(THOST_TE_RESUME_TYPE type) override;

private:
    friend class interface::trader::Requests<TraderApi>;
    std::unique_ptr<FrontLink> make_link(std::shared_ptr<Front> front, std::vector<int> ring) override;
    // Every Req operation: logged, then sent to the front.
    template <class Record>
    int request(const char *op, Record *record, int id);
};

}  // namespace standin
