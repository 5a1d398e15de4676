// Money in whole cents. Every amount the front reports (a trade's
// commission, a position detail's margin or profit, a waiting order's
// frozen money) is computed in double from the record's own figures, in the
// order standin/README.md gives, and rounded to the cent once; sums of
// amounts are sums of cents, so that every figure is exact and a client
// following the same formulas gets the very same cents.
#pragma once

#include <cmath>
#include <cstdint>

namespace standin {

using Cents = std::int64_t;

// Rounds half away from zero. The tolerance of a millionth of a cent lets a
// half cent that binary doubles hold as a hair less (1.005 is
// 1.00499999999999989...) round up, as it does in decimal.
inline Cents cents(double amount) noexcept {
    constexpr double limit = 9e18;  // int64 holds every cent a bounded configuration reaches
    const double scaled = std::fabs(amount) * 100 + 0.5 + 1e-6;
    const double whole = std::floor(scaled < limit ? scaled : limit);
    const Cents out = static_cast<Cents>(whole);
    return amount < 0 ? -out : out;
}

inline double yuan(Cents amount) noexcept { return static_cast<double>(amount) / 100; }

}  // namespace standin
