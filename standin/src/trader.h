// The stand-in trader library's API object: CThostFtdcTraderApi on the
// shared API object (api.h), its sessions on a simulated front trader sessions.
#pragma once

#include "ThostFtdcTraderApi.h"
#include "api.h"

#include <memory>
#include <string>

namespace standin {

class TraderApi final : public CThostFtdcTraderApi, public ApiObject {
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

private:
    std::unique_ptr<FrontLink> make_link(std::shared_ptr<Front> front) override;
    template <class Record>
    int request(const char *op, Record *record, int id);
};

}  // namespace standin
