// The problem-report file "report.txt" beside the executable: one line per report in the
// order the reports arrived, each ended by CR LF. Any thread may call every member; one
// mutex serialises all of them, so a report appended by one connection never lands inside
// another's line or inside a read or a clear. The file is opened for each use and closed
// again. Failures throw std::runtime_error whose what() is the platform's error text
// (for example "No such file or directory"), so callers can put it after their own prefix.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class TReportFile {
  public:
    // programDir ends in a path separator; the file is programDir + "report.txt".
    explicit TReportFile(const std::string& programDir);
    TReportFile(const TReportFile&) = delete;
    TReportFile& operator=(const TReportFile&) = delete;

    const std::string& Path() const { return path_; }

    // Creates the file empty when it is missing; an existing file is left unchanged.
    void EnsureExists();
    // Appends line + CR LF in a single write to a file opened for appending. The line is
    // written as given: the caller puts the timestamp and nickname in front.
    void Append(const std::string& line);
    // Every line in file order without its line end (LF, or CR LF); a last line without
    // an end is included. Empty file: no lines.
    std::vector<std::string> ReadLines();
    // Empties the file, creating it when missing. On failure the file is left as it was.
    void Clear();

  private:
    const std::string path_;
    std::mutex mutex_;  // held for every file operation; innermost, nothing is called out
};
