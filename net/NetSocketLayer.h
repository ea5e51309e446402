// The process-wide socket layer: error-code mapping, the select-style wait, and the
// count of live networking objects. Every function here is safe to call from any thread.
#pragma once

#include <atomic>
#include <initializer_list>
#include <string>
#include <vector>

// Time-outs are in milliseconds; this value means "wait without limit".
constexpr int TimeoutInfinite = -2;

// The Windows Sockets codes that the frame and its callers act on by number.
constexpr int WsaInterrupted = 10004;          // WSAEINTR
constexpr int WsaTooManyFiles = 10024;         // WSAEMFILE
constexpr int WsaWouldBlock = 10035;           // WSAEWOULDBLOCK
constexpr int WsaFamilyNotSupported = 10047;   // WSAEAFNOSUPPORT
constexpr int WsaAddressInUse = 10048;         // WSAEADDRINUSE
constexpr int WsaAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
constexpr int WsaConnectionAborted = 10053;    // WSAECONNABORTED
constexpr int WsaConnectionReset = 10054;      // WSAECONNRESET
constexpr int WsaNoBufferSpace = 10055;        // WSAENOBUFS
constexpr int WsaShutDown = 10058;             // WSAESHUTDOWN

// Maps a Linux errno value by meaning onto the Windows Sockets number
// (ECONNABORTED -> 10053, ECONNRESET/EPIPE -> 10054, ESHUTDOWN/EBADF on a closed socket -> 10058,
// ...).
int WinsockErrorFromErrno(int err);

// The table text for a Windows Sockets code; "" for a code missing from the table.
std::string SocketErrorDescription(int code);

// The error check after a socket call: a result other than -1 passes (returns false);
// on -1 the errno is mapped; a tolerated code returns true, any other raises ENetSocketError.
bool CheckSocketResult(int result, std::initializer_list<int> tolerated = {});

// Waits until a descriptor of the given sets is ready or Timeout passes; each set that is
// given is replaced by its ready members. More than 64 descriptors in a set raises
// ENetStackSetSizeExceeded. Returns the number ready, 0 on time-out, -1 on error.
int WaitForSockets(std::vector<int>* readSet, std::vector<int>* writeSet,
                   std::vector<int>* errorSet, int timeout);

// Raises the soft open-file limit to the hard limit; called once when the layer starts.
void RaiseOpenFileLimit();
