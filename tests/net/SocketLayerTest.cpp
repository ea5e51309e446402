#include <gtest/gtest.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "NetAddressGroup.h"
#include "NetException.h"
#include "NetPeerThread.h"
#include "NetSocketHandle.h"
#include "NetSocketLayer.h"
#include "NetThreadMgr.h"

// Linux error numbers are mapped by meaning onto the Windows Sockets codes that the
// frame and the chat core act upon.
TEST(SocketLayer, MapsErrnoByMeaning) {
    const std::vector<std::pair<int, int>> expected = {
        {EINTR, 10004},        {EACCES, 10013},       {EINVAL, 10022},        {EMFILE, 10024},
        {ENFILE, 10024},       {EAGAIN, 10035},       {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},
        {ENOTSOCK, 10038},     {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},
        {ECONNABORTED, 10053}, {ECONNRESET, 10054},   {EPIPE, 10054},         {ENOBUFS, 10055},
        {ENOTCONN, 10057},     {ESHUTDOWN, 10058},    {EBADF, 10058},         {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
    };
    for (auto [err, code] : expected) EXPECT_EQ(WinsockErrorFromErrno(err), code) << err;
    // An errno without a counterpart must not pose as one of the codes callers act on.
    const int unmapped = WinsockErrorFromErrno(EDOM);
    EXPECT_EQ(SocketErrorDescription(unmapped), "");
}

// The descriptions are the fixed texts, including the odd blank and missing full stop.
TEST(SocketLayer, DescribesCodesWithTheFixedTexts) {
    EXPECT_EQ(SocketErrorDescription(10004), "Interrupted system call.");
    EXPECT_EQ(SocketErrorDescription(10009), "Bad file number.");
    EXPECT_EQ(SocketErrorDescription(10035), "Operation would block. ");
    EXPECT_EQ(SocketErrorDescription(10047), "Address family not supported by protocol family.");
    EXPECT_EQ(SocketErrorDescription(10053), "Software caused connection abort.");
    EXPECT_EQ(SocketErrorDescription(10058), "Cannot send or receive after socket is closed.");
    EXPECT_EQ(SocketErrorDescription(10059), "Too many references, cannot splice.");
    EXPECT_EQ(SocketErrorDescription(10066), "Directory not empty");
    EXPECT_EQ(SocketErrorDescription(10067), "");
    EXPECT_EQ(SocketErrorDescription(0), "");
}

// A socket error's message is the code and its description on two lines.
TEST(SocketLayer, SocketErrorMessage) {
    EXPECT_STREQ(ENetSocketError(10054).what(),
                 "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_STREQ(ENetSocketError(12345).what(), "Socket Error # 12345\r\n");
    EXPECT_EQ(ENetSocketError(10053).ErrorCode(), 10053);
}

// The error check passes results other than -1, tolerates listed codes and raises others.
TEST(SocketLayer, CheckSocketResult) {
    EXPECT_FALSE(CheckSocketResult(0));
    errno = EAGAIN;
    EXPECT_TRUE(CheckSocketResult(-1, {10035}));
    errno = ECONNRESET;
    try {
        CheckSocketResult(-1, {10035});
        FAIL() << "no error raised";
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10054);
    }
}

// The wait refuses sets larger than 64 and reports only the ready members.
TEST(SocketLayer, WaitForSockets) {
    std::vector<int> tooMany(65, 0);
    EXPECT_THROW(WaitForSockets(&tooMany, nullptr, nullptr, 0), ENetStackSetSizeExceeded);

    TNetSocketHandle quiet;
    quiet.SetIP("127.0.0.1");
    quiet.OpenSocket();
    quiet.Bind();
    quiet.Listen(1);
    std::vector<int> readSet = {quiet.Handle()};
    EXPECT_EQ(WaitForSockets(&readSet, nullptr, nullptr, 10), 0);
    quiet.Interrupt();  // a shut-down listening socket reads as ready: how deactivation wakes
    readSet = {quiet.Handle()};
    EXPECT_EQ(WaitForSockets(&readSet, nullptr, nullptr, 1000), 1);
    EXPECT_EQ(readSet, std::vector<int>{quiet.Handle()});
}

// Binding to port 0 learns the real port; a second binding to it is refused as in use;
// closing without reset keeps the address for the next activation.
TEST(SocketHandle, BindReadsBackPortAndRefusesAPortInUse) {
    TNetSocketHandles bindings;
    bindings.SetDefaultPort(0);
    TNetSocketHandle& first = bindings.Add();
    first.SetIP("127.0.0.1");
    first.OpenSocket();
    first.Bind();
    first.Listen(5);
    ASSERT_GT(first.Port(), 0);
    EXPECT_EQ(first.IP(), "127.0.0.1");

    TNetSocketHandle second;
    second.SetIP("127.0.0.1");
    second.SetPort(first.Port());
    second.OpenSocket();
    EXPECT_THROW(second.Bind(), ENetCouldNotBindSocket);

    const int port = first.Port();
    first.CloseSocket(false);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(first.Handle(), -1);
    EXPECT_EQ(first.Port(), port);
    second.CloseSocket(true);
    EXPECT_EQ(second.Port(), 0);
    EXPECT_EQ(second.IP(), "");
}

// A new binding takes the collection's default port.
TEST(SocketHandle, NewBindingTakesDefaultPort) {
    TNetSocketHandles bindings;
    bindings.SetDefaultPort(6667);
    EXPECT_EQ(bindings.Add().Port(), 6667);
    EXPECT_EQ(bindings[0].IP(), "");
    EXPECT_EQ(bindings.Count(), 1);
}

// Per-address limits count an IPv6 address by its /64 and an IPv4 address alone.
TEST(AddressGroup, IPv6ByItsSlash64) {
    EXPECT_EQ(AddressGroup("2001:db8:1:2::5"), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressGroup("2001:DB8:1:2:ffff:eeee:dddd:1"), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressGroup("2001:db8:1:3::5"), "2001:db8:1:3::/64");
    EXPECT_EQ(AddressGroup("::1"), "::/64");
    EXPECT_EQ(AddressGroup("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(AddressGroup("not:an:address::x"), "not:an:address::x");
}

// A thread manager without a thread class refuses to make threads.
TEST(ThreadMgr, CreateNewThreadNeedsAClass) {
    auto mgr = std::make_shared<TNetThreadMgrDefault>();
    EXPECT_THROW(mgr->AcquireThread(), ENetThreadClassNotSpecified);
    EXPECT_EQ(mgr->ActiveCount(), 0);
}
