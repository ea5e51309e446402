// libFuzzer target for the tab-stop text of TTabListBox: any text either fails with one
// of the two documented exception classes or gives stops within 0..200, strictly
// increasing, whose text form parses back to the same stops.
// Build: clang++-14 -fsanitize=fuzzer,address -std=c++20 -I<repo> fuzz_tabpercentages.cpp
//        widgets/TabStops.cpp
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "widgets/TabStops.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "tab stops broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TTabStops stops;
    try {
        stops = ParseTabPercentages(text);
    } catch (const EOrderException&) {
        return 0;
    } catch (const EConvertError&) {
        return 0;
    }
    int count = 0;
    while (count < kMaxTabStops && (count == 0 || stops[count] != 0)) ++count;
    for (int k = 0; k < kMaxTabStops; ++k) {
        Check(stops[k] >= 0 && stops[k] <= kMaxTabPercentage, "value out of range");
        if (k > 0 && k < count) Check(stops[k] > stops[k - 1], "not increasing");
        if (k >= count) Check(stops[k] == 0, "value after the last stop");
    }
    Check(ParseTabPercentages(FormatTabPercentages(stops)) == stops, "text form differs");

    const int width = static_cast<int>(size * 37 % 5000);
    const std::vector<int> positions = TabPositions(stops, width);
    int x = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
        Check(positions[i] >= 0 && positions[i] <= 2 * width, "position outside twice the width");
        if (i > 0) Check(positions[i] >= positions[i - 1], "positions out of order");
        const int next = NextTabX(positions, x, 7);
        Check(next > x, "tab did not move forward");
        x = next;
    }
    return 0;
}
