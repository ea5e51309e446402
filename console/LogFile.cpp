#include "LogFile.h"

#include <sys/stat.h>

#include "SafeFile.h"

std::string TimestampFileName(const std::string& timestampText) {
    std::string name = timestampText;
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '.':
            case ':':
            case '/':
            case '\\':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
                c = '_';
                break;
            default:
                if (byte < 32 || byte == 127) c = '_';
        }
    }
    return name;
}

void WriteLog(const std::string& path, const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) content.append(line).append("\r\n");
    WriteFileAtomic(path, content);
}

std::string WriteNewLog(const std::string& base, const std::vector<std::string>& lines) {
    std::string path = base + ".log";
    struct stat taken {};
    for (int n = 2; ::lstat(path.c_str(), &taken) == 0; ++n)
        path = base + "-" + std::to_string(n) + ".log";
    WriteLog(path, lines);
    return path;
}
