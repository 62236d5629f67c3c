// The POSIX side of name comparison ignoring case: a copy of Windows' upper-case table for the
// Basic Multilingual Plane, made on Windows by tools/upcase_table.cpp (units beyond the plane
// are their own upper case there too).
#include "update/case_os.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace qv::launcher {

namespace {

struct UpperPair {
    std::uint16_t unit;
    std::uint16_t upper;
};

// Sorted by unit: the tool writes them in order.
constexpr UpperPair kUpperPairs[] = {
#include "upcase_table.inc"
};

} // namespace

std::uint16_t caseUpperUnit(std::uint16_t unit) {
    const auto at = std::lower_bound(
        std::begin(kUpperPairs), std::end(kUpperPairs), unit,
        [](const UpperPair& pair, std::uint16_t wanted) { return pair.unit < wanted; });
    return at != std::end(kUpperPairs) && at->unit == unit ? at->upper : unit;
}

bool caseSameUnit(std::uint16_t a, std::uint16_t b) {
    return caseUpperUnit(a) == caseUpperUnit(b);
}

} // namespace qv::launcher
