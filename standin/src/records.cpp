#include "records.h"

#include <ctime>

namespace standin {

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

void Outbox::reserve(std::size_t count, std::size_t size) {
    std::list<Event> more;
    for (std::size_t i = 0; i < count; ++i)
        more.emplace_back().record.reserve(size);
    spare.splice(spare.end(), more);
}

Event &Outbox::take() noexcept {
    // Counted short: a bug, which shows as a failure only when memory runs out here.
    if (spare.empty())
        spare.emplace_back();
    Event &e = spare.front();
    e.has_record = false;
    e.has_info = false;
    return e;
}

void Outbox::send_bare(TraderApi &api, const char *callback, int id) noexcept {
    Event &e = take();
    e.kind = find_callback(callback);
    e.id = id;
    e.last = true;
    api.post(0, spare, spare.begin());
}

CThostFtdcRspInfoField info(Error error) {
    CThostFtdcRspInfoField out{};
    out.ErrorID = error_id(error);
    put(out.ErrorMsg, error_text(error));
    return out;
}

namespace {

std::tm local_at(std::time_t when) {
    std::tm parts{};
    ::localtime_r(&when, &parts);
    return parts;
}

std::tm local_now() { return local_at(std::time(nullptr)); }

std::string date_text(const std::tm &parts) {
    char out[16];
    std::strftime(out, sizeof out, "%Y%m%d", &parts);
    return out;
}

}  // namespace

std::string today() { return date_text(local_now()); }

std::string now_time() {
    const std::tm parts = local_now();
    char out[16];
    std::strftime(out, sizeof out, "%H:%M:%S", &parts);
    return out;
}

std::string default_trading_day() {
    // Days are added to the time, not normalised with mktime: mktime
    // re-reads the time zone on every call, which is not safe while other
    // threads do the same (two fronts made at once).
    const std::time_t now = std::time(nullptr);
    const std::tm parts = local_at(now);
    const int skip = parts.tm_wday == 6 ? 2 : parts.tm_wday == 0 ? 1 : 0;
    return date_text(skip == 0 ? parts : local_at(now + skip * 24 * 60 * 60));
}

}  // namespace standin
