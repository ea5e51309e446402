// Tab stops given in percent of a control's width: the text form, its validation and the
// arithmetic that places text at the stops. Pure functions without Qt, callable from any
// thread, so the parser can be fuzzed and tested alone; TTabListBox builds on them.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A stop list that breaks the rules: out of range or not strictly increasing.
class EOrderException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A piece of text that is not a whole number. The message is
// "'" + text + "' is not a valid integer value".
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr int kMaxTabStops = 10;
inline constexpr int kMaxTabPercentage = 200;

// Percentages of the width; entries after the last stop hold 0.
using TTabStops = std::array<int, kMaxTabStops>;

// Parses text such as "70, 80", "70,80" or "70 80": values separated by a comma or, when
// there is no comma left, by a blank; at most ten values are read, the rest ignored.
// Each value must be a whole number (optional sign, decimal digits) from 0 to 200 and
// greater than the one before; 0 may only come first. Throws EOrderException with
// "Tab percentage values must be between 0 and 200" or "Tab percentage values must be in
// increasing order", or EConvertError for text that is not a number (an empty value
// after a trailing comma included).
TTabStops ParseTabPercentages(std::string_view text);

// The first value, then ", " and each following value up to the first 0:
// {70, 80, 0...} gives "70, 80", all 0 gives "0", {0, 50, 0...} gives "0, 50".
std::string FormatTabPercentages(const TTabStops& stops);

// Pixel offsets of the stops for a given width: one per stop from the first while the
// value is above 0 (so a first stop of 0 gives none), each width * percent / 100.
std::vector<int> TabPositions(const TTabStops& stops, int width);

// Where text continues after a TAB when the pen is at x (relative to the same origin as
// the positions): the first position beyond x, or past the last one the next multiple of
// defaultInterval beyond x. defaultInterval must be above 0.
int NextTabX(const std::vector<int>& positions, int x, int defaultInterval);
