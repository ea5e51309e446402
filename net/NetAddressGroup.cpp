#include "NetAddressGroup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

std::string AddressGroup(const std::string& address) {
    in6_addr bytes{};
    if (address.find(':') == std::string::npos ||
        ::inet_pton(AF_INET6, address.c_str(), &bytes) != 1)
        return address;
    // The interface half is cleared and the network half printed in the usual form.
    std::fill(bytes.s6_addr + 8, bytes.s6_addr + 16, 0);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &bytes, text, sizeof text);
    return std::string(text) + "/64";
}
