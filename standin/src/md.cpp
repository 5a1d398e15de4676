// The stand-in market-data library's API objects: the shared API object on
// CThostFtdcMdSpi, and the entry points thostmduserapi_se.so forwards to.
#include "md.h"

#include "link.h"

#include <string>
#include <vector>

namespace standin {

namespace {

const auto md_callbacks = interface::md::callback_table();

}  // namespace

MdApi::MdApi(int serial, std::string flow) : ApiObject(serial, std::move(flow), md_callbacks) {}

std::unique_ptr<FrontLink> MdApi::make_link(std::shared_ptr<Front> front, std::vector<int> ring) {
    return std::make_unique<Link<MdSession>>(std::move(front), *this, std::move(ring));
}

template <class Record>
int MdApi::request(const char *op, Record *record, int id) {
    return ApiObject::request(op, record, id,
                              [&](const Record &sent) { return link_as<Link<MdSession>>()->request(sent, id); });
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
    if (std::optional<int> refused = admit(op))
        return *refused;
    if (count < 0 || (count > 0 && !ids))
        return -1;
    return link_as<Link<MdSession>>()->subscribe(named, subscribe);
}

int MdApi::SubscribeMarketData(char *ids[], int count) { return subscription("SubscribeMarketData", ids, count, true); }

int MdApi::UnSubscribeMarketData(char *ids[], int count) {
    return subscription("UnSubscribeMarketData", ids, count, false);
}

}  // namespace standin

using namespace standin;

CThostFtdcMdApi *standin_create_md_api(const char *flow_path, bool udp, bool multicast) {
    return create<MdApi>("CreateFtdcMdApi", flow_path, udp, multicast);
}

const char *standin_md_api_version() { return api_version(); }
