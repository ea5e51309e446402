#include "LogFile.h"

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
