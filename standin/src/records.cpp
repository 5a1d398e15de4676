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
    e.topic = Topic::none;
    e.sequence = 0;
    e.generation = 0;
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

void Outbox::send(Endpoint &to, const char *callback, const void *record, std::size_t size,
                  const CThostFtdcRspInfoField *info, Topic topic, std::uint32_t sequence) noexcept {
    Event &e = take();
    e.kind = to.callback(callback);
    e.attach(record, size, info);
    e.id = 0;
    e.last = true;
    e.topic = topic;
    e.sequence = sequence;
    to.post(spare, spare.begin());
}

void Outbox::keep(std::list<Event> &flow, const CallbackKind *kind, const void *record, std::size_t size,
                  const CThostFtdcRspInfoField *info) noexcept {
    Event &e = take();
    e.kind = kind;
    e.attach(record, size, info);
    e.id = 0;
    e.last = true;
    flow.splice(flow.end(), spare, spare.begin());
}

void Outbox::resend(Endpoint &to, const Event &kept, Topic topic, std::uint32_t sequence) noexcept {
    send(to, kept.kind ? kept.kind->name : "", kept.has_record ? kept.record.data() : nullptr, kept.record.size(),
         kept.has_info ? &kept.info : nullptr, topic, sequence);
}

void Outbox::hold(std::list<Event> &later, Endpoint &to, const char *callback, const void *record, std::size_t size,
                  const CThostFtdcRspInfoField *info, int id, bool last) noexcept {
    Event &e = take();
    e.kind = to.callback(callback);
    e.attach(record, size, info);
    e.id = id;
    e.last = last;
    later.splice(later.end(), spare, spare.begin());
}

CThostFtdcRspInfoField info(Error error) {
    CThostFtdcRspInfoField out{};
    out.ErrorID = error_id(error);
    put(out.ErrorMsg, error_text(error));
    return out;
}

}  // namespace standin
