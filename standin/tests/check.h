// The checks of the stand-in's C++ tests: a failed check is reported with
// its line and counted; main returns failure when any failed.
#pragma once

#include <cstdio>
#include <source_location>

inline int failures = 0;

inline void check(bool ok, const char *what, std::source_location where = std::source_location::current()) {
    if (!ok) {
        std::fprintf(stderr, "%s:%u: check failed: %s\n", where.file_name(), where.line(), what);
        ++failures;
    }
}
