// TForm1, the operator console: the program's main window. It owns the chat server, answers
// the server's events (which lobbies may exist, what a joining user is told, filing
// problem reports), shows users, lobbies and the log, keeps the lobby list and two options
// in "kelbox.ini", and carries the operator's commands.
//
// The operator's commands run the operations of the server this window shows
// (ShownServer.h): this program's own (TLocalShownServer), or, in quarn-console, one that
// runs elsewhere (TForm1Config::Remote). A window for a server elsewhere owns no server:
// its views show the remote server's snapshot and events (TShownMirror), refreshed the
// same way as the local console model's.
//
// Threads. Widgets are touched on the UI thread only. The server event handlers
// (Server...), AddLog and the TAdminHost members run on connection threads as well, many
// at once, and on the UI thread when the operator's own calls raise events. They read the
// core, leave the decisions and the state to the console model (TConsoleModel, which has
// the console's state lock) and reach the widgets by a refresh the model asks to be posted
// to the UI thread (see syncViews). File writes that would otherwise happen under a lock
// go to the disk writer. Everything else (start-up, actions, menus, operator commands,
// the close query) is UI thread only.
//
// Locks: the program's lock order is written in chat/LobbyList.h. The console never calls
// into the core while holding the state lock, and never waits for the UI thread while
// holding any lock: posting a refresh does not wait.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AdminHost.h"
#include "ConsoleModel.h"
#include "DiskWriter.h"
#include "SettingsFile.h"
#include "ShownJournal.h"
#include "ShownMirror.h"
#include "chat/NetIrcServer.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTableView;
class TUserGrid;
class TAboutBox;
class TForm2;
class TAdminEndpoint;
class TLocalShownServer;
class TRemoteAdmin;
class TTabListBox;

// The operator's dialogs, replaceable so that tests answer them and the headless program
// never waits for a click nobody can make. An empty member means the real dialog.
struct TConsoleDialogs {
    // A warning with the given buttons; returns the button pressed.
    std::function<QMessageBox::StandardButton(const QString& question,
                                              QMessageBox::StandardButtons buttons)>
        Ask;
    // The one-line message dialog with the given title; nullopt when left with Abort.
    std::function<std::optional<QString>(const QString& title)> PromptText;
    // A modal message (failures of the operator's commands, settings errors).
    std::function<void(const QString& text)> ShowMessage;
    // A message that must not block: the closing note of a remote shutdown.
    std::function<void(const QString& text)> NotifyOperator;
    // The about box.
    std::function<void()> ShowAbout;
};

struct TForm1Config {
    // The folder for kelbox.ini, report.txt and the logs, ending in "/"; empty means the
    // executable's folder.
    std::string ProgramDir;
    // The listening port; 0 lets the system choose (tests).
    int Port = 6667;
    TConsoleDialogs Dialogs;
    // Called with every log line as it is added, in log order (the headless program
    // prints them through a TLogEcho). Runs under the state lock on any thread: it must
    // not call back, and it must not wait on the output.
    std::function<void(const std::string& line)> LogEcho;
    // The disk writer's bound and, for tests, a slow disk.
    TDiskWriter::TOptions Disk;
    // A window for a server that runs elsewhere (quarn-console): the server it shows, not
    // owned, which outlives the window. Null: the window runs its own server.
    TShownServer* Remote = nullptr;
    // With Remote: the account is a viewer, so every command is disabled; the title's
    // account and server ("alice@host:6668").
    bool ReadOnly = false;
    std::string RemoteTitle;
    // The admin endpoint's address, instead of kelbox.ini's [Admin] Listen= (tests: port 0).
    std::optional<std::string> AdminListen;
};

class TForm1 : public QMainWindow, public TAdminHost, private TShownListener {
    Q_OBJECT
    // The shown server of this program runs the window's operations by identity.
    friend class TLocalShownServer;

  public:
    // Views refresh at most this often: a registration storm raises thousands of events a
    // second, and each refresh costs time in proportion to the users online.
    static constexpr int MinRefreshIntervalMs = 100;

    explicit TForm1(TForm1Config config = {}, QWidget* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The message dialog and about box, created after this window (UI thread).
    void SetDialogs(TForm2* messageDialog, TAboutBox* aboutBox);

    TConsoleDialogs Dialogs;  // UI thread only; fill the empty members with real dialogs

    // --- Components (UI thread only) ---
    QTableView* AllUserList = nullptr;  // Nick, IP, Time; at least one data row
    TUserGrid* UserGrid = nullptr;      // AllUserList's rows
    TTabListBox* LobbyList = nullptr;   // one row per accepted lobby (LobbyIdRole)
    QListWidget* UserList = nullptr;    // members of the selected lobby
    QListWidget* LogMemo = nullptr;     // newest line at the top
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel = nullptr;  // the status bar's single panel
    QLineEdit* edLobbyName = nullptr;
    QLineEdit* edDescr = nullptr;
    QCheckBox* IsPrivate = nullptr;
    QPushButton* BtnAddLobby = nullptr;

    QAction* StartServer = nullptr;
    QAction* StopServer = nullptr;
    QAction* SaveLobbys = nullptr;
    QAction* SaveLog = nullptr;
    QAction* ClearLog = nullptr;
    QAction* AllowCreate1 = nullptr;
    QAction* AutoSave1 = nullptr;
    QAction* RouteChat1 = nullptr;
    QAction* FloodLimits1 = nullptr;   // asks for FloodRate and FloodBurst
    QAction* SystemMessage = nullptr;  // shown as SystemMessage2 and SystemMessage1
    QAction* Exit1 = nullptr;
    QAction* About1 = nullptr;

    QMenu* ServerMenu = nullptr;
    QMenu* OptionsMenu = nullptr;
    QMenu* PopupLog = nullptr;
    QMenu* PopupAll = nullptr;
    QAction* Kick1 = nullptr;
    QAction* SendMessage1 = nullptr;
    QMenu* Join1 = nullptr;
    QMenu* PopupLobby = nullptr;
    QAction* Remove1 = nullptr;
    QAction* LobbyMessage1 = nullptr;
    QAction* Partallusers1 = nullptr;
    QMenu* PopupUser = nullptr;
    QAction* Part1 = nullptr;

    // --- State readable from any thread ---
    TNetIRCServer& Server() { return *server_; }
    // The port the server listens on (the chosen one when configured with 0), or 0.
    int ServerPort() const;
    // Whether the actions are enabled / checked in the console state (the menus follow
    // at the next view refresh).
    bool StartServerEnabled() const;
    bool StopServerEnabled() const;
    bool SaveLobbysEnabled() const;
    bool AutoSaveOn() const;
    bool AllowCreateOn() const;
    bool RouteChatOn() const;
    // The options as the window shows them: the console state's, or the remote mirror's
    // (UI thread only then).
    TShownOptions ShownOptions() const;

    // --- Server event handlers (any thread, under the core's lobby-list lock) ---
    void ServerUserEnter(TNetPeerThread& Thread, const std::string& NickName, bool& AllowEnter);
    void ServerUserJoin(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                        bool& AllowJoin, std::string& Msg);
    void ServerUserPart(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                        std::string& Msg);
    void ServerUserQuit(TNetPeerThread& Thread, const std::string& NickName);
    void ServerAddLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow);
    void ServerRemoveLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow);
    void ServerChat(TNetPeerThread& Sender, TLobby* Lobby, std::string& msg, bool& AllowSend);
    void ServerCommandUsers(TNetPeerThread& Thread, const std::string& Parm);
    void ServerCommandOther(TNetPeerThread& Thread, const std::string& Command,
                            const std::string& Parm);

    // --- Settings and actions (UI thread) ---
    void LoadLobbies();
    void LoadOptions();
    void SaveOptions();
    void SaveLobbysExecute();
    void SaveLogExecute();
    void ClearLogExecute();
    void StartServerExecute();
    void StopServerExecute();
    void AllowCreate1Execute();
    void AutoSave1Execute();
    void RouteChat1Execute();
    void FloodLimits1Execute();
    bool FormCloseQuery();
    void Exit1Click();
    void About1Click();
    // The stop sequence without the question, for SIGINT/SIGTERM; false when another stop
    // is under way.
    bool StopServerNow();

    // --- Operator commands (UI thread) ---
    void BtnAddLobbyClick();
    void edLobbyNameChange();
    void LobbyListClick();
    void PopupUserPopup();
    void Part1Click();
    // Right button with no modifier on a data row with a nickname: fills Kick1 and
    // SendMessage1 and opens PopupAll at pos (viewport coordinates). Returns whether the
    // menu was opened.
    bool AllUserListMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons,
                              Qt::KeyboardModifiers modifiers, const QPoint& pos);
    void PopupAllPopup();
    void Kick1Click();
    void SendMessage1Click();
    void JoinItemClick(QAction* entry);
    void PopupLobbyPopup();
    void Remove1Click();
    void LobbyMessage1Click();
    void Partallusers1Click();
    void SystemMessageExecute();

    // Applies every pending view update now (tests; the event loop does it otherwise).
    void FlushViews();
    // Waits until the log files and reports handed to the disk writer are written (tests).
    void FlushDisk() { diskWriter_.Drain(); }

    // The server this window shows: this program's own, or the remote one (UI thread).
    TShownServer& Shown();
    // Whether the window shows a server that runs elsewhere.
    bool IsRemote() const { return remote_ != nullptr; }
    // Why the operator's commands are disabled (a viewer account, no connection), or empty.
    QString CommandsBlocked() const { return commandsBlocked_; }
    // The admin endpoint (UI thread); it listens only while accounts exist.
    TAdminEndpoint& AdminEndpoint() { return *adminEndpoint_; }

    // --- TAdminHost (any thread) ---
    TNetIRCServer& IrcServer() override { return *server_; }
    const void* ConsoleSender() const override { return this; }
    std::string ProgramDir() const override { return programDir_; }
    bool AllowCreateOption() const override { return AllowCreateOn(); }
    void AddLog(const std::string& text) override;
    std::vector<std::string> LogLines() const override;
    std::vector<std::string> LobbyRowTexts() const override;
    void SaveLobbyList() override;
    void SetSaveLobbysEnabled(bool enabled) override;
    bool StopServerRemote() override;
    bool StopUnderWay() const override { return stopping_; }
    void ShowOperatorMessage(const std::string& text) override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The remote server's changes (TShownListener).
    void ShownEvent(const TShownEvent& event) override;
    void ShownLost(const std::string& reason) override;
    void subscribeRemote();
    // Enables the operator's commands, or disables them with commandsBlocked_ as the
    // tooltip.
    void applyCommandState();
    void setCommandsBlocked(const QString& reason);
    // The outcome of a command: its error shown, except that the target has gone (the
    // window's commands find nothing then and say nothing).
    void showResult(const TShownResult& result);
    // showResult for an operation's answer, which a server elsewhere may give after this
    // window is gone (a pending command ends when its connection closes): then nothing.
    TShownServer::TDone shownDone();
    // The lobby of the selected row as the window shows it, or nullopt when it has gone.
    std::optional<TShownLobby> shownLobby(std::uint64_t id);
    std::uint64_t selectedLobbyId() const;
    // The remote window's Save Log: the lines shown, in a file on this machine.
    void saveShownLog();
    // Changes the options through the shown server (nothing while commands are blocked);
    // optionsDone follows with the outcome.
    void changeOptions(const TShownOptionsChange& change);
    // After a change of the options: its error shown, the menu's marks the state's.
    void optionsDone(const TShownResult& result);

    // Start-up steps, in the order the constructor runs them.
    void createServer(int port);
    void createReportFile();
    void hookServerEvents();
    void fillWelcomeText();
    void createActions();
    void createMenus();
    void createViews();
    void createPopups();
    void writeGridHeader();
    void createReportLobby();
    // The console state's options into the chat server (start-up, and each change).
    void applyOptions();
    void createAdminEndpoint(const std::optional<std::string>& listen);
    void installDefaultDialogs();

    // Run on the UI thread: syncSoon refreshes now or once the refresh interval has passed;
    // syncViews takes the changed parts from the model and shows them. Other threads post
    // syncSoon, deliverShownEvents and notifyOperator by name (PostToUi).
    Q_INVOKABLE void syncSoon();
    Q_INVOKABLE void deliverShownEvents();
    Q_INVOKABLE void notifyOperator(const QString& text);
    // Queues a call of one of the methods above on the UI thread, from any thread. By name
    // rather than as a functor: the call then travels entirely inside Qt, whose locks
    // ThreadSanitizer does not see here (ignore_noninstrumented_modules), so a functor made
    // on the posting thread and run on the UI thread would be reported as a race.
    void PostToUi(const char* method);
    void syncViews();
    void applyLobbyRows(const std::vector<TConsoleModel::TLobbyRow>& rows);
    void applyLog(const std::vector<std::string>& lines);
    void applyActions(const TConsoleModel::TActions& actions);

    // Settings steps that throw ESafeFileError / std::exception.
    void saveLobbyListOrThrow();
    void saveOptionsOrThrow();
    // The shared stop sequence; false when another stop is under way (or, if
    // onlyWhenActive, when the server is not running).
    bool runStopSequence(bool onlyWhenActive);

    // Operator command helpers.
    std::string selectedLobbyName() const;
    QString selectedLobbyRowText() const;
    void showError(const std::exception& error);
    void assertUiThread() const;

    TLobbySender consoleSender() const { return TLobbySender::Of(ConsoleSender()); }

    const std::string programDir_;
    TSettingsFile settings_;           // kelbox.ini beside the program
    TForm2* messageDialog_ = nullptr;  // owned by main; may be null in tests
    TAboutBox* aboutBox_ = nullptr;    // owned by main; may be null in tests

    // The changes the model publishes for the shown server's listeners; declared before
    // the model, which publishes into it.
    TShownJournal shownJournal_;
    TConsoleModel model_;  // the console's state, with its lock
    // Declared after the model, whose log files it writes: joined before the model goes.
    TDiskWriter diskWriter_;
    // Set while a stop sequence runs, so that the operator's stop, the close query, a
    // signal and a remote shutdown stop the server once.
    std::atomic<bool> stopping_{false};
    bool applyingViews_ = false;  // UI thread: a refresh is changing the widgets
    QElapsedTimer lastRefresh_;   // UI thread: started by each refresh

    // Declared last: destroyed first (explicitly, in the destructor) while the state
    // above still exists for the connection threads that are winding down.
    std::unique_ptr<TNetIRCServer> server_;
    std::unique_ptr<TRemoteAdmin> remoteAdmin_;
    std::unique_ptr<TLocalShownServer> shown_;

    // The window for a server elsewhere: the server and what it shows (UI thread).
    TShownServer* const remote_;
    std::unique_ptr<TShownMirror> mirror_;
    const bool readOnly_;
    QString commandsBlocked_;
    std::uint64_t subscription_ = 0;  // counts subscriptions: a late answer is stale
    std::string lostNote_;            // the log line of a loss not yet made good
    // Destroyed first (explicitly): its sessions are listeners of shown_.
    std::unique_ptr<TAdminEndpoint> adminEndpoint_;
};
