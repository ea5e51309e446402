// libFuzzer target for the settings file reader/writer: any bytes must parse, serialise
// to text that parses to the same content, and serialise again to the same bytes; an
// edit made from the input must read back as written and survive a round trip.
// Build: clang++-14 -fsanitize=fuzzer,address -std=c++20 -I<repo> fuzz_ini.cpp
//        console/IniFile.cpp console/SafeFile.cpp
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "console/IniFile.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "round trip broken: %s\n", what);
        std::abort();
    }
}

// The first line of the input, taken as a section name, plus the lobby sections.
std::vector<std::string> SectionsToCompare(std::string_view text) {
    std::string first(text.substr(0, text.find('\n')));
    if (first.size() > 2 && first.front() == '[') first = first.substr(1, first.size() - 2);
    return {first, "Channels", "PrivateChannels", "Options"};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TIniFile first = TIniFile::Parse(text);
    const std::string once = first.Serialize();
    TIniFile second = TIniFile::Parse(once);
    Check(second.Serialize() == once, "serialise, parse, serialise changed the bytes");
    for (const std::string& section : SectionsToCompare(text)) {
        Check(first.SectionExists(section) == second.SectionExists(section), "section lost");
        Check(first.ReadSection(section) == second.ReadSection(section), "entries changed");
    }

    // An edit: the input's last line split at its first byte 0x01 into section, key and
    // value, so the fuzzer can steer all three.
    std::string_view last =
        text.substr(text.rfind('\n') == std::string_view::npos ? 0 : text.rfind('\n') + 1);
    auto cut1 = last.find('\x01');
    auto cut2 = cut1 == std::string_view::npos ? cut1 : last.find('\x01', cut1 + 1);
    if (cut2 != std::string_view::npos) {
        const std::string section(last.substr(0, cut1));
        const std::string key(last.substr(cut1 + 1, cut2 - cut1 - 1));
        const std::string value(last.substr(cut2 + 1));
        try {
            second.WriteString(section, key, value);
        } catch (const std::invalid_argument&) {
            return 0;
        }
        std::string expected = value;
        for (char& c : expected)
            if (c == '\r' || c == '\n') c = ' ';
        Check(second.ReadString(section, key) == expected, "written value not read back");
        const std::string edited = second.Serialize();
        TIniFile third = TIniFile::Parse(edited);
        Check(third.Serialize() == edited, "edited file not stable");
        Check(third.ReadString(section, key) == expected, "written value lost on reparse");
        Check(third.ReadSection(section) == second.ReadSection(section), "edited section changed");
        third.EraseSection(section);
        Check(!third.SectionExists(section), "erased section still there");
    }
    return 0;
}
