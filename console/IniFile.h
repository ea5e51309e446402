// The settings file "kelbox.ini" in ini form, read into memory, edited and written back.
// A TIniFile is a plain value with no lock: any thread may use its own instance; sharing
// one between threads needs the caller's lock. No Qt, so it can be tested and fuzzed alone.
//
// Format, as this program reads and writes it:
// - Lines end in LF, one CR before the LF being dropped; the last line may lack its LF.
// - A line that, without surrounding blanks, starts with "[", ends with "]" and holds no
//   "=" opens a section; its name is the text between, without surrounding blanks.
// - Any other line holding "=" is an entry: the key is the text before the first "=",
//   without surrounding blanks, and must not be empty; the value is everything after the
//   first "=", byte for byte. Keys may start with "#" or ";": there is no comment syntax,
//   because lobby names start with "#".
// - Every other line (blank lines, text without "=", entries before the first section) is
//   kept as it is and written back unchanged.
// - Keys and section names are compared without regard to ASCII letter case. When a name
//   occurs twice, reads and writes use the first occurrence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using TIniEntries = std::vector<std::pair<std::string, std::string>>;

class TIniFile {
  public:
    // A missing file (or a missing folder) gives an empty file. Any other failure to read
    // throws ESafeFileError (a std::runtime_error) with the platform's error text.
    static TIniFile Load(const std::string& path);
    static TIniFile Parse(std::string_view text);

    // Every line followed by CR LF. Parse(Serialize()) gives the same content, and
    // serialising that again gives the same bytes.
    std::string Serialize() const;
    // Atomic replacement (WriteFileAtomic): on failure the old file stays intact and
    // ESafeFileError is thrown with the platform's error text.
    void Save(const std::string& path) const;

    bool SectionExists(const std::string& section) const;
    // The section names in file order (a name that occurs twice, once).
    std::vector<std::string> SectionNames() const;
    // The distinct keys of the section in file order, each with the value ReadString
    // gives for it (the first occurrence wins). Empty when the section is missing.
    TIniEntries ReadSection(const std::string& section) const;
    std::optional<std::string> ReadString(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // The value as a whole number: optional sign, then decimal digits, or hexadecimal
    // digits after "0x"/"0X", surrounding blanks ignored, within 32 bits. Not a number
    // (also empty or missing) gives def; any number but 0 gives true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    // The value as a whole number read as ReadBool reads it; def when it is not one.
    std::int64_t ReadInteger(const std::string& section, const std::string& key,
                             std::int64_t def) const;

    // Replaces the value of an existing key in place, else appends the entry after the
    // section's last entry, creating the section at the end of the file if needed.
    // A key that cannot be stored (empty after trimming, or holding "=", CR or LF) throws
    // std::invalid_argument; CR and LF in a value are written as blanks, since a value
    // is one line.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    // Writes "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);
    // Writes the number in decimal.
    void WriteInteger(const std::string& section, const std::string& key, std::int64_t value);
    // Removes every section of that name with all its lines.
    void EraseSection(const std::string& section);

  private:
    struct TLine {
        enum class TKind { Raw, Entry };
        TKind Kind = TKind::Raw;
        std::string Text;   // the line as read or as last written, without its line end
        std::string Key;    // entries only: trimmed key
        std::string Value;  // entries only
    };
    struct TSection {
        std::string HeaderText;  // the header line as read
        std::string Name;        // trimmed name
        std::vector<TLine> Lines;
    };

    const TSection* FindSection(const std::string& name) const;
    TSection* FindSection(const std::string& name);

    std::vector<TLine> Preamble_;  // lines before the first section header
    std::vector<TSection> Sections_;
};

// The ordered scratch list LoadLobbies builds from "Channels" and then "PrivateChannels":
// keys compared without regard to ASCII letter case, in order of first appearance.
struct TScratchList {
    TIniEntries Entries;

    // An empty value removes the entry of that key, if any; an existing key gets the new
    // value in place (keeping its spelling); another key is appended.
    void Set(const std::string& key, const std::string& value);
    // Set() for every entry of a section, in order.
    void Merge(const TIniEntries& section);
};

// ASCII-only case-insensitive equality, the comparison of keys and section names.
bool SameIniName(std::string_view a, std::string_view b);
