// The group a peer address is counted in by per-address limits: an IPv4 address alone, an
// IPv6 address by its /64, the block one subscriber is usually given (so a client cannot
// step around a limit by taking the next address of its own network). Any thread.
#pragma once

#include <string>

// "2001:db8:1:2::/64" for every address of that /64; IPv4 text and anything that is not
// IPv6 text come back unchanged.
std::string AddressGroup(const std::string& address);
