// The tables a module is written as. A record's layout lists the keys of its
// "data" dict, each bound to the vendor record's member it shows; a request
// names the Req operation that sends it and the keys it reads into that
// operation's record. Each library's records.h and requests.h are such
// tables and nothing else; the code that walks them lives here and in
// calls.h, once for every library.
#pragma once

#include <Python.h>

#include "codecs.h"

#include <tuple>

// A dict key and the record member it stands for; the key is the member's
// name.
template <class Record, class Member>
struct Key {
    const char *name;
    Member Record::*member;
};

template <class Record, class Member>
constexpr Key<Record, Member> key(const char *name, Member Record::*member) {
    return {name, member};
}

// The keys of a record's "data" dict, in the order the dict shows them:
// specialised for each vendor record a module delivers, with `keys` a tuple
// of key(...) (records.h of each library; bridge/records.h for those every
// library delivers).
template <class Record>
struct Layout;

// The "data" dict of a record, built by its layout. A new dict, or null when
// no dict could be made; a failed member leaves its exception pending and
// the dict partly filled, for the caller to test once.
template <class Record>
PyObject *convert(const Record &data) {
    PyObject *dict = start<Record>();
    std::apply([&](const auto &...keys) { (put(dict, keys.name, data.*keys.member), ...); }, Layout<Record>::keys);
    return finish<Record>(dict);
}

// A request: its name, the Req operation that sends it, and the keys it reads
// into the operation's zero-filled record, in order (the first bad one is
// reported).
template <class Api, class Record, class... Members>
struct Request {
    const char *name;
    int (Api::*operation)(Record *, int);
    std::tuple<Key<Record, Members>...> keys;
};

template <class Api, class Record, class... Members>
constexpr Request<Api, Record, Members...> request(const char *name, int (Api::*operation)(Record *, int),
                                                   Key<Record, Members>... keys) {
    return {name, operation, {keys...}};
}
