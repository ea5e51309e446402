// The log files beside the program: their names, made from the timestamp text of the
// moment of saving, and their content. No Qt, no lock: any thread.
#pragma once

#include <string>
#include <vector>

// A file name (without folder or extension) made from a timestamp text: every character
// that a file name on common file systems cannot hold ("." ":" "/" "\\" "*" "?" '"' "<"
// ">" "|" and control characters) becomes "_", so any locale's date and time forms give a
// valid name. The dot is replaced too, so the name never grows a second extension.
std::string TimestampFileName(const std::string& timestampText);

// Writes the lines in the given order (the log's, newest first), each ended by CR LF,
// replacing the file atomically. Throws ESafeFileError; the old file then stays.
void WriteLog(const std::string& path, const std::vector<std::string>& lines);

// Writes the lines as WriteLog does to a file that did not exist: base + ".log", or, when
// that name is taken (by an earlier save in the same second, or anything else),
// base + "-2.log", base + "-3.log" and so on. No earlier log is ever replaced. Returns the
// path written. Called by one writer at a time (the console's disk writer): the name is
// chosen and then written, which another process could race, not another save.
std::string WriteNewLog(const std::string& base, const std::vector<std::string>& lines);
