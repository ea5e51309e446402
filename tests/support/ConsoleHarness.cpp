#include "ConsoleHarness.h"

#include <QTcpServer>

#include "support/WaitUntil.h"

ConsoleTestClasses& RegisteredConsoleTests() {
    static ConsoleTestClasses classes;
    return classes;
}

std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".log") files.push_back(entry.path().string());
    return files;
}

QPoint CellCentre(QTableView* grid, int row, int column) {
    return grid->visualRect(grid->model()->index(row, column)).center();
}

void BothWindows() {
    QTest::addColumn<bool>("remote");
    QTest::newRow("local") << false;
    QTest::newRow("remote") << true;
}

TConsoleDialogs ConsoleHarness::Dialogs() {
    TConsoleDialogs dialogs;
    dialogs.Ask = [this](const QString& q, QMessageBox::StandardButtons) {
        questions << q;
        return answer;
    };
    dialogs.PromptText = [this](const QString& title) {
        titles << title;
        return prompt(title);
    };
    dialogs.ShowMessage = [this](const QString& text) { messages << text; };
    dialogs.NotifyOperator = [this](const QString& text) { notes << text; };
    dialogs.ShowAbout = [this] { ++abouts; };
    return dialogs;
}

void ConsoleHarness::Start(std::string programDir) {
    TForm1Config config;
    config.ProgramDir = programDir.empty() ? Dir() : programDir;
    config.Port = 0;
    config.Dialogs = Dialogs();
    config.Disk = disk;
    config.AdminListen = adminListen;
    form = std::make_unique<TForm1>(std::move(config));
}

void ConsoleHarness::AddAccount(const std::string& name, const std::string& password,
                                TOperatorRole role) {
    TOperatorAccounts::InDir(Dir()).SetPassword(name, password, role);
}

std::unique_ptr<AdminTestClient> ConsoleHarness::Admin(const QString& user, const QString& password,
                                                       const QString& source) {
    auto client = std::make_unique<AdminTestClient>();
    if (!client->Connect(AdminPort(), source)) return nullptr;
    if (!client->Login(user, password).value(QStringLiteral("ok")).toBool()) return nullptr;
    return client;
}

TestClient ConsoleHarness::User(const std::string& nick) {
    TestClient client(Port());
    if (!client.Register(nick)) qWarning("registration of %s failed", nick.c_str());
    return client;
}

bool ConsoleHarness::LogHas(const std::string& text) {
    const QString ending = QStringLiteral(": ") + QString::fromStdString(text);
    if (console) {
        console->FlushViews();
        for (int i = 0; i < console->LogMemo->count(); ++i)
            if (console->LogMemo->item(i)->text().endsWith(ending)) return true;
        return false;
    }
    for (const std::string& line : form->LogLines())
        if (line.ends_with(": " + text)) return true;
    return false;
}

bool ConsoleHarness::Receives(TestClient& client, const std::string& text) {
    bool seen = false;
    return Eventually([&] {
        client.Pump();
        while (const std::optional<std::string> line = client.NextLine())
            seen = seen || line->find(text) != std::string::npos;
        return seen;
    });
}

void ConsoleHarness::FixAdminPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    adminListen = "127.0.0.1:" + std::to_string(probe.serverPort());
}

namespace {

// A remote window of the account on the harness's server, its certificate pinned: the
// connection and the window, or nulls when it does not connect.
bool OpenConsole(ConsoleHarness& h, const std::string& user, bool viewer, const std::string& dir,
                 std::unique_ptr<TRemoteShownServer>& remote, std::unique_ptr<TForm1>& window) {
    TAdminClientOptions options;
    options.Port = h.AdminPort();
    options.User = QString::fromStdString(user);
    options.Password = QStringLiteral("console secret");
    options.Fingerprint = QString::fromStdString(h.form->AdminEndpoint().Fingerprint());
    options.KnownServersPath = QString::fromStdString(h.Path("known_servers"));
    remote = std::make_unique<TRemoteShownServer>(options);
    std::optional<QString> failure;
    remote->Connect([&](const QString& error) { failure = error; });
    if (!h.Eventually([&] { return failure.has_value(); }) || !failure->isEmpty()) {
        if (failure) qWarning("attach: %s", qPrintable(*failure));
        return false;
    }
    TForm1Config config;
    config.ProgramDir = h.Path(dir);
    std::filesystem::create_directory(config.ProgramDir);
    config.Dialogs = h.Dialogs();
    config.Remote = remote.get();
    config.ReadOnly = viewer;
    config.RemoteTitle = user + "@" + remote->ServerName().toStdString();
    window = std::make_unique<TForm1>(std::move(config));
    // The endpoint and the attached windows work on this thread: a player waiting for the
    // outcome of a command lets them run.
    TestClient::WhileWaiting = [] { QCoreApplication::processEvents(); };
    // The snapshot has come when the server's own report lobby is listed.
    return h.Eventually([&] {
        h.form->FlushViews();
        window->FlushViews();
        return h.form->LobbyList->count() > 0 &&
               window->LobbyList->RowTexts() == h.form->LobbyList->RowTexts();
    });
}

}  // namespace

bool ConsoleHarness::Attach(TOperatorRole role) {
    const bool viewer = role == TOperatorRole::Viewer;
    const std::string user = viewer ? "watcher" : "op";
    AddAccount(user, "console secret", role);
    form->AdminEndpoint().Refresh();
    if (!form->AdminEndpoint().IsListening()) return false;
    return OpenConsole(*this, user, viewer, "console", remote, console);
}

bool ConsoleHarness::AttachAnother() {
    return OpenConsole(*this, "op", false, "other", otherRemote, other);
}

void ConsoleHarness::Detach() {
    other.reset();
    otherRemote.reset();
    console.reset();
    remote.reset();
    TestClient::WhileWaiting = nullptr;
}

QStringList ConsoleHarness::LobbyRows() {
    TForm1& window = Window();
    window.FlushViews();
    return window.LobbyList->RowTexts();
}

QStringList ConsoleHarness::GridNicks() {
    TForm1& window = Window();
    window.FlushViews();
    QStringList nicks;
    const QAbstractItemModel* grid = window.AllUserList->model();
    for (int r = 0; r < grid->rowCount(); ++r) nicks << grid->index(r, 0).data().toString();
    return nicks;
}

QString ConsoleHarness::GridCell(int row, int column) {
    TForm1& window = Window();
    window.FlushViews();
    return window.AllUserList->model()->index(row, column).data().toString();
}

int ConsoleHarness::GridRows() {
    TForm1& window = Window();
    window.FlushViews();
    return window.AllUserList->model()->rowCount();
}

bool ConsoleHarness::SelectLobby(const QString& name) {
    TForm1& window = Window();
    window.FlushViews();
    for (int i = 0; i < window.LobbyList->count(); ++i) {
        const QString text = window.LobbyList->RowText(i);
        if (text.startsWith(name + QLatin1Char('\t')) || text.startsWith(name + QLatin1Char(' '))) {
            window.LobbyList->setCurrentRow(i);
            window.LobbyListClick();
            return true;
        }
    }
    return false;
}

bool ConsoleHarness::Join(TestClient& client, const std::string& nick, const std::string& lobby) {
    const std::string stored = lobby.starts_with('#') ? lobby : "#" + lobby;
    return client.SendLine("JOIN " + lobby) &&
           client.WaitFor(":localhost 366 " + nick + " " + stored + " :End of /NAMES list.");
}

bool ConsoleHarness::Eventually(const std::function<bool()>& condition,
                                std::chrono::milliseconds limit) {
    return WaitUntil(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        limit);
}
