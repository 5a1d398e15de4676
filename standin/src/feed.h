// The market-data feed of a simulated front: subscriptions, and a snapshot to
// each subscriber whenever an instrument's top five levels, last price or
// volume change. Like the exchange it reads, it has no lock of its own: the
// front serialises every call (front.h).
#pragma once

#include "exchange.h"
#include "session.h"

#include <string>
#include <utility>
#include <vector>

namespace standin {

class Feed {
public:
    explicit Feed(Exchange &exchange);

    // Answers SubscribeMarketData (or UnSubscribeMarketData): one reply per
    // id, each accepted subscription followed at once by a snapshot. All or
    // nothing: may throw before it changes anything.
    void subscribe(MdSession &session, const std::vector<std::string> &ids, bool subscribe);
    // Sends a snapshot of each instrument that changed since its last one to
    // its subscribers among `sessions`. Short of memory, a session misses a
    // snapshot; the next carries the whole state again.
    void publish(const std::vector<MdSession *> &sessions) noexcept;

    // While the front replays a recording the feed sends only the recorded
    // ticks: no snapshot of the front's own book, at a subscription or after.
    bool quiet = false;

private:
    Exchange &exchange;
    // Each instrument, in the exchange's order, with the top its last snapshot showed.
    std::vector<std::pair<Instrument *, Instrument::Top>> published;
};

}  // namespace standin
