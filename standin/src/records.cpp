#include "records.h"

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

void Outbox::send(Endpoint &to, const char *callback, const void *record, std::size_t size,
                  const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
    Event &e = take();
    e.kind = to.callback(callback);
    e.attach(record, size, info);  // within the capacity reserved
    e.id = id;
    e.last = last;
    to.post(spare, spare.begin());
}

void Outbox::send_bare(Endpoint &to, const char *callback, int id) noexcept {
    Event &e = take();
    e.kind = to.callback(callback);
    e.id = id;
    e.last = true;
    to.post(spare, spare.begin());
}

CThostFtdcRspInfoField info(Error error) {
    CThostFtdcRspInfoField out{};
    out.ErrorID = error_id(error);
    put(out.ErrorMsg, error_text(error));
    return out;
}

}  // namespace standin
