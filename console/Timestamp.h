// The console's timestamp text and the log file names made from it. The text is the
// host's short date form, a blank and its long time form, as the operator reads dates
// elsewhere on the machine. Any thread may call them.
#pragma once

#include <QDateTime>
#include <string>

// The timestamp text of the given moment (local time).
std::string TimestampText(const QDateTime& when);
// The timestamp text of now.
std::string TimestampText();

// A file name (without folder or extension) made from a timestamp text: every character
// that a file name on common file systems cannot hold ("." ":" "/" "\\" "*" "?" '"' "<"
// ">" "|" and control characters) becomes "_", so any locale's date and time forms give a
// valid name. The dot is replaced too, so the name never grows a second extension.
std::string TimestampFileName(const std::string& timestampText);
