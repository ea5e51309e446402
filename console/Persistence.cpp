// The log, the settings file, starting and stopping the server and the close query, with
// the members the remote administration uses for the same things.
#include <QMessageBox>
#include <QStatusBar>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "ByteText.h"
#include "LogFile.h"
#include "RemoteAdmin.h"
#include "Timestamp.h"
#include "Unit1.h"

namespace {

constexpr const char* ChannelsSection = "Channels";
constexpr const char* PrivateChannelsSection = "PrivateChannels";
constexpr const char* OptionsSection = "Options";
// A flood limit from the file: the default when missing, not a number or out of range.
int FloodSetting(const TIniFile& ini, const char* key, int def) {
    const std::int64_t value = ini.ReadInteger(OptionsSection, key, def);
    return TShownOptions::ValidFloodLimit(value) ? static_cast<int>(value) : def;
}

// A flood limit as the operator typed it: decimal digits, blanks around ignored.
std::optional<int> ParseFloodSetting(const QString& text) {
    bool ok = false;
    const QString trimmed = text.trimmed();
    const int value = trimmed.toInt(&ok);
    if (!ok || !TShownOptions::ValidFloodLimit(value) || trimmed.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return value;
}

}  // namespace

// --- Log -------------------------------------------------------------------------------

void TForm1::AddLog(const std::string& text) {
    model_.AddLog(text);
}

std::vector<std::string> TForm1::LogLines() const {
    return model_.LogLines();
}

// The outcome is in the log: a failed save puts its line there.
void TForm1::SaveLogExecute() {
    assertUiThread();
    if (mirror_) return saveShownLog();
    Shown().SaveLog([](const TShownResult&) {});
}

// A server elsewhere keeps its log for every console attached to it: the lines this
// window shows go to a file on this machine, and the server's log stays as it is.
void TForm1::saveShownLog() {
    const std::vector<std::string>& lines = mirror_->State().Log;
    if (lines.empty()) return;
    const std::string path = programDir_ + TimestampFileName(TimestampText()) + ".log";
    try {
        WriteLog(path, lines);
    } catch (const std::exception& error) {
        mirror_->AddNote(TimestampText() + ": Error: Unable to save logfile! " + error.what(),
                         "Error: Unable to save logfile!");
        return;
    }
    mirror_->AddNote(TimestampText() + ": Log saved to " + path, "Log saved to " + path);
}

void TForm1::ClearLogExecute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty()) return;
    Shown().ClearLog(shownDone());
}

// --- Settings file ---------------------------------------------------------------------

void TForm1::LoadLobbies() {
    assertUiThread();
    TLobbyList& store = server_->LobbyStore();
    try {
        const TIniFile ini = settings_.Load();
        TScratchList scratch;
        scratch.Merge(ini.ReadSection(ChannelsSection));
        for (const auto& [name, description] : scratch.Entries)
            store.AddLobby(consoleSender(), name, description, false, false);
        // Entries left from "Channels" are refused as duplicates, so a lobby listed in
        // both sections stays public.
        scratch.Merge(ini.ReadSection(PrivateChannelsSection));
        for (const auto& [name, description] : scratch.Entries)
            store.AddLobby(consoleSender(), name, description, false, true);
    } catch (const std::exception& error) {
        AddLog(std::string("Error reading lobby list: ") + error.what());
    }
    store.Modified = false;
    model_.SetSaveLobbysEnabled(false);
}

void TForm1::LoadOptions() {
    assertUiThread();
    TShownOptions options;
    try {
        const TIniFile ini = settings_.Load();
        options.AutoSave = ini.ReadBool(OptionsSection, "AutoSave", options.AutoSave);
        options.AllowCreate = ini.ReadBool(OptionsSection, "AllowCreate", options.AllowCreate);
        options.RouteChat = ini.ReadBool(OptionsSection, "RouteChat", options.RouteChat);
        options.FloodRate = FloodSetting(ini, "FloodRate", options.FloodRate);
        options.FloodBurst = FloodSetting(ini, "FloodBurst", options.FloodBurst);
        // An operator who administers through the endpoint may turn the code words off.
        remoteAdmin_->SetCodesEnabled(ini.ReadBool(OptionsSection, "AdminCodes", true));
    } catch (const std::exception& error) {
        AddLog(std::string("Error reading options: ") + error.what());
    }
    model_.SetOptions(options);
}

// The options change on the UI thread only, so their snapshot is taken there in order.
void TForm1::saveOptionsOrThrow() {
    const TShownOptions options = model_.Options();
    const auto ticket = settings_.Ticket(TSettingsFile::TPart::Options);
    settings_.Write(TSettingsFile::TPart::Options, ticket, [&](TIniFile& ini) {
        ini.WriteBool(OptionsSection, "AutoSave", options.AutoSave);
        ini.WriteBool(OptionsSection, "AllowCreate", options.AllowCreate);
        ini.WriteBool(OptionsSection, "RouteChat", options.RouteChat);
        ini.WriteInteger(OptionsSection, "FloodRate", options.FloodRate);
        ini.WriteInteger(OptionsSection, "FloodBurst", options.FloodBurst);
    });
}

void TForm1::SaveOptions() {
    assertUiThread();
    try {
        saveOptionsOrThrow();
    } catch (const std::exception& error) {
        showError(error);
    }
}

// Copies the lobbies under the lobby-list lock and writes the file without it, so that
// chat goes on during the disk flush. The changed mark and the action are cleared at
// the copy: a lobby added meanwhile marks them again, and a failed write puts back
// what it cleared. The ticket taken with the copy keeps a copy older than one already
// written from being written after it (saves run on the UI and connection threads).
void TForm1::saveLobbyListOrThrow() {
    struct TStored {
        std::string Name, Description;
        bool IsPrivate;
    };
    std::vector<TStored> lobbies;
    bool wasModified, wasEnabled;
    std::uint64_t ticket;
    TLobbyList& store = server_->LobbyStore();
    {
        std::lock_guard lobbyLock(store.Lock());
        ticket = settings_.Ticket(TSettingsFile::TPart::Lobbies);
        for (const auto& lobby : store.Lobbies())
            if (!lobby->UserCreated)
                lobbies.push_back({lobby->Name, lobby->Description, lobby->IsPrivate});
        wasModified = store.Modified.exchange(false);
        wasEnabled = model_.ExchangeSaveLobbysEnabled(false);
    }
    try {
        settings_.Write(TSettingsFile::TPart::Lobbies, ticket, [&](TIniFile& ini) {
            ini.EraseSection(ChannelsSection);
            ini.EraseSection(PrivateChannelsSection);
            for (const TStored& lobby : lobbies) {
                try {
                    ini.WriteString(lobby.IsPrivate ? PrivateChannelsSection : ChannelsSection,
                                    lobby.Name, lobby.Description);
                } catch (const std::invalid_argument&) {
                    // A name holding "=" cannot be a key: it would load as another lobby.
                }
            }
        });
    } catch (...) {
        if (wasModified) store.Modified = true;
        if (wasEnabled) model_.SetSaveLobbysEnabled(true);
        throw;
    }
    AddLog("Lobbylist saved");
}

void TForm1::SaveLobbysExecute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty() || !SaveLobbysEnabled()) return;
    Shown().SaveLobbyList(shownDone());
}

void TForm1::SaveLobbyList() {
    saveLobbyListOrThrow();
}

void TForm1::SetSaveLobbysEnabled(bool enabled) {
    model_.SetSaveLobbysEnabled(enabled);
}

// Each option is changed from the state shown, not from the menu's check mark, which Qt
// has already turned; a refused change shows the server's state again.
void TForm1::changeOptions(const TShownOptionsChange& change) {
    assertUiThread();
    if (!commandsBlocked_.isEmpty()) return;
    Shown().SetOptions(
        change, [self = QPointer<TForm1>(this)](const TShownResult& result, const TShownOptions&) {
            if (self) self->optionsDone(result);
        });
}

void TForm1::AllowCreate1Execute() {
    changeOptions({.AllowCreate = !AllowCreateOn()});
}

void TForm1::AutoSave1Execute() {
    changeOptions({.AutoSave = !AutoSaveOn()});
}

void TForm1::RouteChat1Execute() {
    changeOptions({.RouteChat = !RouteChatOn()});
}

void TForm1::optionsDone(const TShownResult& result) {
    showResult(result);
    const TShownOptions options = ShownOptions();
    AutoSave1->setChecked(options.AutoSave);
    AllowCreate1->setChecked(options.AllowCreate);
    RouteChat1->setChecked(options.RouteChat);
}

// Asks for both limits, each prompt showing the current value; nothing changes when
// either prompt is left with Abort or holds no number in range.
void TForm1::FloodLimits1Execute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty()) return;
    const TShownOptions now = ShownOptions();
    const auto title = [](const char* what, int value) {
        return QString::fromLatin1(what) + QStringLiteral(", 0 turns the limit off (now ") +
               QString::number(value) + QStringLiteral(")");
    };
    const auto rateText = Dialogs.PromptText(title("Flood rate: commands a second", now.FloodRate));
    if (!rateText) return;
    const auto burstText =
        Dialogs.PromptText(title("Flood burst: commands at once", now.FloodBurst));
    if (!burstText) return;
    const auto rate = ParseFloodSetting(*rateText);
    const auto burst = ParseFloodSetting(*burstText);
    if (!rate || !burst) {
        Dialogs.ShowMessage(QString::fromStdString(TShownOptions::FloodLimitError()));
        return;
    }
    changeOptions({.FloodRate = *rate, .FloodBurst = *burst});
}

// --- Start and stop --------------------------------------------------------------------

int TForm1::ServerPort() const {
    if (!server_ || !server_->Active() || server_->Bindings().Count() == 0) return 0;
    return server_->Bindings()[0].Port();
}

// A failed start leaves the action states, so Start Server can be tried again.
void TForm1::StartServerExecute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty() || !StartServerEnabled()) return;
    Shown().Start(shownDone());
}

void TForm1::StopServerExecute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty() || !StopServerEnabled()) return;
    const bool usersOnline =
        mirror_ ? !mirror_->State().Users.empty() : server_->LobbyStore().UserCount() > 0;
    if (usersOnline && Dialogs.Ask(QStringLiteral("There are users connected! Are you shure?"),
                                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    Shown().Stop([done = shownDone()](const TShownResult& result) {
        // Another stop under way stops the server all the same.
        if (result.Error != "a stop is under way") done(result);
    });
}

bool TForm1::StopServerNow() {
    assertUiThread();
    return runStopSequence(false);
}

bool TForm1::StopServerRemote() {
    return runStopSequence(true);
}

// Any thread; no lock of the console or the core may be held by the caller, since the
// quits raise the handlers and deactivation waits for the connection threads.
bool TForm1::runStopSequence(bool onlyWhenActive) {
    bool expected = false;
    if (!stopping_.compare_exchange_strong(expected, true)) return false;
    if (onlyWhenActive && !server_->Active()) {
        stopping_ = false;
        return false;
    }
    try {
        server_->LobbyStore().QuitAll("***Server stopped.....");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } catch (const std::exception&) {
        // The server is deactivated whatever happened to the quits.
    }
    try {
        server_->SetActive(false);
    } catch (const std::exception&) {
    }
    model_.SetServerRunning(false);
    stopping_ = false;
    return true;
}

bool TForm1::FormCloseQuery() {
    assertUiThread();
    // A server elsewhere runs on when its console closes.
    if (mirror_) return true;
    try {
        StopServerExecute();  // does nothing while the action is disabled
        if (server_->Active()) return false;
        if (server_->LobbyStore().Modified) {
            const auto answer =
                Dialogs.Ask(QStringLiteral("Lobbylist has changed! Do you want to save?"),
                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            if (answer == QMessageBox::Cancel) return false;
            if (answer == QMessageBox::Yes) {
                // Runs the handler directly, also when the action is disabled.
                try {
                    saveLobbyListOrThrow();
                } catch (const std::exception& error) {
                    showError(error);
                }
            }
        }
    } catch (const std::exception&) {
        return true;
    }
    return true;
}

void TForm1::ShowOperatorMessage(const std::string& text) {
    // Posted, never waited for: the caller may be a connection thread, and the box
    // itself does not block the UI thread either.
    QMetaObject::invokeMethod(this, "notifyOperator", Qt::QueuedConnection,
                              Q_ARG(QString, Q(text)));
}

void TForm1::notifyOperator(const QString& text) {
    Dialogs.NotifyOperator(text);
}

void TForm1::showError(const std::exception& error) {
    assertUiThread();
    Dialogs.ShowMessage(QString::fromLocal8Bit(error.what()));
}
