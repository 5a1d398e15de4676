// The shapes of the vendor's callbacks, from which each library's table of
// CallbackKind is built (interface.h), generic over the spi class.
#pragma once

#include "event.h"

#include <span>
#include <string_view>

namespace standin::callbacks {

// OnRsp*: record, error information, request id, last flag.
template <class Spi, class Record, void (Spi::*fn)(Record *, CThostFtdcRspInfoField *, int, bool)>
constexpr CallbackKind rsp(const char *name) {
    return {name, sizeof(Record), [](void *spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
                (static_cast<Spi *>(spi)->*fn)(static_cast<Record *>(r), info, id, last);
            }};
}

// OnErrRtn*: record and error information.
template <class Spi, class Record, void (Spi::*fn)(Record *, CThostFtdcRspInfoField *)>
constexpr CallbackKind err_rtn(const char *name) {
    return {name, sizeof(Record), [](void *spi, void *r, CThostFtdcRspInfoField *info, int, bool) {
                (static_cast<Spi *>(spi)->*fn)(static_cast<Record *>(r), info);
            }};
}

// OnRtn*: the record alone.
template <class Spi, class Record, void (Spi::*fn)(Record *)>
constexpr CallbackKind rtn(const char *name) {
    return {name, sizeof(Record), [](void *spi, void *r, CThostFtdcRspInfoField *, int, bool) {
                (static_cast<Spi *>(spi)->*fn)(static_cast<Record *>(r));
            }};
}

// A callback without arguments (OnFrontConnected).
template <class Spi, void (Spi::*fn)()>
constexpr CallbackKind bare(const char *name) {
    return {name, 0, [](void *spi, void *, CThostFtdcRspInfoField *, int, bool) { (static_cast<Spi *>(spi)->*fn)(); }};
}

// A callback of one int, which comes as the id: the reason of
// OnFrontDisconnected, the time lapse of OnHeartBeatWarning.
template <class Spi, void (Spi::*fn)(int)>
constexpr CallbackKind with_value(const char *name) {
    return {name, 0, [](void *spi, void *, CThostFtdcRspInfoField *, int value, bool) {
                (static_cast<Spi *>(spi)->*fn)(value);
            }};
}

// OnRspError, the same in every spi class: its record is its error
// information, given as either.
template <class Spi>
constexpr CallbackKind rsp_error() {
    return {"OnRspError", sizeof(CThostFtdcRspInfoField),
            [](void *spi, void *r, CThostFtdcRspInfoField *info, int id, bool last) {
                static_cast<Spi *>(spi)->OnRspError(r ? static_cast<CThostFtdcRspInfoField *>(r) : info, id, last);
            }};
}

// The kind named in a library's table, or null.
inline const CallbackKind *find(std::span<const CallbackKind> table, std::string_view name) noexcept {
    for (const auto &kind : table)
        if (name == kind.name)
            return &kind;
    return nullptr;
}

}  // namespace standin::callbacks
