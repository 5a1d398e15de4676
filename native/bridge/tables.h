// The tables a module is written as. A record's layout lists the keys of its
// "data" dict, each bound to the vendor record's member it shows, then the
// keys complete records add; a request names the Req operation that sends it
// and the keys it reads into that operation's record. Each library's
// records.h and requests.h are such tables and nothing else, written by
// interface/generate.py from the interface's description; the code that
// walks them lives here and in calls.h, once for every library.
//
// A member's kind comes from its C++ type in the header the module is built
// against, never from the description: char[N] is text, char a code, int or
// short an integer, double a real.
#pragma once

#include <Python.h>

#include "codecs.h"

#include <cstddef>
#include <tuple>
#include <type_traits>

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

// A text member shown undecoded: bytes up to its first NUL (a statement cut
// into records wherever its bytes end, which only whole is text).
template <class Record, std::size_t N>
struct BytesKey {
    const char *name;
    char (Record::*member)[N];
};

template <class Record, std::size_t N>
constexpr BytesKey<Record, N> bytes_key(const char *name, char (Record::*member)[N]) {
    return {name, member};
}

template <class Record, class Member>
void show(PyObject *dict, const Key<Record, Member> &key, const Record &data) {
    put(dict, key.name, data.*key.member);
}

template <class Record, std::size_t N>
void show(PyObject *dict, const BytesKey<Record, N> &key, const Record &data) {
    put_bytes(dict, key.name, data.*key.member, N);
}

// The keys of a record's "data" dict, in the order the dict shows them:
// specialised for each vendor record a module delivers, with `keys` a tuple
// of key(...), and `complete` the keys that complete records show after
// those (records.h of each library; bridge/records.h for those every library
// delivers).
template <class Record>
struct Layout;

// A complete record, for the shape cache: its dicts are not shaped as the
// record's by default.
template <class Record>
struct Complete;

// The "data" dict of a record, built by its layout: its keys, then, when
// `complete`, the keys complete records add. A new dict, or null when no
// dict could be made; a failed member leaves its exception pending and the
// dict partly filled, for the caller to test once.
template <class Record>
PyObject *convert(const Record &data, bool complete = false) {
    using Shown = Layout<Record>;
    const auto fill = [&](PyObject *dict, const auto &keys) {
        std::apply([&](const auto &...each) { (show(dict, each, data), ...); }, keys);
        return dict;
    };
    if constexpr (std::tuple_size_v<std::remove_cv_t<decltype(Shown::complete)>> > 0) {
        if (complete)
            return finish<Complete<Record>>(fill(fill(start<Complete<Record>>(), Shown::keys), Shown::complete));
    }
    return finish<Record>(fill(start<Record>(), Shown::keys));
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
