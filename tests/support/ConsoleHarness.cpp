#include "ConsoleHarness.h"

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

bool ConsoleHarness::LogHas(const std::string& text) const {
    for (const std::string& line : form->LogLines())
        if (line.ends_with(": " + text)) return true;
    return false;
}

QStringList ConsoleHarness::LobbyRows() {
    form->FlushViews();
    return form->LobbyList->RowTexts();
}

QStringList ConsoleHarness::GridNicks() {
    form->FlushViews();
    QStringList nicks;
    const QAbstractItemModel* grid = form->AllUserList->model();
    for (int r = 0; r < grid->rowCount(); ++r) nicks << grid->index(r, 0).data().toString();
    return nicks;
}

QString ConsoleHarness::GridCell(int row, int column) {
    form->FlushViews();
    return form->AllUserList->model()->index(row, column).data().toString();
}

int ConsoleHarness::GridRows() {
    form->FlushViews();
    return form->AllUserList->model()->rowCount();
}

bool ConsoleHarness::SelectLobby(const QString& name) {
    form->FlushViews();
    for (int i = 0; i < form->LobbyList->count(); ++i) {
        const QString text = form->LobbyList->RowText(i);
        if (text.startsWith(name + QLatin1Char('\t')) || text.startsWith(name + QLatin1Char(' '))) {
            form->LobbyList->setCurrentRow(i);
            form->LobbyListClick();
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
