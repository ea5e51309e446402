// The admin endpoint's address as operators type it: HOST, HOST:PORT or [IPv6]:PORT.
// Shared by quarn-admin and quarn-console. Any thread.
#pragma once

#include <QString>

// Sets host, and port when the text has one; false with error set otherwise.
bool ParseServerAddress(const QString& text, QString& host, quint16& port, QString& error);
