#include "LocalShownServer.h"

#include <QApplication>
#include <QThread>

#include <algorithm>
#include <cassert>
#include <mutex>

#include "OperatorLines.h"
#include "RemoteAdmin.h"
#include "Unit1.h"
#include "UserWrite.h"

namespace {

const std::string NoSuchUser = "no such user";
const std::string NoSuchLobby = "no such lobby";
const std::string NothingToSend = "nothing to send";

// Runs an operation, turning what it throws into the operator's error text, as the window
// shows a failed command's error in a message box.
template <class Operation>
TShownResult Run(Operation&& operation) {
    try {
        return operation();
    } catch (const std::exception& error) {
        return TShownResult::Failed(error.what());
    }
}

// The options' defaults are the chat server's.
static_assert(TShownOptions{}.FloodRate == TNetIRCServer::DefaultFloodRate);
static_assert(TShownOptions{}.FloodBurst == TNetIRCServer::DefaultFloodBurst);

}  // namespace

TLocalShownServer::TLocalShownServer(TForm1& form)
    : form_(form), countdown_(std::make_unique<QTimer>()) {
    countdown_->setInterval(1000);
    QObject::connect(countdown_.get(), &QTimer::timeout, [this] { CountdownStep(); });
}

void TLocalShownServer::AssertUiThread() const {
    assert(QThread::currentThread() == qApp->thread());
}

TLobbyList& TLocalShownServer::Store() const {
    return form_.server_->LobbyStore();
}

TLobby* TLocalShownServer::FindLobby(const TShownLobbyRef& ref) const {
    TLobbyList& store = Store();
    if (ref.Id == 0) return store.FindLobby(ref.Name);
    // A lobby's id is its serial, never reused; it counts while the console lists it.
    return form_.model_.Lists(ref.Id) ? store.FindLobbyBySerial(ref.Id) : nullptr;
}

TShownResult TLocalShownServer::WithLobby(const TShownLobbyRef& ref,
                                          const TLobbyOperation& operation,
                                          const TStoreCheck& check) const {
    return Run([&] {
        TLobbyList& store = Store();
        std::lock_guard lobbyLock(store.Lock());
        if (check) {
            const TShownResult checked = check(store);
            if (!checked.Ok()) return checked;
        }
        TLobby* found = FindLobby(ref);
        if (!found) return TShownResult::Failed(NoSuchLobby);
        return operation(store, *found);
    });
}

// --- What the window shows -------------------------------------------------------------

TShownSnapshot TLocalShownServer::TakeSnapshot(bool subscribing, std::uint64_t& after) {
    TShownSnapshot snapshot;
    {
        // Every change of users and lobbies is made under the lobby-list lock, and every
        // other change under the state lock, which ShownState holds while it opens the
        // journal: the snapshot is the state after change `after`, exactly.
        TLobbyList& store = Store();
        std::lock_guard lobbyLock(store.Lock());
        snapshot = form_.model_.ShownState([&] {
            if (subscribing) after = form_.shownJournal_.Open();
        });
        for (const auto& lobby : store.Lobbies()) {
            TShownLobby shown{(form_.model_.Lists(lobby->Serial) ? lobby->Serial : 0),
                              lobby->Name,
                              lobby->Description,
                              lobby->IsPrivate,
                              lobby->UserCreated,
                              {}};
            if (shown.Id == 0) continue;  // not listed by the console
            for (const TLobbyMember& member : lobby->Members) shown.Members.push_back(member.Nick);
            snapshot.Lobbies.push_back(std::move(shown));
        }
    }
    return snapshot;
}

std::optional<TShownLobby> TLocalShownServer::ListedLobby(std::uint64_t id) const {
    AssertUiThread();
    TLobbyList& store = Store();
    std::lock_guard lobbyLock(store.Lock());
    const TLobby* lobby = FindLobby({id, {}});
    if (!lobby) return std::nullopt;
    TShownLobby shown{id, lobby->Name, lobby->Description, lobby->IsPrivate, lobby->UserCreated,
                      {}};
    for (const TLobbyMember& member : lobby->Members) shown.Members.push_back(member.Nick);
    return shown;
}

void TLocalShownServer::Snapshot(TDoneWith<TShownSnapshot> done) {
    AssertUiThread();
    std::uint64_t after = 0;
    done({}, TakeSnapshot(false, after));
}

void TLocalShownServer::Subscribe(TShownListener& listener, TDoneWith<TShownSnapshot> done) {
    AssertUiThread();
    std::uint64_t after = 0;
    const TShownSnapshot snapshot = TakeSnapshot(true, after);
    subscribers_.push_back({&listener, after});
    done({}, snapshot);
}

void TLocalShownServer::Unsubscribe(TShownListener& listener) {
    AssertUiThread();
    const auto gone =
        std::erase_if(subscribers_, [&](const TSubscriber& s) { return s.Listener == &listener; });
    for (std::size_t i = 0; i < gone; ++i) form_.shownJournal_.Close();
}

void TLocalShownServer::DeliverEvents() {
    AssertUiThread();
    for (const TShownJournal::TEntry& entry : form_.shownJournal_.Take()) {
        // A listener may unsubscribe (or another subscribe) from inside its call.
        const std::vector<TSubscriber> now = subscribers_;
        for (const TSubscriber& subscriber : now) {
            if (entry.Seq <= subscriber.After) continue;
            const bool still = std::any_of(
                subscribers_.begin(), subscribers_.end(),
                [&](const TSubscriber& s) { return s.Listener == subscriber.Listener; });
            if (still) subscriber.Listener->ShownEvent(entry.Event);
        }
    }
}

void TLocalShownServer::ReadReports(TDoneWith<std::vector<std::string>> done) {
    AssertUiThread();
    std::vector<std::string> lines;
    const TShownResult result = Run([&] {
        lines = form_.remoteAdmin_->Report().ReadLines();
        return TShownResult{};
    });
    done(result, lines);
}

// --- Users -----------------------------------------------------------------------------

void TLocalShownServer::Kick(const std::string& nick, TDone done) {
    AssertUiThread();
    done(Run([&] {
        // By nickname: whoever holds it now is the one kicked.
        return Store().QuitUserByNick(nick, "***Kicked by server !")
                   ? TShownResult{}
                   : TShownResult::Failed(NoSuchUser);
    }));
}

void TLocalShownServer::Part(const std::string& nick, const TShownLobbyRef& lobby, TDone done) {
    AssertUiThread();
    done(WithLobby(lobby, [&](TLobbyList& store, TLobby& found) {
        return store.PartLobbyByNick(nick, found.Name, "***Part by server")
                   ? TShownResult{}
                   : TShownResult::Failed("not in that lobby");
    }));
}

void TLocalShownServer::Join(const std::string& nick, const TShownLobbyRef& lobby, TDone done) {
    AssertUiThread();
    TNetPeerThread* user = nullptr;
    done(WithLobby(
        lobby,
        [&](TLobbyList& store, TLobby& found) {
            // The lobby's own refusal (already in it) goes to the user, as from the window.
            store.JoinLobby(*user, found.Name, "***Join by Server");
            return TShownResult{};
        },
        [&](TLobbyList& store) {
            user = FindRegisteredUser(store, nick);
            return user ? TShownResult{} : TShownResult::Failed(NoSuchUser);
        }));
}

void TLocalShownServer::PartAll(const TShownLobbyRef& lobby, TDone done) {
    AssertUiThread();
    done(WithLobby(lobby, [&](TLobbyList& store, TLobby& found) {
        store.PartAll(found, "***Part by Server");
        return TShownResult{};
    }));
}

void TLocalShownServer::KickAll(const std::string& text, TDone done) {
    AssertUiThread();
    done(Run([&] {
        Store().QuitAll(operator_lines::AllKicked(text));
        return TShownResult{};
    }));
}

// --- Messages --------------------------------------------------------------------------

void TLocalShownServer::SystemMessage(const std::string& text, TDone done) {
    AssertUiThread();
    if (text.empty()) return done(TShownResult::Failed(NothingToSend));
    done(Run([&] {
        form_.server_->BroadcastExcept("", "***System message from server: " + text);
        return TShownResult{};
    }));
}

void TLocalShownServer::PrivateMessage(const std::string& nick, const std::string& text,
                                       TDone done) {
    AssertUiThread();
    if (text.empty()) return done(TShownResult::Failed(NothingToSend));
    done(Run([&] {
        TLobbyList& store = Store();
        std::lock_guard lobbyLock(store.Lock());
        const TNetPeerThread* user = FindRegisteredUser(store, nick);
        return user && WriteToUser(store, user, nick, "***Private message from server: " + text)
                   ? TShownResult{}
                   : TShownResult::Failed(NoSuchUser);
    }));
}

void TLocalShownServer::LobbyMessage(const TShownLobbyRef& lobby, const std::string& text,
                                     TDone done) {
    AssertUiThread();
    if (text.empty()) return done(TShownResult::Failed(NothingToSend));
    done(WithLobby(lobby, [&](TLobbyList&, TLobby& found) {
        // The row text as it is now, to the members who are there now.
        found.SendToMembers("***Lobby Message from Server to " +
                            TConsoleModel::LobbyRowText(found, false) + ": " + text);
        return TShownResult{};
    }));
}

void TLocalShownServer::AdminMessage(const std::string& text, TDone done) {
    AssertUiThread();
    done(Run([&] {
        form_.server_->BroadcastExcept("", operator_lines::AdminMessage(text));
        return TShownResult{};
    }));
}

// --- Lobbies ---------------------------------------------------------------------------

void TLocalShownServer::AddLobby(const std::string& name, const std::string& description,
                                 bool isPrivate, TDoneWith<TShownLobby> done) {
    AssertUiThread();
    TShownLobby added;
    if (name.empty() || description.empty())
        return done(TShownResult::Failed("Please give em a name and description!"), added);
    const std::string named = name.starts_with('#') ? name : "#" + name;
    const TShownResult result = Run([&] {
        TLobbyList& store = Store();
        std::lock_guard lobbyLock(store.Lock());
        const int index =
            store.AddLobby(form_.consoleSender(), named, description, false, isPrivate);
        const TLobby* lobby = store.GetLobby(index);
        if (!lobby) return TShownResult::Failed("Could not add lobby! Already exists?");
        added = {(form_.model_.Lists(lobby->Serial) ? lobby->Serial : 0),
                 lobby->Name,
                 lobby->Description,
                 lobby->IsPrivate,
                 lobby->UserCreated,
                 {}};
        return TShownResult{};
    });
    done(result, added);
}

void TLocalShownServer::RemoveLobby(const TShownLobbyRef& lobby, TDone done) {
    AssertUiThread();
    done(WithLobby(lobby, [&](TLobbyList& store, TLobby& found) {
        store.RemoveLobby(form_.consoleSender(), &found);
        return TShownResult{};
    }));
}

void TLocalShownServer::SaveLobbyList(TDone done) {
    AssertUiThread();
    done(Run([&] {
        form_.saveLobbyListOrThrow();
        return TShownResult{};
    }));
}

// --- The log, the options, the server --------------------------------------------------

void TLocalShownServer::SaveLog(TDone done) {
    AssertUiThread();
    const std::uint64_t failuresBefore = form_.model_.LogSaveFailures();
    // Waits for the write: the outcome is known, and the UI thread holds no lock.
    form_.model_.SaveLog();
    form_.diskWriter_.Drain();
    done(form_.model_.LogSaveFailures() == failuresBefore
             ? TShownResult{}
             : TShownResult::Failed("Error: Unable to save logfile!"));
}

void TLocalShownServer::ClearLog(TDone done) {
    AssertUiThread();
    form_.model_.ClearLog();
    done({});
}

void TLocalShownServer::SetOptions(const TShownOptionsChange& change,
                                   TDoneWith<TShownOptions> done) {
    AssertUiThread();
    const TShownOptions now = form_.model_.Options();
    const TShownOptions options = change.AppliedTo(now);
    if (!TShownOptions::ValidFloodLimit(options.FloodRate) ||
        !TShownOptions::ValidFloodLimit(options.FloodBurst))
        return done(TShownResult::Failed(TShownOptions::FloodLimitError()), now);
    if (options != now) {
        form_.model_.SetOptions(options);
        form_.applyOptions();
    }
    const TShownResult result = Run([&] {
        form_.saveOptionsOrThrow();
        return TShownResult{};
    });
    done(result, options);
}

void TLocalShownServer::Stop(TDone done) {
    AssertUiThread();
    if (!form_.model_.Actions().StopEnabled)
        return done(TShownResult::Failed("the server is stopped"));
    done(form_.runStopSequence(false) ? TShownResult{}
                                      : TShownResult::Failed("a stop is under way"));
}

void TLocalShownServer::Start(TDone done) {
    AssertUiThread();
    if (!form_.model_.Actions().StartEnabled)
        return done(TShownResult::Failed("the server is running"));
    done(Run([&] {
        form_.server_->SetActive(true);
        form_.model_.SetServerRunning(true);
        return TShownResult{};
    }));
}

// The countdown of the code word's shutdown, on the UI thread's timer instead of a
// sleeping connection thread: the same lines a second apart, then the same stop.
void TLocalShownServer::Shutdown(const std::string& text, TDone done) {
    AssertUiThread();
    if (text.empty()) return done(TShownResult::Failed("Error: No message"));
    if (countdown_->isActive()) return done(TShownResult::Failed("a shutdown is under way"));
    if (!form_.server_->Active()) return done(TShownResult::Failed("the server is stopped"));
    form_.AddLog("Remote shoutdown server in progress");
    shutdownText_ = text;
    countdownLeft_ = 10;
    CountdownStep();
    countdown_->start();
    done({});
}

void TLocalShownServer::CountdownStep() {
    // Overtaken by another stop: that stop tells the operator, this one nothing.
    if (!form_.server_->Active() || form_.StopUnderWay()) {
        countdown_->stop();
        return;
    }
    if (countdownLeft_ == 0) {
        countdown_->stop();
        if (form_.StopServerRemote())
            form_.ShowOperatorMessage(operator_lines::StoppedByRemote(shutdownText_));
        return;
    }
    try {
        form_.server_->BroadcastExcept("", operator_lines::ShutdownIn(countdownLeft_));
    } catch (const std::exception&) {
        // A failed write to one user is that user's connection's concern.
    }
    --countdownLeft_;
}

void TLocalShownServer::ClearReports(TDone done) {
    AssertUiThread();
    done(Run([&] {
        form_.remoteAdmin_->Report().Clear();
        return TShownResult{};
    }));
}
