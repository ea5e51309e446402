// File writes that never leave a half-written settings or report file behind.
// Safe to call from any thread; the functions keep no state.
#pragma once

#include <stdexcept>
#include <string>

// A failed file operation. what() is the platform's error text alone ("Permission
// denied", "No space left on device"), so the console can show it as it stands.
class ESafeFileError : public std::runtime_error {
  public:
    ESafeFileError(int errorCode, std::string path);
    int ErrorCode() const noexcept { return ErrorCode_; }  // the errno value
    const std::string& Path() const noexcept { return Path_; }

  private:
    int ErrorCode_;
    std::string Path_;
};

// Replaces path with bytes: writes a temporary file in the same folder, flushes it to
// disk, renames it over path and flushes the folder. An existing file keeps its
// permission bits. On any failure before the rename the temporary is removed, the old
// file is left as it was and ESafeFileError is thrown. With a mode (0640 for secrets) the
// file gets exactly that mode instead, from the moment the temporary is created.
void WriteFileAtomic(const std::string& path, const std::string& bytes, int mode = -1);

// Appends line + CR LF to path (created if missing) in one write() on a descriptor opened
// with O_APPEND, so lines of concurrent appenders, in this and other processes, never mix,
// then flushes it to disk. Throws ESafeFileError on failure.
void AppendLineDurably(const std::string& path, const std::string& line);
