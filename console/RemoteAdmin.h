// Remote administration from an ordinary chat connection: the "private" command, which
// creates a private lobby for the player, and the thirteen administrator code words. The
// console hooks HandleCommand to the chat server's OnCommandOther; it then runs on the
// sender's connection thread, many at once, while the UI thread acts too. It also owns the
// problem-report file that the console's report lobby fills (Report()).
//
// Locks: HandleCommand takes the lobby-list lock only around lobby operations that must
// see one state (find, then part), and never while calling the host. The guessing limit
// (FailureLimit.h) has a mutex of its own, the innermost lock of all.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "AdminHost.h"
#include "FailureLimit.h"
#include "ReportFile.h"

class TNetPeerThread;

// Time sources, injectable so tests need not wait for real seconds and minutes.
struct TRemoteAdminTiming {
    using Clock = std::chrono::steady_clock;
    // The pause after each of the ten countdown lines of a remote shutdown.
    std::chrono::milliseconds CountdownStep{1000};
    // The clock of the guessing limit; empty means Clock::now.
    std::function<Clock::time_point()> Now;
};

class TRemoteAdmin {
  public:
    using Clock = TRemoteAdminTiming::Clock;

    // The guessing limit: the MaxFailedGuesses-th code-shaped word that matches no code
    // within GuessWindow locks that peer address (an IPv6 one by its /64) out of every code word,
    // right or wrong, for LockOutTime, logged once as "Admin code refused for " + address. A right
    // code does not wipe earlier misses. Words of any other shape are neither counted nor refused,
    // so "private" and chat are never affected.
    static constexpr int MaxFailedGuesses = 3;
    static constexpr std::chrono::minutes GuessWindow{10};
    static constexpr std::chrono::minutes LockOutTime{10};

    using TAction = void (TRemoteAdmin::*)(TNetPeerThread& Thread, const std::string& Parm);
    struct TAdminCode {
        const char* Code;  // four digits, "!", four digits
        TAction Action;
        const char* ErrorPrefix;  // put before the text of an error raised by Action
    };
    // The administrator codes in their fixed order.
    static const std::array<TAdminCode, 13> AdminCodes;

    // Reads host.ProgramDir() once, here, for the report file's path. The object must
    // outlive every connection thread that may be inside HandleCommand: destroy it only
    // after the server has been stopped and its peer threads have ended.
    explicit TRemoteAdmin(TAdminHost& host, TRemoteAdminTiming timing = {});
    TRemoteAdmin(const TRemoteAdmin&) = delete;
    TRemoteAdmin& operator=(const TRemoteAdmin&) = delete;

    // The OnCommandOther handler. Connection threads; any number at once. Lets a failure
    // to write to the sender's own connection leave, as every other handler does.
    // A remote shutdown overtaken by another stop (a second remote shutdown or the
    // operator's) ends its countdown early and neither stops the server nor tells the
    // operator; only the shutdown whose stop took place shows the closing message.
    void HandleCommand(TNetPeerThread& Thread, const std::string& Command, const std::string& Parm);

    // With the codes off ([Options] AdminCodes=0), a code word is an unknown command like
    // any other word: no reply, no action, not counted as a guess. Any thread.
    void SetCodesEnabled(bool enabled) { codesEnabled_ = enabled; }

    // The report file: the console appends reports to it, the codes read and clear it.
    TReportFile& Report() { return report_; }

    // Four digits, "!", four digits: the only words the codes and the guessing limit see.
    static bool IsCodeShaped(const std::string& word);
    // How many code words were compared with the table so far (for tests of the limit).
    std::uint64_t CodeEvaluations() const { return evaluations_.load(); }

  private:
    enum class TVerdict { Refused, NoMatch, NoMatchLockedOut, Match };

    void PrivateLobby(TNetPeerThread& Thread, const std::string& Parm);
    // Decides under the guessing limit whether the word may be compared, compares it and
    // records a failure; row receives the matching row's index.
    TVerdict CheckCode(const std::string& address, const std::string& word, int& row);

    void AdminSendReport(TNetPeerThread& Thread, const std::string& Parm);
    void AdminClearReport(TNetPeerThread& Thread, const std::string& Parm);
    void AdminKick(TNetPeerThread& Thread, const std::string& Parm);
    void AdminMessage(TNetPeerThread& Thread, const std::string& Parm);
    void AdminPartLobby(TNetPeerThread& Thread, const std::string& Parm);
    void AdminKickAll(TNetPeerThread& Thread, const std::string& Parm);
    void AdminAddLobby(TNetPeerThread& Thread, const std::string& Parm);
    void AdminAddPrivateLobby(TNetPeerThread& Thread, const std::string& Parm);
    void AdminRemoveLobby(TNetPeerThread& Thread, const std::string& Parm);
    void AdminSaveLobbies(TNetPeerThread& Thread, const std::string& Parm);
    void AdminSendLog(TNetPeerThread& Thread, const std::string& Parm);
    void AdminShutdown(TNetPeerThread& Thread, const std::string& Parm);
    void AdminListLobbies(TNetPeerThread& Thread, const std::string& Parm);

    void AddConsoleLobby(TNetPeerThread& Thread, const std::string& Parm, bool isPrivate);
    // Sleeps one countdown step; false when the server stopped or began to stop meanwhile.
    bool WaitCountdownStep() const;
    bool ServerRunning() const;

    TAdminHost& host_;
    TReportFile report_;
    const TRemoteAdminTiming timing_;

    TFailureLimit guesses_;  // by peer address; its mutex is the innermost lock
    std::atomic<std::uint64_t> evaluations_{0};
    std::atomic<bool> codesEnabled_{true};
};
