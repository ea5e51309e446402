#include "console/IniFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "console/SafeFile.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A whole number as ReadBool takes it; nullopt when the text is not one.
std::optional<std::int64_t> ParseWholeNumber(std::string_view s) {
    s = Trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    // Decimal within the signed 32-bit range; hexadecimal may use all 32 bits.
    const std::int64_t limit = base == 16 ? 0xFFFFFFFFLL : (negative ? 2147483648LL : INT_MAX);
    std::int64_t value = 0;
    for (char c : s) {
        int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return std::nullopt;
        value = value * base + digit;
        if (value > limit) return std::nullopt;
    }
    return negative ? -value : value;
}

bool IsSectionHeader(std::string_view line, std::string_view& name) {
    std::string_view t = Trim(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    if (t.find('=') != std::string_view::npos) return false;
    name = Trim(t.substr(1, t.size() - 2));
    return true;
}

bool IsEntry(std::string_view line, std::string_view& key, std::string_view& value) {
    auto eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(line.substr(0, eq));
    if (key.empty()) return false;
    value = line.substr(eq + 1);
    return true;
}

void CheckName(const std::string& name, const char* what) {
    std::string_view t = Trim(name);
    if (t.empty() || t.find_first_of("=\r\n") != std::string_view::npos)
        throw std::invalid_argument(std::string(what) +
                                    " cannot be stored in an ini file: " + name);
}

}  // namespace

bool SameIniName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

TIniFile TIniFile::Parse(std::string_view text) {
    TIniFile ini;
    std::vector<TLine>* target = &ini.Preamble_;
    while (!text.empty()) {
        auto lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        std::string_view name, key, value;
        if (IsSectionHeader(line, name)) {
            ini.Sections_.push_back(TSection{std::string(line), std::string(name), {}});
            target = &ini.Sections_.back().Lines;
        } else if (target != &ini.Preamble_ && IsEntry(line, key, value)) {
            target->push_back(TLine{TLine::TKind::Entry, std::string(line), std::string(key),
                                    std::string(value)});
        } else {
            target->push_back(TLine{TLine::TKind::Raw, std::string(line), {}, {}});
        }
    }
    return ini;
}

TIniFile TIniFile::Load(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return TIniFile{};
        throw ESafeFileError(errno, path);
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            throw ESafeFileError(err, path);
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return Parse(text);
}

std::string TIniFile::Serialize() const {
    std::string out;
    for (const TLine& line : Preamble_) out += line.Text + "\r\n";
    for (const TSection& section : Sections_) {
        out += section.HeaderText + "\r\n";
        for (const TLine& line : section.Lines) out += line.Text + "\r\n";
    }
    return out;
}

std::vector<std::string> TIniFile::SectionNames() const {
    std::vector<std::string> names;
    for (const TSection& section : Sections_) {
        bool seen = false;
        for (const std::string& name : names) seen = seen || SameIniName(name, section.Name);
        if (!seen) names.push_back(section.Name);
    }
    return names;
}

void TIniFile::Save(const std::string& path) const {
    WriteFileAtomic(path, Serialize());
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
    std::string_view wanted = Trim(name);
    for (const TSection& section : Sections_)
        if (SameIniName(section.Name, wanted)) return &section;
    return nullptr;
}

TIniFile::TSection* TIniFile::FindSection(const std::string& name) {
    return const_cast<TSection*>(std::as_const(*this).FindSection(name));
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) != nullptr;
}

TIniEntries TIniFile::ReadSection(const std::string& section) const {
    TIniEntries entries;
    const TSection* found = FindSection(section);
    if (!found) return entries;
    std::unordered_set<std::string> seen;  // lower-cased keys already listed
    for (const TLine& line : found->Lines) {
        if (line.Kind != TLine::TKind::Entry) continue;
        std::string lower = line.Key;
        for (char& c : lower) c = LowerAscii(c);
        if (seen.insert(std::move(lower)).second) entries.emplace_back(line.Key, line.Value);
    }
    return entries;
}

std::optional<std::string> TIniFile::ReadString(const std::string& section,
                                                const std::string& key) const {
    const TSection* found = FindSection(section);
    if (!found) return std::nullopt;
    std::string_view wanted = Trim(key);
    for (const TLine& line : found->Lines)
        if (line.Kind == TLine::TKind::Entry && SameIniName(line.Key, wanted)) return line.Value;
    return std::nullopt;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    return ReadString(section, key).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    auto text = ReadString(section, key);
    if (!text) return def;
    auto number = ParseWholeNumber(*text);
    if (!number) return def;
    return *number != 0;
}

std::int64_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int64_t def) const {
    auto text = ReadString(section, key);
    if (!text) return def;
    return ParseWholeNumber(*text).value_or(def);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    CheckName(section, "Section name");
    if (section.find_first_of("[]") != std::string::npos)
        throw std::invalid_argument("Section name cannot be stored in an ini file: " + section);
    CheckName(key, "Key");

    std::string cleanValue = value;
    for (char& c : cleanValue)
        if (c == '\r' || c == '\n') c = ' ';

    TSection* target = FindSection(section);
    if (!target) {
        std::string name(Trim(section));
        Sections_.push_back(TSection{"[" + name + "]", name, {}});
        target = &Sections_.back();
    }
    std::string_view wanted = Trim(key);
    for (TLine& line : target->Lines) {
        if (line.Kind == TLine::TKind::Entry && SameIniName(line.Key, wanted)) {
            // Keeps the key's spelling in the file; only the value changes.
            line.Value = cleanValue;
            line.Text = line.Key + "=" + cleanValue;
            return;
        }
    }
    // After the last line that is not blank, so blank lines that separate this section
    // from the next stay where they are.
    auto insertAt = target->Lines.end();
    while (insertAt != target->Lines.begin() && Trim(std::prev(insertAt)->Text).empty()) --insertAt;
    std::string keyText(wanted);
    target->Lines.insert(
        insertAt, TLine{TLine::TKind::Entry, keyText + "=" + cleanValue, keyText, cleanValue});
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key,
                            std::int64_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::EraseSection(const std::string& section) {
    std::string_view wanted = Trim(section);
    std::erase_if(Sections_, [&](const TSection& s) { return SameIniName(s.Name, wanted); });
}

void TScratchList::Set(const std::string& key, const std::string& value) {
    for (auto it = Entries.begin(); it != Entries.end(); ++it) {
        if (!SameIniName(it->first, key)) continue;
        if (value.empty())
            Entries.erase(it);
        else
            it->second = value;
        return;
    }
    if (!value.empty()) Entries.emplace_back(key, value);
}

void TScratchList::Merge(const TIniEntries& section) {
    for (const auto& [key, value] : section) Set(key, value);
}
