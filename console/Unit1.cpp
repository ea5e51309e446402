// The window itself: construction (the start-up sequence), the layout, the actions and the
// menus. The handlers live in Views.cpp (server events), Persistence.cpp (settings, log,
// start and stop) and OperatorCommands.cpp (the operator's commands).
#include "Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "AdminEndpoint.h"
#include "ByteText.h"
#include "LocalShownServer.h"
#include "RemoteAdmin.h"
#include "Timestamp.h"
#include "UserGrid.h"
#include "widgets/Tablist.h"
#include "widgets/Unit2.h"
#include "widgets/Unit3.h"

namespace {

std::string DefaultProgramDir() {
    return QDir(QCoreApplication::applicationDirPath()).absolutePath().toStdString() + "/";
}

std::string WithTrailingSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// The sweep of closed connections runs on the UI thread, as the operator's other periodic
// work does; the core's own timer thread is switched off for it.
constexpr int SweepIntervalMs = 30000;

// A subscription the server refused is asked for again after this long.
constexpr int TRemoteRetryMs = 2000;

}  // namespace

TForm1::TForm1(TForm1Config config, QWidget* parent)
    : QMainWindow(parent),
      Dialogs(std::move(config.Dialogs)),
      programDir_(config.ProgramDir.empty() ? DefaultProgramDir()
                                            : WithTrailingSeparator(config.ProgramDir)),
      settings_(programDir_ + "kelbox.ini"),
      shownJournal_([this] { PostToUi("deliverShownEvents"); }),
      model_(programDir_, diskWriter_,
             {.Now = [] { return TimestampText(); },
              .RefreshNeeded = [this] { PostToUi("syncSoon"); },
              .LogEcho = std::move(config.LogEcho),
              .Event = [this](TShownEvent&& event) { shownJournal_.Publish(std::move(event)); }}),
      diskWriter_(std::move(config.Disk)),
      remote_(config.Remote),
      readOnly_(config.Remote && config.ReadOnly) {
    setWindowTitle(QStringLiteral("IRC Chat Server for Quarn"));
    installDefaultDialogs();
    createActions();
    createMenus();
    createViews();
    createPopups();

    if (remote_) {
        // The same window without a server of its own: it shows the one elsewhere.
        setWindowTitle(QStringLiteral("Quarn console: ") + Q(config.RemoteTitle) +
                       (readOnly_ ? QStringLiteral(" (viewer)") : QString()));
        mirror_ = std::make_unique<TShownMirror>([this] { PostToUi("syncSoon"); });
        writeGridHeader();
        setCommandsBlocked(readOnly_ ? QStringLiteral("Read only: this account is a viewer")
                                     : QStringLiteral("Not connected to the server yet"));
        subscribeRemote();
        return;
    }
    shown_ = std::make_unique<TLocalShownServer>(*this);

    // The start-up sequence proper, in its fixed order: every step after the hooks that
    // changes lobbies already shows and logs through the handlers.
    createServer(config.Port);
    createReportFile();
    hookServerEvents();
    fillWelcomeText();
    writeGridHeader();
    createReportLobby();
    LoadLobbies();
    LoadOptions();
    applyOptions();
    StartServerExecute();
    createAdminEndpoint(config.AdminListen);
    FlushViews();
}

// In this order: no connection thread left, then the disk writer drained, then the objects
// destroyed. Threads that outlived the deactivation's wait may still be inside a handler
// that reads server_, remoteAdmin_ and the model, and may still post a report; resetting
// server_ clears the pointer before its destructor waits for them.
TForm1::~TForm1() {
    if (remote_) {
        remote_->Unsubscribe(*this);
        return;
    }
    adminEndpoint_.reset();
    server_->SetShuttingDown(true);
    try {
        server_->StopAndWaitForPeers();
    } catch (const std::exception&) {
        // Ending anyway: the server's destructor waits for the threads.
    }
    // The reports still queued are filed; their senders are gone and get no answer.
    diskWriter_.Drain();
    server_.reset();
    remoteAdmin_.reset();
}

TShownServer& TForm1::Shown() {
    if (remote_) return *remote_;
    return *shown_;
}

// --- The window for a server elsewhere ---------------------------------------------------

void TForm1::subscribeRemote() {
    const std::uint64_t serial = ++subscription_;
    QPointer<TForm1> self(this);
    remote_->Subscribe(
        *this, [self, serial](const TShownResult& result, const TShownSnapshot& snapshot) {
            if (!self || serial != self->subscription_) return;
            if (!result.Ok()) {
                // The connection went before the snapshot came: ask again, which reconnects.
                self->mirror_->AddNote(TimestampText() + ": Could not subscribe: " + result.Error,
                                       "Could not subscribe: " + result.Error);
                QTimer::singleShot(TRemoteRetryMs, self.data(), [self] {
                    if (self) self->subscribeRemote();
                });
                return;
            }
            self->mirror_->Reset(snapshot);
            if (!self->lostNote_.empty()) {
                // The loss stays in the log, with the return below it.
                self->mirror_->AddNote(self->lostNote_, {});
                self->mirror_->AddNote(TimestampText() + ": Connected again", "Connected again");
                self->lostNote_.clear();
            }
            if (!self->readOnly_) self->setCommandsBlocked({});
        });
}

void TForm1::ShownEvent(const TShownEvent& event) {
    mirror_->Apply(event);
}

void TForm1::ShownLost(const std::string& reason) {
    lostNote_ = TimestampText() + ": Connection lost: " + reason;
    mirror_->AddNote(lostNote_, "Connection lost: " + reason + "; reconnecting...");
    if (!readOnly_) setCommandsBlocked(QStringLiteral("Not connected to the server: reconnecting"));
    subscribeRemote();
}

void TForm1::setCommandsBlocked(const QString& reason) {
    commandsBlocked_ = reason;
    applyCommandState();
}

// Disabled commands say why in their tooltips; menus show their actions' tooltips.
void TForm1::applyCommandState() {
    const bool allowed = commandsBlocked_.isEmpty();
    // The pop-ups narrow Remove, Lobby Message, Part all users and Part down further when
    // they open.
    for (QAction* action :
         {SystemMessage, ClearLog, AllowCreate1, AutoSave1, RouteChat1, FloodLimits1, Kick1,
          SendMessage1, Join1->menuAction(), Remove1, LobbyMessage1, Partallusers1, Part1}) {
        action->setEnabled(allowed);
        action->setToolTip(commandsBlocked_);
    }
    StartServer->setEnabled(allowed && StartServerEnabled());
    StopServer->setEnabled(allowed && StopServerEnabled());
    SaveLobbys->setEnabled(allowed && SaveLobbysEnabled());
    for (QAction* action : {StartServer, StopServer, SaveLobbys})
        action->setToolTip(commandsBlocked_);
    BtnAddLobby->setToolTip(commandsBlocked_);
    if (allowed)
        edLobbyNameChange();
    else
        BtnAddLobby->setEnabled(false);
}

void TForm1::SetDialogs(TForm2* messageDialog, TAboutBox* aboutBox) {
    assertUiThread();
    messageDialog_ = messageDialog;
    aboutBox_ = aboutBox;
}

void TForm1::assertUiThread() const {
    assert(QThread::currentThread() == qApp->thread());
}

void TForm1::installDefaultDialogs() {
    if (!Dialogs.Ask) {
        Dialogs.Ask = [this](const QString& question, QMessageBox::StandardButtons buttons) {
            QMessageBox box(QMessageBox::Warning, windowTitle(), question, buttons, this);
            return static_cast<QMessageBox::StandardButton>(box.exec());
        };
    }
    if (!Dialogs.PromptText) {
        Dialogs.PromptText = [this](const QString& title) -> std::optional<QString> {
            if (!messageDialog_) return std::nullopt;
            return messageDialog_->Ask(title);
        };
    }
    if (!Dialogs.ShowMessage) {
        Dialogs.ShowMessage = [this](const QString& text) {
            QMessageBox::information(this, windowTitle(), text);
        };
    }
    if (!Dialogs.NotifyOperator) {
        Dialogs.NotifyOperator = [this](const QString& text) {
            // Parented to the window, deleted when closed, never exec()'d: the UI goes on.
            auto* box = new QMessageBox(QMessageBox::Information, windowTitle(), text,
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
        };
    }
    if (!Dialogs.ShowAbout) {
        Dialogs.ShowAbout = [this] {
            if (aboutBox_) aboutBox_->exec();
        };
    }
}

void TForm1::createActions() {
    auto make = [this](const QString& caption, auto handler) {
        auto* action = new QAction(caption, this);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    StartServer = make(QStringLiteral("Start Server"), &TForm1::StartServerExecute);
    StopServer = make(QStringLiteral("Stop Server"), &TForm1::StopServerExecute);
    SaveLobbys = make(QStringLiteral("Save Lobby List"), &TForm1::SaveLobbysExecute);
    SaveLobbys->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    SaveLog = make(QStringLiteral("Save Log"), &TForm1::SaveLogExecute);
    ClearLog = make(QStringLiteral("Clear Log"), &TForm1::ClearLogExecute);
    AllowCreate1 =
        make(QStringLiteral("Allow users to create lobbys"), &TForm1::AllowCreate1Execute);
    AllowCreate1->setCheckable(true);
    AllowCreate1->setChecked(true);
    AutoSave1 = make(QStringLiteral("Auto Save Log"), &TForm1::AutoSave1Execute);
    AutoSave1->setCheckable(true);
    AutoSave1->setChecked(false);
    RouteChat1 = make(QStringLiteral("Route chat by target"), &TForm1::RouteChat1Execute);
    RouteChat1->setCheckable(true);
    RouteChat1->setChecked(false);
    FloodLimits1 = make(QStringLiteral("Flood Limits..."), &TForm1::FloodLimits1Execute);
    SystemMessage = make(QStringLiteral("System Message"), &TForm1::SystemMessageExecute);
    SystemMessage->setShortcut(QKeySequence(Qt::Key_F2));
    Exit1 = make(QStringLiteral("E&xit"), &TForm1::Exit1Click);
    Exit1->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    About1 = make(QStringLiteral("&About"), &TForm1::About1Click);
    About1->setShortcut(QKeySequence(Qt::Key_F1));
    // Shortcuts of actions that live only in menus fire while the window is active.
    addActions({SaveLobbys, SystemMessage, Exit1, About1});
}

void TForm1::createMenus() {
    ServerMenu = menuBar()->addMenu(QStringLiteral("&Server"));
    ServerMenu->addAction(StartServer);
    ServerMenu->addAction(StopServer);
    ServerMenu->addSeparator();
    ServerMenu->addAction(SystemMessage);  // SystemMessage2
    ServerMenu->addAction(SaveLobbys);
    ServerMenu->addSeparator();
    ServerMenu->addAction(Exit1);

    OptionsMenu = menuBar()->addMenu(QStringLiteral("&Options"));
    OptionsMenu->addAction(AllowCreate1);
    OptionsMenu->addAction(AutoSave1);
    OptionsMenu->addAction(RouteChat1);
    OptionsMenu->addAction(FloodLimits1);

    menuBar()->addAction(About1);
}

// Layout: the user grid on the left; on the right, top to bottom, the lobby entry panel,
// the lobby list beside the lobby's members, and the log; splitters between the parts.
void TForm1::createViews() {
    auto* outer = new QSplitter(Qt::Horizontal, this);

    AllUserList = new QTableView(outer);
    UserGrid = new TUserGrid(AllUserList);
    AllUserList->setModel(UserGrid);
    AllUserList->setToolTip(QStringLiteral("Users in chat"));
    AllUserList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    AllUserList->setSelectionBehavior(QAbstractItemView::SelectRows);
    AllUserList->verticalHeader()->hide();
    // One line per user: a long time text is elided rather than doubling the row height.
    AllUserList->setWordWrap(false);
    AllUserList->verticalHeader()->setDefaultSectionSize(AllUserList->fontMetrics().height() + 6);
    AllUserList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    AllUserList->setColumnWidth(0, 79);
    AllUserList->setColumnWidth(1, 77);
    AllUserList->setColumnWidth(2, 108);
    AllUserList->viewport()->installEventFilter(this);

    auto* right = new QSplitter(Qt::Vertical, outer);

    auto* entry = new QWidget(right);
    auto* entryLayout = new QHBoxLayout(entry);
    entryLayout->setContentsMargins(4, 4, 4, 4);
    entryLayout->addWidget(new QLabel(QStringLiteral("Lobby:"), entry));
    edLobbyName = new QLineEdit(entry);
    edLobbyName->setToolTip(QStringLiteral("Name of the lobby to add"));
    entryLayout->addWidget(edLobbyName, 1);
    entryLayout->addWidget(new QLabel(QStringLiteral("Description:"), entry));
    edDescr = new QLineEdit(entry);
    edDescr->setToolTip(QStringLiteral("Description of the lobby to add"));
    entryLayout->addWidget(edDescr, 2);
    IsPrivate = new QCheckBox(QStringLiteral("Private Lobby"), entry);
    entryLayout->addWidget(IsPrivate);
    BtnAddLobby = new QPushButton(QStringLiteral("Add Lobby"), entry);
    entryLayout->addWidget(BtnAddLobby);
    connect(BtnAddLobby, &QPushButton::clicked, this, &TForm1::BtnAddLobbyClick);
    connect(edLobbyName, &QLineEdit::textChanged, this, &TForm1::edLobbyNameChange);

    auto* lists = new QSplitter(Qt::Horizontal, right);
    LobbyList = new TTabListBox(lists);
    LobbyList->setToolTip(QStringLiteral("Lobbys"));
    LobbyList->SetTabPercentages(QStringLiteral("70, 80"));
    LobbyList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(LobbyList, &QListWidget::itemClicked, this, [this] { LobbyListClick(); });
    connect(LobbyList, &QListWidget::currentRowChanged, this, [this] {
        if (!applyingViews_) LobbyListClick();
    });
    UserList = new QListWidget(lists);
    UserList->setToolTip(QStringLiteral("Users in lobby (click on lobby at left)"));
    UserList->setContextMenuPolicy(Qt::CustomContextMenu);
    lists->setStretchFactor(0, 3);
    lists->setStretchFactor(1, 1);

    LogMemo = new QListWidget(right);
    LogMemo->setToolTip(QStringLiteral("Log"));
    LogMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    right->setStretchFactor(0, 0);
    right->setStretchFactor(1, 3);
    right->setStretchFactor(2, 2);

    outer->setStretchFactor(0, 0);
    outer->setStretchFactor(1, 1);
    setCentralWidget(outer);

    StatusBar1 = statusBar();
    StatusPanel = new QLabel(StatusBar1);
    StatusBar1->addWidget(StatusPanel, 1);
    resize(900, 560);
}

void TForm1::createPopups() {
    // Disabled commands say why in their tooltips.
    ServerMenu->setToolTipsVisible(true);
    OptionsMenu->setToolTipsVisible(true);
    PopupLog = new QMenu(this);
    PopupLog->setToolTipsVisible(true);
    PopupLog->addAction(SaveLog);
    PopupLog->addAction(ClearLog);
    connect(LogMemo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupLog->popup(LogMemo->viewport()->mapToGlobal(pos)); });

    PopupAll = new QMenu(this);
    PopupAll->setToolTipsVisible(true);
    Kick1 = PopupAll->addAction(QStringLiteral("Kick"), this, &TForm1::Kick1Click);
    SendMessage1 =
        PopupAll->addAction(QStringLiteral("Send Message"), this, &TForm1::SendMessage1Click);
    PopupAll->addSeparator();
    Join1 = PopupAll->addMenu(QStringLiteral("Join ->"));
    connect(PopupAll, &QMenu::aboutToShow, this, &TForm1::PopupAllPopup);
    connect(Join1, &QMenu::triggered, this, &TForm1::JoinItemClick);

    PopupLobby = new QMenu(this);
    PopupLobby->setToolTipsVisible(true);
    Remove1 = PopupLobby->addAction(QStringLiteral("Remove"), this, &TForm1::Remove1Click);
    LobbyMessage1 =
        PopupLobby->addAction(QStringLiteral("Lobby Message"), this, &TForm1::LobbyMessage1Click);
    Partallusers1 =
        PopupLobby->addAction(QStringLiteral("Part all users"), this, &TForm1::Partallusers1Click);
    PopupLobby->addSeparator();
    PopupLobby->addAction(SystemMessage);  // SystemMessage1
    connect(PopupLobby, &QMenu::aboutToShow, this, &TForm1::PopupLobbyPopup);
    connect(LobbyList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupLobby->popup(LobbyList->viewport()->mapToGlobal(pos));
    });

    PopupUser = new QMenu(this);
    PopupUser->setToolTipsVisible(true);
    Part1 = PopupUser->addAction(QStringLiteral("Part"), this, &TForm1::Part1Click);
    connect(PopupUser, &QMenu::aboutToShow, this, &TForm1::PopupUserPopup);
    connect(UserList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupUser->popup(UserList->viewport()->mapToGlobal(pos));
    });
}

void TForm1::createServer(int port) {
    server_ = std::make_unique<TNetIRCServer>(std::chrono::milliseconds(0));
    server_->SetDefaultPort(port);
    server_->Bindings().Add();  // every local IPv4 address, on the default port
    // Every local IPv6 address beside it; a host without IPv6 starts without this one.
    TNetSocketHandle& ipv6 = server_->Bindings().Add();
    ipv6.SetIP("::");
    ipv6.SetOptional(true);
    server_->Host = "localhost";
    server_->FormatTimestamp = [] { return TimestampText(); };
    auto* sweep = new QTimer(this);
    sweep->setInterval(SweepIntervalMs);
    connect(sweep, &QTimer::timeout, this, [this] { server_->SweepConnections(); });
    sweep->start();
}

void TForm1::createReportFile() {
    remoteAdmin_ = std::make_unique<TRemoteAdmin>(*this);
    try {
        remoteAdmin_->Report().EnsureExists();
    } catch (const std::exception& error) {
        // A report that cannot be filed later is answered with the server error line.
        AddLog(std::string("Error creating report file: ") + error.what());
    }
}

void TForm1::hookServerEvents() {
    TNetIRCServer& s = *server_;
    s.OnUserEnter = [this](TNetPeerThread& t, const std::string& nick, bool& allow) {
        ServerUserEnter(t, nick, allow);
    };
    s.OnUserJoin = [this](TNetPeerThread& t, TLobby& l, const std::string& nick, bool& allow,
                          std::string& msg) { ServerUserJoin(t, l, nick, allow, msg); };
    s.OnUserPart = [this](TNetPeerThread& t, TLobby& l, const std::string& nick, std::string& msg) {
        ServerUserPart(t, l, nick, msg);
    };
    s.OnUserQuit = [this](TNetPeerThread& t, const std::string& nick) { ServerUserQuit(t, nick); };
    s.OnAddLobby = [this](TLobbySender sender, TLobby& l, bool& allow) {
        ServerAddLobby(sender, l, allow);
    };
    s.OnRemoveLobby = [this](TLobbySender sender, TLobby& l, bool& allow) {
        ServerRemoveLobby(sender, l, allow);
    };
    s.OnChat = [this](TNetPeerThread& sender, TLobby* l, std::string& msg, bool& allow) {
        ServerChat(sender, l, msg, allow);
    };
    s.OnCommandUsers = [this](TNetPeerThread& t, const std::string& parm) {
        ServerCommandUsers(t, parm);
    };
    s.OnCommandOther = [this](TNetPeerThread& t, const std::string& command,
                              const std::string& parm) { ServerCommandOther(t, command, parm); };
    // A sender whose reports or log lines took the disk writer past its bound waits here
    // for the disk, holding no lock, until it catches up or the connection closes.
    s.AfterCommand = [this](TNetPeerThread& t) {
        diskWriter_.WaitIfBehind([&t] { return t.Connection().IsConnected(); });
    };
}

// The address players are asked to write to; the report lobby is the other way.
static const char* const OperatorContact = "hostmaster@quarn-lobby.example";

void TForm1::fillWelcomeText() {
    server_->MOTD = {
        "Welcome to Marrik's IRC chat server for Quarn",
        "You can create your own public lobbys. Just type in: /join Lobby_Name",
        "To create a private lobby, type in: /private Lobby_Name",
        "Have fun!",
        "",
        std::string("Please report bugs to: ") + OperatorContact +
            ", or use the Report_Problems lobby...",
        "",
    };
}

void TForm1::writeGridHeader() {
    UserGrid->SetHeaderLabels(
        {QStringLiteral("Nick"), QStringLiteral("IP"), QStringLiteral("Time")});
}

void TForm1::createReportLobby() {
    TLobbyList& store = server_->LobbyStore();
    std::lock_guard lobbyLock(store.Lock());
    const int index = store.AddLobby(consoleSender(), "#Report_Problems",
                                     "Messages in here will be posted to Hostmaster", false, false);
    model_.SetReportLobby(store.GetLobby(index));
}

// The admin endpoint, after the server has started: it listens only while operators.ini
// has an account, and logs its certificate's fingerprint each time it opens.
void TForm1::createAdminEndpoint(const std::optional<std::string>& listen) {
    TAdminEndpoint::TConfig config;
    config.ProgramDir = programDir_;
    config.ServerName = "quarn-lobby-server";
    config.Log = [this](const std::string& text) { AddLog(text); };
    config.Listen = "127.0.0.1:6668";
    if (listen) {
        config.Listen = *listen;
    } else {
        try {
            config.Listen = settings_.Load().ReadString("Admin", "Listen", config.Listen);
        } catch (const std::exception& error) {
            AddLog(std::string("Error reading admin settings: ") + error.what());
        }
    }
    adminEndpoint_ = std::make_unique<TAdminEndpoint>(*shown_, std::move(config));
}

void TForm1::applyOptions() {
    const TShownOptions options = model_.Options();
    server_->LobbyStore().AllowCreate = options.AllowCreate;
    server_->LobbyStore().RouteChat = options.RouteChat;
    server_->FloodRate = options.FloodRate;
    server_->FloodBurst = options.FloodBurst;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (AllUserList && watched == AllUserList->viewport() &&
        event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (AllUserListMouseDown(mouse->button(), mouse->buttons(), mouse->modifiers(),
                                 mouse->position().toPoint()))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::Exit1Click() {
    assertUiThread();
    close();
}

void TForm1::About1Click() {
    assertUiThread();
    Dialogs.ShowAbout();
}

void TForm1::deliverShownEvents() {
    shown_->DeliverEvents();
}
