// The metrics page: the server's counts (net/NetMetrics.h) and the gauges read from the
// core when asked (connections, registered users, lobbies by kind, output waiting,
// threads), in Prometheus's text exposition format, version 0.0.4. No Qt.
//
// Threads: any thread that may call the core; it takes the lobby-list lock, then
// PeerThreads, one after the other, never both at once, and never a console lock.
#pragma once

#include <string>

class TNetIRCServer;

std::string MetricsText(TNetIRCServer& server);
