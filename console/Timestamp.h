// The console's timestamp text: the host's short date form, a blank and its long time
// form, as the operator reads dates elsewhere on the machine. The log, the user grid, the
// report file, the log file names (LogFile.h) and the welcome's date line all use it.
// Any thread may call it.
#pragma once

#include <QDateTime>
#include <string>

// The timestamp text of the given moment (local time).
std::string TimestampText(const QDateTime& when);
// The timestamp text of now.
std::string TimestampText();
