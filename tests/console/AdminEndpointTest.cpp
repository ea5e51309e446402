// The admin endpoint (console/AdminEndpoint.cpp, AdminSession.cpp) of the window, against
// the real chat server through the console test harness: TLS admin clients, loopback
// players, and the accounts in the harness's folder.
#include <QJsonArray>

#include <sys/stat.h>

#include "support/ConsoleHarness.h"

namespace {

const QString Right = QStringLiteral("correct horse");

QString Error(const QJsonObject& reply) {
    return reply.value("ok").toBool() ? QStringLiteral("<ok>") : reply.value("error").toString();
}

unsigned Mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

bool HasUser(const QJsonArray& users, const QJsonValue& nick) {
    for (const QJsonValue& user : users)
        if (user.toObject().value("nick") == nick) return true;
    return false;
}

}  // namespace

class AdminEndpointTest : public QObject {
    Q_OBJECT

  private slots:
    void opensOnlyWithAnAccountAndPinsItsCertificate();
    void loginRefusedThenLockedOutPerAddress();
    void viewerMayReadButNotChange();
    void plainTextConnectionIsClosedUnanswered();
    void kickReachesThePlayerAndIsLogged();
    void malformedLinesAreAnsweredAndTheConnectionStays();
    void eventsFollowTheSnapshotInOrder();
    void bytesTravelAsBase64WhenNotUtf8();
    void codeWordsOffWithAdminCodesZero();
};

void AdminEndpointTest::opensOnlyWithAnAccountAndPinsItsCertificate() {
    // Without an account nothing listens; the first account opens the endpoint with a
    // certificate made then (mode 0640), whose fingerprint is logged and shown to clients.
    ConsoleHarness h;
    h.Start();
    QVERIFY(!h.form->AdminEndpoint().IsListening());
    QVERIFY(h.LogHas("Admin endpoint off: no account in operators.ini"));
    QVERIFY(!std::filesystem::exists(h.Path("admin-key.pem")));

    h.AddAccount("alice", Right.toStdString());
    QCOMPARE(Mode(h.Path("operators.ini")), 0640u);
    const std::string file = ReadFile(h.Path("operators.ini"));
    QVERIFY(file.find("$y$") != std::string::npos);
    QVERIFY(file.find(Right.toStdString()) == std::string::npos);
    h.form->AdminEndpoint().Refresh();
    QVERIFY(h.form->AdminEndpoint().IsListening());
    QCOMPARE(Mode(h.Path("admin-key.pem")), 0640u);
    QCOMPARE(Mode(h.Path("admin-cert.pem")), 0640u);
    const std::string fingerprint = h.form->AdminEndpoint().Fingerprint();
    QCOMPARE(fingerprint.size(), 32u * 3 - 1);
    QVERIFY(h.LogHas("Admin endpoint on 127.0.0.1:" + std::to_string(h.AdminPort()) +
                     ", certificate SHA-256 " + fingerprint));

    AdminTestClient client;
    QVERIFY(client.Connect(h.AdminPort()));
    QCOMPARE(client.PeerFingerprint(), fingerprint);
    QVERIFY(client.Socket.sessionProtocol() >= QSsl::TlsV1_2);

    // Without accounts again, the endpoint closes, its connections too.
    QVERIFY(TOperatorAccounts::InDir(h.Dir()).Remove("alice"));
    h.form->AdminEndpoint().Refresh();
    QVERIFY(!h.form->AdminEndpoint().IsListening());
    QVERIFY(client.WaitClosed());
    h.AddAccount("alice", Right.toStdString());

    // The next start keeps the certificate: clients that pinned it still trust it.
    h.form.reset();
    h.Start();
    QCOMPARE(h.form->AdminEndpoint().Fingerprint(), fingerprint);
}

void AdminEndpointTest::loginRefusedThenLockedOutPerAddress() {
    // Commands wait for the login; wrong passwords and unknown names get "refused" alone;
    // the third failure locks the address out, the right password included, and is logged
    // once; another address still logs in.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    AdminTestClient client;
    QVERIFY(client.Connect(h.AdminPort()));
    QCOMPARE(Error(client.Request({{"cmd", "users"}})), QStringLiteral("login first"));
    QCOMPARE(Error(client.Login("alice", "wrong")), QStringLiteral("refused"));
    QCOMPARE(Error(client.Login("mallory", Right)), QStringLiteral("refused"));
    QVERIFY(!h.LogHas("Admin login refused for 127.0.0.1"));
    QCOMPARE(Error(client.Login("alice", "")), QStringLiteral("refused"));
    QVERIFY(h.LogHas("Admin login refused for 127.0.0.1"));
    QCOMPARE(Error(client.Login("alice", Right)), QStringLiteral("refused"));
    for (const std::string& line : h.form->LogLines())
        QVERIFY2(line.find("correct") == std::string::npos, line.c_str());

    // A request sent right behind the login waits for it and is answered after it.
    AdminTestClient other;
    QVERIFY(other.Connect(h.AdminPort(), QStringLiteral("127.0.0.2")));
    other.Socket.write(R"({"id":1,"cmd":"login","user":"alice","password":"correct horse"})"
                       "\n"
                       R"({"id":2,"cmd":"status"})"
                       "\n");
    const QJsonObject reply = other.Reply();
    QCOMPARE(reply.value("id").toInt(), 1);
    QCOMPARE(reply.value("result").toObject().value("role").toString(), QStringLiteral("operator"));
    const QJsonObject status = other.Reply();
    QCOMPARE(status.value("id").toInt(), 2);
    QVERIFY(status.value("ok").toBool());
    QVERIFY(h.LogHas("Admin alice@127.0.0.2: logged in as operator"));
}

void AdminEndpointTest::viewerMayReadButNotChange() {
    // A viewer reads users and lobbies but every changing command is "not allowed" and
    // leaves the player alone.
    ConsoleHarness h;
    h.AddAccount("vera", Right.toStdString(), TOperatorRole::Viewer);
    h.Start();
    TestClient bob = h.User("Bob");
    auto viewer = h.Admin("vera", Right);
    QVERIFY(viewer);
    const QJsonObject users = viewer->Request({{"cmd", "users"}});
    QVERIFY(HasUser(users.value("result").toArray(), "Bob"));
    QCOMPARE(Error(viewer->Request({{"cmd", "kick"}, {"nick", "Bob"}})),
             QStringLiteral("not allowed"));
    QCOMPARE(Error(viewer->Request({{"cmd", "stop"}})), QStringLiteral("not allowed"));
    QVERIFY(bob.Silent());
    QVERIFY(h.form->Server().Active());
}

void AdminEndpointTest::plainTextConnectionIsClosedUnanswered() {
    // A client that speaks JSON without TLS gets no line back and is disconnected.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    TestClient plain(h.AdminPort());
    QVERIFY(plain.IsOpen());
    QVERIFY(plain.SendLine(R"({"id":1,"cmd":"login","user":"alice","password":"x"})"));
    QVERIFY(RunUntil([&] { return !plain.Pump(); }, 8s));
    QVERIFY(!plain.NextLine());
    // At most a TLS alert record (7 bytes), never protocol text.
    QVERIFY(plain.BytesReceived() <= 7);
}

void AdminEndpointTest::kickReachesThePlayerAndIsLogged() {
    // kick quits the player with the window's text, answers ok, and is logged with the
    // account and address; an unknown nick is an error.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    TestClient bob = h.User("Bob");
    auto admin = h.Admin("alice", Right);
    QVERIFY(admin);
    QVERIFY(admin->Request({{"cmd", "kick"}, {"nick", "bob"}}).value("ok").toBool());
    QVERIFY(bob.WaitFor("***Kicked by server !"));
    QVERIFY(bob.WaitClosed());
    QVERIFY(h.LogHas("Admin alice@127.0.0.1: kick bob"));
    QVERIFY(h.Eventually([&] { return h.LogHas("User Bob@127.0.0.1 quit"); }));
    QCOMPARE(Error(admin->Request({{"cmd", "kick"}, {"nick", "Bob"}})),
             QStringLiteral("no such user"));
}

void AdminEndpointTest::malformedLinesAreAnsweredAndTheConnectionStays() {
    // Broken lines and arguments get an error object (id null when none could be read) and
    // the session goes on; only a line beyond 64 KiB ends it.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    auto admin = h.Admin("alice", Right);
    QVERIFY(admin);
    QJsonObject reply = admin->RawRequest("this is not json");
    QVERIFY(reply.contains("id") && reply.value("id").isNull());
    QCOMPARE(Error(reply), QStringLiteral("malformed request: not a JSON object"));
    reply = admin->RawRequest(R"({"id": 41})");
    QCOMPARE(reply.value("id").toInt(), 41);
    QCOMPARE(Error(reply), QStringLiteral("malformed request: no cmd"));
    QCOMPARE(Error(admin->Request({{"cmd", "frobnicate"}})),
             QStringLiteral("unknown command: frobnicate"));
    QCOMPARE(Error(admin->Request({{"cmd", "kick"}})), QStringLiteral("missing argument: nick"));
    QCOMPARE(Error(admin->Request({{"cmd", "members"}, {"lobby", true}})),
             QStringLiteral("missing argument: lobby"));
    QVERIFY(admin->Request({{"cmd", "status"}}).value("ok").toBool());
    // The options: a flood limit that is no whole number in range, or a flag that is no
    // flag, changes nothing; an option not given keeps its value.
    const QString limits = QStringLiteral("The flood limits are whole numbers from 0 to 1000000.");
    for (const QJsonValue& bad :
         {QJsonValue(2.5), QJsonValue(-1), QJsonValue(1e300), QJsonValue("3")})
        QCOMPARE(Error(admin->Request({{"cmd", "options"}, {"flood_rate", bad}})), limits);
    QCOMPARE(Error(admin->Request({{"cmd", "options"}, {"route_chat", 1}})),
             QStringLiteral("missing argument: route_chat"));
    QCOMPARE(h.form->Server().FloodRate.load(), TNetIRCServer::DefaultFloodRate);
    QVERIFY(admin->Request({{"cmd", "options"}, {"flood_rate", 7}, {"route_chat", true}})
                .value("ok")
                .toBool());
    const QJsonObject options =
        admin->Request({{"cmd", "options"}, {"allow_create", false}}).value("result").toObject();
    QCOMPARE(options, (QJsonObject{{"auto_save", false},
                                   {"allow_create", false},
                                   {"route_chat", true},
                                   {"flood_rate", 7},
                                   {"flood_burst", TNetIRCServer::DefaultFloodBurst}}));
    QCOMPARE(h.form->Server().FloodRate.load(), 7);
    QVERIFY(h.Store().RouteChat && !h.Store().AllowCreate);

    admin->Socket.write(QByteArray(TAdminEndpoint::MaxLineBytes + 10, 'x'));
    QVERIFY(admin->WaitClosed());
}

void AdminEndpointTest::eventsFollowTheSnapshotInOrder() {
    // The snapshot shows the state; then a player's entry, join and an added lobby arrive
    // as events in the order applied, with the ids the snapshot and the reply gave.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    TestClient ann = h.User("Ann");
    auto admin = h.Admin("alice", Right);
    QVERIFY(admin);
    const QJsonObject snapshot = admin->Request({{"cmd", "subscribe"}}).value("result").toObject();
    QVERIFY(HasUser(snapshot.value("users").toArray(), "Ann"));
    QVERIFY(snapshot.value("running").toBool());
    const QJsonObject report = snapshot.value("lobbies").toArray().at(0).toObject();
    QCOMPARE(report.value("name").toString(), QStringLiteral("#Report_Problems"));

    TestClient bob = h.User("Bob");
    QVERIFY(h.Join(bob, "Bob", "#Report_Problems"));
    const auto enter =
        admin->WaitEvent([](const QJsonObject& e) { return e.value("event") != "log"; });
    QVERIFY(enter);
    QCOMPARE(enter->value("event").toString(), QStringLiteral("user_enter"));
    QCOMPARE(enter->value("nick").toString(), QStringLiteral("Bob"));
    const auto join =
        admin->WaitEvent([](const QJsonObject& e) { return e.value("event") != "log"; });
    QVERIFY(join);
    QCOMPARE(join->value("event").toString(), QStringLiteral("join"));
    QCOMPARE(join->value("id"), report.value("id"));
    QCOMPARE(join->value("nick").toString(), QStringLiteral("Bob"));

    const QJsonObject added =
        admin->Request({{"cmd", "add_lobby"}, {"name", "Games"}, {"description", "Play"}})
            .value("result")
            .toObject();
    QCOMPARE(added.value("name").toString(), QStringLiteral("#Games"));
    const auto listed =
        admin->WaitEvent([](const QJsonObject& e) { return e.value("event") == "lobby_add"; });
    QVERIFY(listed);
    QCOMPARE(listed->value("lobby").toObject().value("id"), added.value("id"));
    QVERIFY(added.value("id") != report.value("id"));
    QCOMPARE(
        Error(admin->Request({{"cmd", "add_lobby"}, {"name", "#Games"}, {"description", "x"}})),
        QStringLiteral("Could not add lobby! Already exists?"));
    const QJsonObject members = admin->Request({{"cmd", "members"}, {"lobby", report.value("id")}});
    QCOMPARE(members.value("result").toArray(), QJsonArray{"Bob"});
}

void AdminEndpointTest::bytesTravelAsBase64WhenNotUtf8() {
    // A nick that is not UTF-8 is shown as base64 and can be named that way.
    ConsoleHarness h;
    h.AddAccount("alice", Right.toStdString());
    h.Start();
    const std::string nick =
        "B\xF6"
        "b";
    TestClient player = h.User(nick);
    auto admin = h.Admin("alice", Right);
    QVERIFY(admin);
    const QJsonObject encoded{
        {"base64", QString::fromLatin1(QByteArray::fromStdString(nick).toBase64())}};
    const QJsonArray users = admin->Request({{"cmd", "users"}}).value("result").toArray();
    QVERIFY(HasUser(users, encoded));
    QVERIFY(admin->Request({{"cmd", "message"}, {"nick", encoded}, {"text", "hi"}})
                .value("ok")
                .toBool());
    QVERIFY(player.WaitFor("***Private message from server: hi"));
}

void AdminEndpointTest::codeWordsOffWithAdminCodesZero() {
    // With AdminCodes=0 a code word is an unknown word: no reply, no action.
    for (const bool off : {false, true}) {
        ConsoleHarness h;
        if (off) WriteFile(h.Path("kelbox.ini"), "[Options]\r\nAdminCodes=0\r\n");
        h.Start();
        TestClient user = h.User("Carl");
        QVERIFY(user.SendLine("4102!8317"));
        if (off)
            QVERIFY(user.Silent(300ms));
        else
            QVERIFY(user.WaitFor("***Begin Report"));
    }
}

QUARN_CONSOLE_TEST(AdminEndpointTest);
#include "AdminEndpointTest.moc"
