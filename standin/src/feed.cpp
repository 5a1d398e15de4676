#include "feed.h"

#include <algorithm>

namespace standin {

namespace {

bool watches(const MdSession &session, const Instrument *instrument) {
    return std::ranges::find(session.subscribed, instrument) != session.subscribed.end();
}

}  // namespace

Feed::Feed(Exchange &exchange) : exchange(exchange) {
    for (const auto &instrument : exchange.instruments())
        published.emplace_back(instrument.get(), instrument->top());
}

void Feed::subscribe(MdSession &session, const std::vector<std::string> &ids, bool subscribe) {
    Outbox out;
    out.reserve(2 * ids.size(), std::max(sizeof(CThostFtdcSpecificInstrumentField),
                                         sizeof(CThostFtdcDepthMarketDataField)));
    room_for(session.subscribed, ids.size());
    const char *reply = subscribe ? "OnRspSubMarketData" : "OnRspUnSubMarketData";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const bool last = i + 1 == ids.size();
        CThostFtdcSpecificInstrumentField named{};
        put(named.InstrumentID, ids[i]);
        Instrument *found = exchange.instrument(ids[i]);
        Error error = Error::none;
        if (!session.logged_in())
            error = Error::not_logged_in;
        else if (!found)
            error = Error::unknown_instrument;
        const auto status = info(error);
        out.send(session.endpoint, reply, &named, &status, 0, last);
        if (error != Error::none)
            continue;
        auto &list = session.subscribed;
        const auto at = std::find(list.begin(), list.end(), found);
        if (!subscribe) {
            if (at != list.end())
                list.erase(at);
            continue;
        }
        if (at == list.end())
            list.push_back(found);  // within the room made
        if (quiet)
            continue;
        // A snapshot at once, whatever changed.
        const CThostFtdcDepthMarketDataField snapshot = exchange.depth(*found);
        out.send(session.endpoint, "OnRtnDepthMarketData", &snapshot, nullptr, 0, true);
    }
}

void Feed::publish(const std::vector<MdSession *> &sessions) noexcept {
    if (sessions.empty() || quiet)
        return;
    for (auto &[instrument, last] : published) {
        if (std::ranges::none_of(sessions, [&](const MdSession *session) { return watches(*session, instrument); }))
            continue;
        const Instrument::Top top = instrument->top();
        if (top == last)
            continue;
        last = top;
        const CThostFtdcDepthMarketDataField snapshot = exchange.depth(*instrument);
        for (MdSession *session : sessions) {
            if (!watches(*session, instrument))
                continue;
            try {
                Outbox out;
                out.reserve(1, sizeof snapshot);
                out.send(session->endpoint, "OnRtnDepthMarketData", &snapshot, nullptr, 0, true);
            } catch (...) {
                // Out of memory: this session misses the snapshot.
            }
        }
    }
}

}  // namespace standin
