// How Windows compares file names when letter case is ignored, the one rule by which a game
// folder there sees two release paths as one file: unit by UTF-16 unit, each mapped through
// the system's own upper-case table (so "ǆ" and "Ǆ" are one name, "ı" and "I" two, and names
// that Unicode normalisation would call equal stay two). Other hosts answer from a copy of that
// table, so a release is judged the same on every host.
#pragma once

#include <cstdint>

namespace qv::launcher {

// The UTF-16 unit that the upper-case table maps the unit to; the unit itself when it has none.
std::uint16_t caseUpperUnit(std::uint16_t unit);

// Whether the system's comparison of names ignoring case sees the two units as one. Where the
// system is asked, this is its comparison, not the table above; the two must agree.
bool caseSameUnit(std::uint16_t a, std::uint16_t b);

} // namespace qv::launcher
