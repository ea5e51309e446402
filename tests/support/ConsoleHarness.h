// The console test harness: one TForm1 on a temporary folder with the server on a port the
// system chooses, its dialogs answered and recorded, loopback users, and readers of the
// views and files; and, when attached, a second TForm1 showing that server over the admin
// endpoint, as quarn-console does, which the readers then read. Used by the console's
// window tests on the UI (test) thread.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/AdminEndpoint.h"
#include "console/OperatorAccounts.h"
#include "console/RemoteShownServer.h"
#include "console/Unit1.h"
#include "support/AdminTestClient.h"
#include "support/TestClient.h"
#include "support/TestFiles.h"
#include "widgets/Tablist.h"

using namespace std::chrono_literals;

// The ".log" files of the folder.
std::vector<std::string> LogFiles(const std::string& dir);
// The centre of a grid cell, in viewport coordinates.
QPoint CellCentre(QTableView* grid, int row, int column);

// The window tests are one program (tests/console/console_tests_main.cpp) that runs the
// test class named on its command line, or all of them: each class registers itself.
using ConsoleTestClasses = std::map<std::string, std::function<std::unique_ptr<QObject>()>>;
ConsoleTestClasses& RegisteredConsoleTests();
#define QUARN_CONSOLE_TEST(Class)                                                                \
    static const bool Class##Registered =                                                        \
        RegisteredConsoleTests()                                                                 \
            .emplace(#Class, [] { return std::unique_ptr<QObject>(std::make_unique<Class>()); }) \
            .second

// The data of a test that runs against both sides of the shown server: the window of this
// program ("local") and quarn-console's window attached to it over the admin endpoint
// ("remote"), through one harness. Such a test QFETCHes `remote` and calls
// ConsoleHarness::AttachIf.
void BothWindows();

class ConsoleHarness {
  public:
    QTemporaryDir dir;
    QStringList messages;   // ShowMessage
    QStringList questions;  // Ask
    QStringList titles;     // PromptText
    QStringList notes;      // NotifyOperator
    int abouts = 0;         // ShowAbout
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<std::optional<QString>(const QString&)> prompt = [](const QString&) {
        return std::optional<QString>();
    };
    TDiskWriter::TOptions disk;  // the window's disk writer: its bound, a slow disk
    std::unique_ptr<TForm1> form;
    // quarn-console's window attached to form's server over the admin endpoint, and its
    // connection (Attach); destroyed before form.
    std::unique_ptr<TRemoteShownServer> remote;
    std::unique_ptr<TForm1> console;
    // A second remote window on a connection of its own (AttachAnother), as another
    // operator's would be; destroyed before console.
    std::unique_ptr<TRemoteShownServer> otherRemote;
    std::unique_ptr<TForm1> other;
    // The admin endpoint's address; it listens only once an account exists.
    std::string adminListen = "127.0.0.1:0";

    // Players' waits run the thread's events once a window is attached.
    ~ConsoleHarness() { TestClient::WhileWaiting = nullptr; }

    std::string Dir() const { return dir.path().toStdString() + "/"; }
    std::string Path(const std::string& name) const { return Dir() + name; }

    // Makes the window on the temporary folder (or programDir) with recorded dialogs.
    void Start(std::string programDir = {});
    // The dialogs that record into this harness.
    TConsoleDialogs Dialogs();

    int Port() const { return form->ServerPort(); }
    // A loopback client registered under the nick.
    TestClient User(const std::string& nick);
    TLobbyList& Store() { return form->Server().LobbyStore(); }

    // An account in the folder's operators.ini (before Start, or within 5 s of the check).
    void AddAccount(const std::string& name, const std::string& password,
                    TOperatorRole role = TOperatorRole::Operator);
    quint16 AdminPort() { return form->AdminEndpoint().Port(); }
    // An admin client connected from source and logged in (nullptr when either failed).
    std::unique_ptr<AdminTestClient> Admin(const QString& user, const QString& password,
                                           const QString& source = QStringLiteral("127.0.0.1"));

    // Attaches a remote window (console) to the server with an account of the role, its
    // certificate pinned; false when it does not connect or show the snapshot.
    bool Attach(TOperatorRole role = TOperatorRole::Operator);
    // Attach when the test's row is the remote one (BothWindows); true otherwise.
    bool AttachIf(bool remoteRow) { return !remoteRow || Attach(); }
    // A second remote window (other) of Attach's operator account, after Attach.
    bool AttachAnother();
    // Closes the remote windows and their connections (before form goes).
    void Detach();
    // The window the readers below read: the remote one once attached, else form.
    TForm1& Window() { return console ? *console : *form; }
    // A fixed admin address on a free port, so that a restarted server is found again.
    void FixAdminPort();

    // Whether the client receives a line containing text, running posted events meanwhile
    // (the admin endpoint and its clients work on this thread).
    bool Receives(TestClient& client, const std::string& text);

    // Whether a log line (of the window read) ends in ": " + text.
    bool LogHas(const std::string& text);
    QStringList LobbyRows();
    QStringList GridNicks();
    QString GridCell(int row, int column);  // after FlushViews
    int GridRows();
    // Selects the lobby row whose text starts with name followed by a TAB or a blank.
    bool SelectLobby(const QString& name);
    // JOIN as a client types it; the core puts "#" in front of a name that lacks it.
    bool Join(TestClient& client, const std::string& nick, const std::string& lobby);
    // Waits for a condition that connection threads bring about, running posted events.
    bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s);
};
