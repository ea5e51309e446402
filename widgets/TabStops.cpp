#include "widgets/TabStops.h"

#include <climits>

namespace {

constexpr size_t kMaxValueLength = 15;

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

std::string_view TrimControls(std::string_view s) {
    while (!s.empty() && IsControlOrBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsControlOrBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A whole number: optional sign, then decimal digits, nothing else, within int.
int ToInt(std::string_view text) {
    auto fail = [&]() -> int {
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    };
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return fail();
    long long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return fail();
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return fail();
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return fail();
    return static_cast<int>(value);
}

}  // namespace

TTabStops ParseTabPercentages(std::string_view text) {
    TTabStops stops{};
    int previous = -1;
    bool finished = false;
    for (int k = 0; !finished && k < kMaxTabStops; ++k) {
        text = TrimControls(text);
        auto sep = text.find(',');
        if (sep == std::string_view::npos) sep = text.find(' ');
        int value;
        if (sep == std::string_view::npos) {
            value = ToInt(text);
            finished = true;
        } else {
            // A separated value is cut to 15 characters, the width the text form allows.
            value = ToInt(TrimControls(text.substr(0, sep)).substr(0, kMaxValueLength));
            text.remove_prefix(sep + 1);
        }
        if (value < 0 || value > kMaxTabPercentage)
            throw EOrderException("Tab percentage values must be between 0 and 200");
        stops[k] = value;
        if (previous >= value)
            throw EOrderException("Tab percentage values must be in increasing order");
        previous = value;
    }
    return stops;
}

std::string FormatTabPercentages(const TTabStops& stops) {
    std::string text = std::to_string(stops[0]);
    for (int k = 1; k < kMaxTabStops && stops[k] != 0; ++k) text += ", " + std::to_string(stops[k]);
    return text;
}

std::vector<int> TabPositions(const TTabStops& stops, int width) {
    std::vector<int> positions;
    for (int percent : stops) {
        if (percent <= 0) break;
        positions.push_back(static_cast<int>(static_cast<long long>(width) * percent / 100));
    }
    return positions;
}

int NextTabX(const std::vector<int>& positions, int x, int defaultInterval) {
    for (int position : positions)
        if (position > x) return position;
    return (x / defaultInterval + 1) * defaultInterval;
}
