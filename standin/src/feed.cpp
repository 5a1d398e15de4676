// The venue's market-data side: market-data sessions, their subscriptions,
// and the snapshots sent whenever an instrument's top five levels, last price
// or volume change; and the random walks of ctpsim_walk.
#include "venue.h"

#include "ctpsim.h"
#include "front.h"
#include "md.h"
#include "records.h"
#include "state.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <map>
#include <random>
#include <thread>

namespace standin {

// ---- trades and the top of the book -------------------------------------------

void Instrument::trade(Ticks price, int lots) {
    if (!traded) {
        open = high = low = price;
        traded = true;
    }
    last = price;
    high = std::max(high, price);
    low = std::min(low, price);
    volume += lots;
    turnover += this->price(price) * lots * setup.multiple;
}

Instrument::Top Instrument::top() const {
    Top out;
    // Entries at one price (orders and the market's quote) make one level.
    auto levels = [](const Book::Side &side, bool bids, std::array<Ticks, 5> &prices, std::array<int, 5> &volumes) {
        int level = -1;
        for (const auto &[key, entry] : side) {
            const Ticks price = Book::price(bids, key);
            if (level < 0 || prices[level] != price) {
                if (++level == 5)
                    break;
                prices[level] = price;
            }
            volumes[level] += entry.volume();
        }
    };
    levels(book.bids, true, out.bid, out.bid_volume);
    levels(book.asks, false, out.ask, out.ask_volume);
    out.last = traded ? last : 0;
    out.volume = volume;
    return out;
}

// ---- sessions ------------------------------------------------------------------

namespace {

Event md_event(const char *callback) {
    Event event;
    event.md_kind = find_md_callback(callback);
    return event;
}

}  // namespace

template <class Record>
void Venue::send_md(MdSession &session, const char *callback, const Record *record,
                    const CThostFtdcRspInfoField *info, int id, bool last) {
    Event event = md_event(callback);
    event.attach(record, sizeof(Record), info);
    event.id = id;
    event.last = last;
    session.api.post(0, std::move(event));
}

int Venue::md_admit(MdSession &session) const {
    if (!session.connected)
        return -1;
    if (session.api.pending(0) >= static_cast<std::size_t>(limits::max_pending()))
        return -2;
    return 0;
}

void Venue::connect(MdSession &session) {
    std::lock_guard lock(mutex);
    if (session.connected)
        return;
    md_sessions.reserve(md_sessions.size() + 1);
    session.api.post(0, md_event("OnFrontConnected"));
    session.connected = true;
    session.logged_in = false;
    session.subscribed.clear();
    md_sessions.push_back(&session);
}

int Venue::disconnect(MdSession &session, int reason) {
    std::lock_guard lock(mutex);
    if (!session.connected)
        return CTPSIM_BAD_VALUE;
    Event event = md_event("OnFrontDisconnected");
    event.id = reason;
    session.api.post(0, std::move(event));
    std::erase(md_sessions, &session);
    session.connected = false;
    session.logged_in = false;
    session.subscribed.clear();
    return CTPSIM_OK;
}

int Venue::reconnect(MdSession &session) {
    {
        std::lock_guard lock(mutex);
        if (session.connected)
            return CTPSIM_BAD_VALUE;
    }
    connect(session);
    return CTPSIM_OK;
}

void Venue::leave(MdSession &session) {
    std::lock_guard lock(mutex);
    std::erase(md_sessions, &session);
    session.connected = false;
    session.logged_in = false;
    session.subscribed.clear();
}

// A market-data front takes any user: prices are public.
int Venue::request(MdSession &session, const CThostFtdcReqUserLoginField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = md_admit(session))
        return refused;
    if (session.logged_in) {
        const auto status = info(Error::already_logged_in);
        send_md<CThostFtdcRspUserLoginField>(session, "OnRspUserLogin", nullptr, &status, id, true);
        return 0;
    }
    CThostFtdcRspUserLoginField reply{};
    const Stamp now = wall_clock();
    put(reply.TradingDay, trading_day);
    put(reply.LoginTime, now.time);
    put(reply.BrokerID, text(r.BrokerID));
    put(reply.UserID, text(r.UserID));
    put(reply.SystemName, "standin simulated front");
    reply.FrontID = front_id;
    put(reply.MaxOrderRef, "0");
    put(reply.SysVersion, version_text());
    const auto status = info(Error::none);
    send_md(session, "OnRspUserLogin", &reply, &status, id, true);
    session.logged_in = true;
    session.api.set_trading_day(trading_day);
    return 0;
}

int Venue::request(MdSession &session, const CThostFtdcUserLogoutField &r, int id) {
    std::lock_guard lock(mutex);
    if (int refused = md_admit(session))
        return refused;
    const Error error = session.logged_in ? Error::none : Error::not_logged_in;
    const auto status = info(error);
    send_md(session, "OnRspUserLogout", &r, &status, id, true);
    if (error == Error::none) {
        session.logged_in = false;
        session.subscribed.clear();
    }
    return 0;
}

int Venue::subscribe(MdSession &session, const std::vector<std::string> &ids, bool subscribe) {
    std::lock_guard lock(mutex);
    if (int refused = md_admit(session))
        return refused;
    const char *reply = subscribe ? "OnRspSubMarketData" : "OnRspUnSubMarketData";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const bool last = i + 1 == ids.size();
        CThostFtdcSpecificInstrumentField named{};
        put(named.InstrumentID, ids[i]);
        Instrument *found = instrument(ids[i]);
        Error error = Error::none;
        if (!session.logged_in)
            error = Error::not_logged_in;
        else if (!found)
            error = Error::unknown_instrument;
        const auto status = info(error);
        send_md(session, reply, &named, &status, 0, last);
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
            list.push_back(found);
        // A snapshot at once, whatever changed.
        const CThostFtdcDepthMarketDataField snapshot = depth(*found);
        send_md(session, "OnRtnDepthMarketData", &snapshot, static_cast<const CThostFtdcRspInfoField *>(nullptr), 0,
                true);
    }
    return 0;
}

// ---- snapshots -----------------------------------------------------------------

CThostFtdcDepthMarketDataField Venue::depth(const Instrument &instrument) const {
    constexpr double unset = DBL_MAX;
    CThostFtdcDepthMarketDataField d{};
    const Stamp now = wall_clock();
    put(d.TradingDay, trading_day);
    put(d.ActionDay, now.date);
    put(d.UpdateTime, now.time);
    d.UpdateMillisec = now.millisec;
    put(d.ExchangeID, instrument.setup.exchange);
    put(d.InstrumentID, instrument.setup.id);
    put(d.ExchangeInstID, instrument.setup.id);
    put(d.reserve1, instrument.setup.id);
    put(d.reserve2, instrument.setup.id);
    auto price = [&](Ticks ticks) { return instrument.price(ticks); };
    d.PreSettlementPrice = price(instrument.pre_settlement);
    d.PreClosePrice = price(instrument.pre_settlement);
    // Open interest: every investor's long lots (as many as short ones).
    double pre_interest = 0;
    double interest = 0;
    for (const auto &account : accounts) {
        auto held = account->positions.find({instrument.setup.id, '2'});
        if (held == account->positions.end())
            continue;
        pre_interest += held->second.yd_start;
        interest += held->second.yd + held->second.today_volume();
    }
    d.PreOpenInterest = pre_interest;
    d.OpenInterest = interest;
    d.LastPrice = instrument.traded ? price(instrument.last) : unset;
    d.OpenPrice = instrument.traded ? price(instrument.open) : unset;
    d.HighestPrice = instrument.traded ? price(instrument.high) : unset;
    d.LowestPrice = instrument.traded ? price(instrument.low) : unset;
    d.Volume = static_cast<int>(std::min<long long>(instrument.volume, INT_MAX));
    d.Turnover = instrument.turnover;
    d.ClosePrice = unset;
    d.SettlementPrice = unset;
    d.UpperLimitPrice = price(instrument.upper);
    d.LowerLimitPrice = price(instrument.lower);
    d.PreDelta = unset;
    d.CurrDelta = unset;
    d.AveragePrice = instrument.volume ? instrument.turnover / static_cast<double>(instrument.volume) : unset;
    d.BandingUpperPrice = unset;
    d.BandingLowerPrice = unset;
    const Instrument::Top top = instrument.top();
    double *bid_prices[] = {&d.BidPrice1, &d.BidPrice2, &d.BidPrice3, &d.BidPrice4, &d.BidPrice5};
    int *bid_volumes[] = {&d.BidVolume1, &d.BidVolume2, &d.BidVolume3, &d.BidVolume4, &d.BidVolume5};
    double *ask_prices[] = {&d.AskPrice1, &d.AskPrice2, &d.AskPrice3, &d.AskPrice4, &d.AskPrice5};
    int *ask_volumes[] = {&d.AskVolume1, &d.AskVolume2, &d.AskVolume3, &d.AskVolume4, &d.AskVolume5};
    for (int level = 0; level < 5; ++level) {
        *bid_prices[level] = top.bid_volume[level] ? price(top.bid[level]) : unset;
        *bid_volumes[level] = top.bid_volume[level];
        *ask_prices[level] = top.ask_volume[level] ? price(top.ask[level]) : unset;
        *ask_volumes[level] = top.ask_volume[level];
    }
    return d;
}

void Venue::publish() noexcept {
    if (md_sessions.empty())
        return;
    for (const auto &held : instruments) {
        Instrument &instrument = *held;
        bool watched = false;
        for (const MdSession *session : md_sessions)
            watched = watched || std::ranges::find(session->subscribed, &instrument) != session->subscribed.end();
        if (!watched)
            continue;
        const Instrument::Top top = instrument.top();
        if (top == instrument.published)
            continue;
        instrument.published = top;
        const CThostFtdcDepthMarketDataField snapshot = depth(instrument);
        for (MdSession *session : md_sessions) {
            if (std::ranges::find(session->subscribed, &instrument) == session->subscribed.end())
                continue;
            try {
                send_md(*session, "OnRtnDepthMarketData", &snapshot,
                        static_cast<const CThostFtdcRspInfoField *>(nullptr), 0, true);
            } catch (...) {
                // Out of memory: this session misses the tick; the next one
                // carries the whole state again.
            }
        }
    }
}

// ---- random walks --------------------------------------------------------------

namespace {

// Rates a walk takes, in steps a second: at the slowest one step in about 32
// years, an interval the steady clock holds with room to add it to the time
// now; at the fastest a million.
constexpr double min_walk_rate = 1e-9;
constexpr double max_walk_rate = 1e6;
static_assert(1e9 / min_walk_rate < static_cast<double>(std::chrono::steady_clock::duration::max().count()) / 4);

// One instrument's reference price moving a tick up or down at a steady rate,
// on a thread of its own, through the venue's move_price (so every step
// requotes the market, trades what it crosses and publishes a snapshot).
class Walk {
public:
    Walk(std::shared_ptr<Venue> venue, std::string instrument, unsigned long long seed, double rate)
        : venue(std::move(venue)), instrument(std::move(instrument)), random(seed), rate(rate) {
        thread = std::thread([this] { run(); });
    }
    ~Walk() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

private:
    void run() {
        using Clock = std::chrono::steady_clock;
        // Whole nanoseconds, within the clock's range for every rate walk takes.
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(std::llround(1e9 / rate)));
        Clock::time_point next = Clock::now();
        std::unique_lock lock(mutex);
        for (;;) {
            next += period;
            const auto now = Clock::now();
            // Far behind (a loaded machine): start afresh rather than burst.
            if (now - next > std::chrono::seconds(1))
                next = now;
            if (wake.wait_until(lock, next, [this] { return stopping; }))
                return;
            lock.unlock();
            const int step = (random() & 1) ? 1 : -1;
            // At the edge of the price band it turns back.
            if (venue->move_price(instrument, step) == CTPSIM_BAD_VALUE)
                venue->move_price(instrument, -step);
            lock.lock();
        }
    }

    std::shared_ptr<Venue> venue;
    std::string instrument;
    std::mt19937_64 random;
    double rate;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

struct Walks {
    std::mutex mutex;
    std::map<std::pair<const Venue *, std::string>, std::unique_ptr<Walk>> running;
};

Walks &walks() {
    static auto *instance = new Walks;  // never destroyed, as the venues
    return *instance;
}

}  // namespace

int walk(std::string_view front, std::string_view instrument, unsigned long long seed, double rate) {
    if (!(rate == 0 || (rate >= min_walk_rate && rate <= max_walk_rate)))
        return CTPSIM_BAD_VALUE;
    std::shared_ptr<Venue> venue = find_venue(front);
    if (!venue)
        return CTPSIM_NO_FRONT;
    double price = 0;
    if (venue->get_price(instrument, price) != CTPSIM_OK)
        return CTPSIM_NO_FRONT;
    std::unique_ptr<Walk> stopped;
    std::unique_ptr<Walk> started;
    if (rate > 0)
        started = std::make_unique<Walk>(venue, std::string(instrument), seed, rate);
    {
        Walks &w = walks();
        std::lock_guard lock(w.mutex);
        auto &slot = w.running[{venue.get(), std::string(instrument)}];
        stopped = std::move(slot);
        slot = std::move(started);
    }
    return CTPSIM_OK;  // the old walk, if any, stops here, outside the lock
}

void stop_walks() {
    decltype(Walks::running) stopped;
    {
        Walks &w = walks();
        std::lock_guard lock(w.mutex);
        stopped.swap(w.running);
    }
}

}  // namespace standin
