// Filling the vendor's records and the events that carry them to a session.
#pragma once

#include "event.h"
#include "messages.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <string>
#include <string_view>

namespace standin {

// Makes room for `more` elements beyond the vector's size before anything
// changes (a request is all or nothing), growing the capacity geometrically
// as push_back would: reserving exactly size + more each time would copy the
// whole vector on every request.
template <class Vector>
void room_for(Vector &vector, std::size_t more) {
    const std::size_t needed = vector.size() + more;
    if (needed > vector.capacity())
        vector.reserve(std::max(needed, 2 * vector.capacity()));
}

// Copies text into a fixed field, cut to fit, the rest zero.
template <std::size_t N>
void put(char (&field)[N], std::string_view text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// The text of a fixed field, up to its first NUL.
template <std::size_t N>
std::string_view text(const char (&field)[N]) {
    const void *nul = std::memchr(field, 0, N);
    return {field, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : N};
}

std::string_view trim(std::string_view text);

// An empty filter matches everything.
inline bool matches(std::string_view filter, std::string_view value) { return filter.empty() || filter == value; }

// The five levels of a depth record (const or not), best first:
// visit(level, bid price, bid volume, ask price, ask volume), level from 0.
template <class Depth, class Visit>
void each_level(Depth &d, Visit &&visit) {
    visit(0, d.BidPrice1, d.BidVolume1, d.AskPrice1, d.AskVolume1);
    visit(1, d.BidPrice2, d.BidVolume2, d.AskPrice2, d.AskVolume2);
    visit(2, d.BidPrice3, d.BidVolume3, d.AskPrice3, d.AskVolume3);
    visit(3, d.BidPrice4, d.BidVolume4, d.AskPrice4, d.AskVolume4);
    visit(4, d.BidPrice5, d.BidVolume5, d.AskPrice5, d.AskVolume5);
}

// The events one request sends, made before the request changes anything:
// sending takes events made ahead and cannot fail, so that running out of
// memory leaves a request either undone or whole.
class Outbox {
public:
    // Room for `count` more events with records of up to `size` bytes. May throw.
    void reserve(std::size_t count, std::size_t size);

    // Fills an event made ahead with a copy of the record (none when null) and
    // of the error information, and posts it to thread 0 of the endpoint.
    void send(Endpoint &to, const char *callback, const void *record, std::size_t size,
              const CThostFtdcRspInfoField *info, int id, bool last) noexcept;
    template <class Record>
    void send(Endpoint &to, const char *callback, const Record *record, const CThostFtdcRspInfoField *info, int id,
              bool last) noexcept {
        send(to, callback, record, sizeof(Record), info, id, last);
    }
    // A callback without record: the id is the reason of OnFrontDisconnected.
    void send_bare(Endpoint &to, const char *callback, int id) noexcept;
    // A flow's message (id 0, last), the `sequence`-th of its topic's flow.
    void send(Endpoint &to, const char *callback, const void *record, std::size_t size,
              const CThostFtdcRspInfoField *info, Topic topic, std::uint32_t sequence) noexcept;
    // A copy of a flow's message at the end of `flow`, kept for replays
    // (its kind from any table: a replay sends it by name).
    void keep(std::list<Event> &flow, const CallbackKind *kind, const void *record, std::size_t size,
              const CThostFtdcRspInfoField *info) noexcept;
    // A kept message again, the `sequence`-th of its topic's flow.
    void resend(Endpoint &to, const Event &kept, Topic topic, std::uint32_t sequence) noexcept;
    // Fills an event for `to` as send does, at the end of `later` rather
    // than posting it (a reply sent later).
    void hold(std::list<Event> &later, Endpoint &to, const char *callback, const void *record, std::size_t size,
              const CThostFtdcRspInfoField *info, int id, bool last) noexcept;

private:
    // The next spare event, emptied.
    Event &take() noexcept;

    std::list<Event> spare;
};

CThostFtdcRspInfoField info(Error error);

}  // namespace standin
