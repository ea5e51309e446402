// The chat server: a TNetTCPServer whose connection loop reads IRC-style lines, looks the
// command word up in a fixed table and calls the owner's event or a built-in handler. It
// owns the lobby list and user registry, the message of the day and the sweep timer.
// Events run on the thread that raises them (mostly connection threads; the operator's
// thread for the console's own calls). Set events, Host and MOTD before activation.
//
// Lock order: see chat/LobbyList.h. BroadcastExcept takes the lobby lock itself before
// PeerThreads. Every peer thread is a TChatPeer (chat/ChatPeer.h), made by the factory
// that the constructor sets; PeerThreadClass must not be replaced.
//
// Safety limits on top of the protocol: at most MaxConnectionsPerAddress connections from
// one peer address (an IPv6 one counted by its /64, net/NetAddressGroup.h) at a time (decided in
// the order of acceptance and counted until the connection leaves PeerThreads; the ones beyond are
// told so and closed, and never count), and a connection that has not registered a nick within
// RegistrationTimeout of connecting is closed. The time-out rides on the connection's own read:
// until registration the loop reads with the time left as the read's time limit, so no timer has to
// visit idle connections and the sweep stays a pure probe.
//
// Flood control: every command a connection sends, registered or not, known or not, takes
// a token of its allowance (chat/FloodGate.h: FloodBurst at once, FloodRate a second).
// Past it the connection's thread sends what its commands wrote and then sleeps before
// running the next one, reading nothing meanwhile, so the client's TCP window pushes back
// and nothing is dropped. A client that has more than FloodCutOffBytes of input waiting
// while it is held back is far past its allowance: it is told "***Error: You are sending
// too fast!" and closed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "LobbyList.h"
#include "net/NetTCPServer.h"

class TNetFanOut;

using TNetIrcGetEvent = std::function<void(TNetPeerThread& Thread)>;
using TNetIrcOtherEvent = std::function<void(TNetPeerThread& Thread, const std::string& Command,
                                             const std::string& Parm)>;
using TNetIrcOneParmEvent = std::function<void(TNetPeerThread& Thread, const std::string& Parm)>;
using TNetIrcTwoParmEvent =
    std::function<void(TNetPeerThread& Thread, const std::string& Parm1, const std::string& Parm2)>;
using TNetIrcThreeParmEvent =
    std::function<void(TNetPeerThread& Thread, const std::string& Parm1, const std::string& Parm2,
                       const std::string& Parm3)>;
using TNetIrcFiveParmEvent = std::function<void(
    TNetPeerThread& Thread, const std::string& Parm1, const std::string& Parm2,
    const std::string& Parm3, const std::string& Parm4, const std::string& Parm5)>;
using TNetIrcUserEvent = std::function<void(
    TNetPeerThread& Thread, const std::string& UserName, const std::string& HostName,
    const std::string& ServerName, const std::string& RealName)>;
using TNetIrcServerEvent =
    std::function<void(TNetPeerThread& Thread, const std::string& ServerName,
                       const std::string& Hopcount, const std::string& Info)>;
using TNetIrcUserEnterEvent =
    std::function<void(TNetPeerThread& Thread, const std::string& NickName, bool& AllowEnter)>;
using TNetIrcUserJoinEvent =
    std::function<void(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                       bool& AllowJoin, std::string& Msg)>;
using TNetIrcPartEvent = std::function<void(TNetPeerThread& Thread, TLobby& Lobby,
                                            const std::string& NickName, std::string& Msg)>;
using TNetIrcQuitEvent = std::function<void(TNetPeerThread& Thread, const std::string& NickName)>;
using TNetIrcLobbyEvent = std::function<void(TLobbySender Sender, TLobby& Lobby, bool& Allow)>;
// Lobby is null when the target names no lobby.
using TNetIrcChatEvent =
    std::function<void(TNetPeerThread& Sender, TLobby* Lobby, std::string& msg, bool& AllowSend)>;

class TNetIRCServer : public TNetTCPServer {
  public:
    // sweepInterval: the period of the connection sweep (30 s in the program; tests
    // shorten it; zero disables the core's own timer so the program can drive
    // SweepConnections itself).
    explicit TNetIRCServer(std::chrono::milliseconds sweepInterval = std::chrono::seconds(30));
    ~TNetIRCServer() override;

    TNetIrcOtherEvent OnCommandOther;
    TNetIrcOneParmEvent OnCommandPass;
    TNetIrcTwoParmEvent OnCommandNick;
    TNetIrcUserEvent OnCommandUser;
    TNetIrcServerEvent OnCommandServer;
    TNetIrcTwoParmEvent OnCommandOper;
    TNetIrcOneParmEvent OnCommandQuit;
    TNetIrcTwoParmEvent OnCommandSQuit;
    TNetIrcTwoParmEvent OnCommandJoin;
    TNetIrcOneParmEvent OnCommandPart;
    TNetIrcFiveParmEvent OnCommandMode;
    TNetIrcTwoParmEvent OnCommandTopic;
    TNetIrcOneParmEvent OnCommandNames;
    TNetIrcTwoParmEvent OnCommandList;
    TNetIrcTwoParmEvent OnCommandInvite;
    TNetIrcThreeParmEvent OnCommandKick;
    TNetIrcOneParmEvent OnCommandVersion;
    TNetIrcTwoParmEvent OnCommandStats;
    TNetIrcTwoParmEvent OnCommandLinks;
    TNetIrcOneParmEvent OnCommandTime;
    TNetIrcThreeParmEvent OnCommandConnect;
    TNetIrcOneParmEvent OnCommandTrace;
    TNetIrcOneParmEvent OnCommandAdmin;
    TNetIrcOneParmEvent OnCommandInfo;
    TNetIrcTwoParmEvent OnCommandPrivMsg;
    TNetIrcTwoParmEvent OnCommandNotice;
    TNetIrcTwoParmEvent OnCommandWho;
    TNetIrcTwoParmEvent OnCommandWhoIs;
    TNetIrcThreeParmEvent OnCommandWhoWas;
    TNetIrcTwoParmEvent OnCommandKill;
    TNetIrcTwoParmEvent OnCommandPing;
    TNetIrcTwoParmEvent OnCommandPong;
    TNetIrcOneParmEvent OnCommandError;
    TNetIrcOneParmEvent OnCommandAway;
    TNetIrcGetEvent OnCommandRehash;
    TNetIrcGetEvent OnCommandRestart;
    TNetIrcTwoParmEvent OnCommandSummon;
    TNetIrcOneParmEvent OnCommandUsers;
    TNetIrcOneParmEvent OnCommandWallops;
    TNetIrcOneParmEvent OnCommandUserHost;
    TNetIrcOneParmEvent OnCommandIsOn;

    TNetIrcUserEnterEvent OnUserEnter;
    TNetIrcUserJoinEvent OnUserJoin;
    TNetIrcPartEvent OnUserPart;
    TNetIrcQuitEvent OnUserQuit;
    TNetIrcLobbyEvent OnAddLobby;
    TNetIrcLobbyEvent OnRemoveLobby;
    TNetIrcChatEvent OnChat;

    TLobbyList& LobbyStore() { return *lobbyStore_; }
    std::string Host = "localhost";
    std::vector<std::string> MOTD;
    // The timestamp text of now, for the first line of the welcome; called on connection
    // threads. Empty: the C library's local date and time. The console sets its own, so
    // that the welcome, the log and the user grid show one form. Set before activation.
    std::function<std::string()> FormatTimestamp;
    // Called on the connection's thread after each of its commands, holding no lock: where
    // the owner may make a sender wait for work its commands queued elsewhere (the
    // console's disk writer). Empty: nothing. Set before activation.
    std::function<void(TNetPeerThread& Thread)> AfterCommand;
    // Safety limits (see the top of this header). Set before activation.
    int MaxConnectionsPerAddress = 32;
    std::chrono::milliseconds RegistrationTimeout = std::chrono::seconds(60);
    // Flood control (see the top of this header); 0 in either turns it off. Plain
    // settings, read before every command, so they may change at any time from any thread.
    static constexpr int DefaultFloodRate = 2;
    static constexpr int DefaultFloodBurst = 50;
    std::atomic<int> FloodRate{DefaultFloodRate};
    std::atomic<int> FloodBurst{DefaultFloodBurst};
    static constexpr std::size_t FloodCutOffBytes = 64 * 1024;

    // Runs OnConnect, then turns away a connection beyond the per-address limit.
    void ConnectStep(TNetPeerThread& thread) override;
    // Admission to the per-address limit, and the release of the place.
    void PeerAccepted(TNetPeerThread& thread) override;
    void PeerLeft(TNetPeerThread& thread) override;
    bool ExecuteStep(TNetPeerThread& thread) override;
    // The disconnect events, then the removal of the connection from the lobbies and the
    // registry, which nothing can skip.
    void DisconnectStep(TNetPeerThread& thread) override;
    void BroadcastExcept(const std::string& exceptNick, const std::string& line);
    void SendLobbyList(TNetPeerThread& thread);
    void HandleDisconnect(TNetPeerThread& thread);
    // One pass of the periodic check; never runs twice at once (a second caller returns).
    void SweepConnections();
    // The longest single hold of PeerThreads in the last sweep, for the benchmarks.
    std::chrono::nanoseconds LastSweepLockTime() const;

    // Deactivates, then waits without the deactivation's time limit until no peer thread
    // is left: an owner calls it before it lets go of what the event handlers use. Not
    // from a peer thread, and holding no lock.
    void StopAndWaitForPeers() { ShutdownAndWaitForPeers(); }

    // Once set, connections that end quit nobody (the program is shutting down).
    void SetShuttingDown(bool value) { shuttingDown_ = value; }
    bool ShuttingDown() const { return shuttingDown_; }

  private:
    void SweepTimerLoop();
    bool Admitted(const TNetPeerThread& thread);
    // One line for the loop; false when the connection was closed for not registering.
    bool ReadCommandLine(TNetPeerThread& thread, std::string& line);
    void DispatchCommand(TNetPeerThread& thread, std::string& command, std::string& rest);
    // Holds the connection back while it is past its allowance; false when it was closed
    // for flooding (or closed meanwhile).
    bool WithinAllowance(TNetPeerThread& thread, TNetFanOut& fanOut);
    void RunCommand(TNetPeerThread& thread, std::string& command, std::string& rest);

    std::unique_ptr<TLobbyList> lobbyStore_;
    std::atomic<bool> shuttingDown_{false};
    // Open admitted connections per peer address. A leaf lock: nothing is taken under it.
    std::mutex admissionMutex_;
    std::unordered_map<std::string, int> perAddress_;  // guarded by admissionMutex_
    // The admitted connections with their addresses; guarded by admissionMutex_.
    std::unordered_map<const TNetPeerThread*, std::string> admitted_;
    std::mutex sweepMutex_;  // held for a whole sweep; try_lock keeps passes from overlapping
    std::atomic<long long> lastSweepLockNs_{0};

    std::chrono::milliseconds sweepInterval_;
    std::mutex timerMutex_;
    std::condition_variable timerCv_;
    bool timerStop_ = false;  // guarded by timerMutex_
    std::thread sweepTimer_;  // joined in the destructor, before the lobby list goes
};

// Splits the text before the first space off Text; Text keeps what follows that space.
std::string SplitWord(std::string& text);
