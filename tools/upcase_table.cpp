// Writes the table behind the update client's name comparison on hosts other than Windows:
// every UTF-16 unit of the Basic Multilingual Plane whose upper case differs from itself, with
// that upper case, as this host's case_os side answers. Run on the Windows build (under wine on
// a development machine) and committed as the POSIX side's data:
//
//   wine64 build-win/upcase_table.exe | tr -d '\r' > src/update/posix/upcase_table.inc
//
// Each pair is checked against the system's own comparison ignoring case; the tool fails rather
// than write a table the comparison contradicts.
#include <cstdint>
#include <cstdio>

#include "update/case_os.h"

using namespace qv::launcher;

int main() {
    std::printf("// Windows' upper case of every UTF-16 unit of the Basic Multilingual Plane that "
                "has one;\n"
                "// units not listed are their own upper case. Generated, do not edit:\n"
                "//   wine64 build-win/upcase_table.exe | tr -d '\\r' > "
                "src/update/posix/upcase_table.inc\n");
    int pairs = 0;
    for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
        const auto u = static_cast<std::uint16_t>(unit);
        const std::uint16_t upper = caseUpperUnit(u);
        if (!caseSameUnit(u, upper)) {
            std::fprintf(stderr, "upcase_table: U+%04X and its upper case U+%04X compare apart\n",
                         unit, upper);
            return 1;
        }
        if (upper == u) continue;
        std::printf("{0x%04X, 0x%04X},\n", unit, upper);
        ++pairs;
    }
    std::fprintf(stderr, "upcase_table: %d pairs\n", pairs);
    return 0;
}
