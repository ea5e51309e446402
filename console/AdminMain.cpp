// quarn-admin: the operator's command-line client of the admin endpoint, and the tool that
// adds operator accounts. Thin: the endpoint client (TAdminClient) does the talking; this
// file reads the command line, runs one command, prints its result and exits 0, or prints
// one line on standard error and exits non-zero (1: the command failed, 2: wrong usage).
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AdminClient.h"
#include "AdminJson.h"
#include "OperatorAccounts.h"
#include "PasswordInput.h"
#include "ServerAddress.h"

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr const char* DefaultProgramDir = "/opt/quarn-lobby-server";

const char* const HelpText = R"(Usage:
  quarn-admin passwd NAME [--role operator|viewer] [--dir DIR]
  quarn-admin [--server HOST[:PORT]] [--user NAME] [--fingerprint SHA256] [--trust]
              COMMAND [ARGUMENT...]

Runs one command on a Quarn lobby server through its admin endpoint (TLS, port 6668 on
127.0.0.1 unless --server says otherwise), or adds an operator account.

Commands:
  status                      the server's state
  users                       the registered users: nick, address, time of entry
  lobbies                     the lobbies: name, members, description
  members LOBBY               the members of a lobby
  log [--follow]              the server's log, oldest line first; --follow goes on
                              printing new lines until interrupted
  kick NICK                   disconnects a user, who is told "***Kicked by server !"
  say TEXT                    a system message to every registered user
  message NICK TEXT           a private message from the server to one user
  add-lobby NAME [DESCRIPTION] [--private]
                              adds a lobby ("#" is put in front of NAME if missing)
  remove-lobby NAME           removes a lobby (its exact name, with its "#")
  save                        saves the lobby list to kelbox.ini
  reports                     the problem reports that players filed
  stop                        stops the chat server (the program goes on running)
  passwd NAME                 adds the account NAME to DIR/operators.ini or changes its
                              password; DIR is /opt/quarn-lobby-server unless --dir says
                              otherwise. The password is read from standard input when it
                              is not a terminal, else asked twice without echo.

Options:
  --server HOST[:PORT]  the endpoint (default 127.0.0.1:6668)
  --user NAME           the account (default: your login name)
  --fingerprint SHA256  accept the server's certificate only with this SHA-256
                        fingerprint (as the server logs it at start)
  --trust               accept the certificate of a server not seen before and remember
                        it; a changed certificate is always refused
  --role ROLE           passwd: operator (everything, the default) or viewer (read only)
  --dir DIR             passwd: the folder of operators.ini
  --help                this text

Environment:
  QUARN_ADMIN_PASSWORD  the account's password; without it quarn-admin asks for it.

Remembered certificates: ~/.config/quarn/known_servers. See quarn-admin(1).
)";

struct TArgs {
    std::map<std::string, std::string> Options;  // --name value
    std::vector<std::string> Flags;              // --trust, --private, --follow
    std::vector<std::string> Words;              // the command and its arguments
    bool Has(const std::string& flag) const {
        return std::find(Flags.begin(), Flags.end(), flag) != Flags.end();
    }
};

// A usage error: one line, exit 2.
struct TUsageError {
    std::string Message;
};

int Fail(const std::string& message, int status = ExitFailed) {
    std::fprintf(stderr, "quarn-admin: %s\n", message.c_str());
    return status;
}

TArgs ParseArgs(int argc, char* argv[]) {
    static const std::vector<std::string> valued = {"--server", "--user", "--fingerprint", "--role",
                                                    "--dir"};
    static const std::vector<std::string> flags = {"--trust", "--private", "--follow", "--help"};
    TArgs args;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            args.Words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") arg = "--help";
        std::string value;
        bool hasValue = false;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.erase(equals);
            hasValue = true;
        }
        if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (!hasValue) {
                if (i + 1 >= argc) throw TUsageError{arg + " needs a value"};
                value = argv[++i];
            }
            args.Options[arg] = value;
        } else if (std::find(flags.begin(), flags.end(), arg) != flags.end() && !hasValue) {
            args.Flags.push_back(arg);
        } else {
            throw TUsageError{"unknown option " + arg + " (see --help)"};
        }
    }
    return args;
}

std::string Option(const TArgs& args, const std::string& name, const std::string& fallback = {}) {
    auto found = args.Options.find(name);
    return found == args.Options.end() ? fallback : found->second;
}

// A byte field of the protocol, in either of its forms.
QByteArray Bytes(const QJsonValue& value) {
    return QByteArray::fromStdString(JsonBytes(value).value_or(std::string()));
}

void WriteBytes(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

QByteArray FieldBytes(const QJsonObject& object, const char* key) {
    return Bytes(object.value(QLatin1String(key)));
}

// A list result may come bare or inside an object under one of these names.
QJsonArray ListOf(const QJsonValue& result, std::initializer_list<const char*> keys) {
    if (result.isArray()) return result.toArray();
    const QJsonObject object = result.toObject();
    for (const char* key : keys) {
        if (object.value(QLatin1String(key)).isArray())
            return object.value(QLatin1String(key)).toArray();
    }
    return {};
}

void PrintLines(const QJsonArray& lines, bool oldestFirst) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        WriteBytes(Bytes(lines.at(oldestFirst ? lines.size() - 1 - i : i)));
    }
}

void PrintValue(const QString& key, const QJsonValue& value) {
    QByteArray text;
    if (value.isBool()) {
        text = value.toBool() ? "yes" : "no";
    } else if (value.isDouble()) {
        text = QByteArray::number(value.toDouble(), 'g', 15);
    } else if (value.isObject() && !value.toObject().contains(QStringLiteral("base64"))) {
        const QJsonObject inner = value.toObject();
        for (auto it = inner.begin(); it != inner.end(); ++it)
            PrintValue(key + QLatin1Char('.') + it.key(), it.value());
        return;
    } else if (value.isArray()) {
        text = QByteArray::number(value.toArray().size());
    } else {
        text = Bytes(value);
    }
    WriteBytes(key.toUtf8() + ": " + text);
}

// What each command prints on success: lists one item a line, tab-separated fields, the
// bytes as the server has them; commands that change something print nothing.
void PrintResult(const std::string& command, const QJsonValue& result) {
    if (command == "users") {
        for (const QJsonValue& user : ListOf(result, {"users"})) {
            const QJsonObject u = user.toObject();
            WriteBytes(FieldBytes(u, "nick") + '\t' + FieldBytes(u, "address") + '\t' +
                       FieldBytes(u, "time"));
        }
    } else if (command == "lobbies") {
        for (const QJsonValue& lobby : ListOf(result, {"lobbies"})) {
            const QJsonObject l = lobby.toObject();
            const QJsonValue members = l.value(QStringLiteral("members"));
            const qsizetype count =
                members.isArray() ? members.toArray().size() : members.toInteger();
            WriteBytes(FieldBytes(l, "name") + '\t' + QByteArray::number(count) + '\t' +
                       FieldBytes(l, "description") +
                       (l.value(QStringLiteral("private")).toBool() ? "\tprivate" : ""));
        }
    } else if (command == "members") {
        PrintLines(ListOf(result, {"members", "nicks"}), false);
    } else if (command == "reports") {
        PrintLines(ListOf(result, {"reports", "lines"}), false);
    } else if (command == "log") {
        PrintLines(ListOf(result, {"log", "lines"}), true);
    } else if (result.isObject()) {
        const QJsonObject object = result.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) PrintValue(it.key(), it.value());
    } else if (result.isString() || result.isArray()) {
        if (result.isArray()) {
            PrintLines(result.toArray(), false);
        } else if (!result.toString().isEmpty()) {
            WriteBytes(Bytes(result));
        }
    }
    std::fflush(stdout);
}

struct TRequest {
    std::string Command;  // the protocol's name
    QJsonObject Arguments;
};

// The command line's command as a protocol request; throws TUsageError.
TRequest RequestFor(const TArgs& args) {
    const std::vector<std::string>& w = args.Words;
    const std::string& command = w.front();
    auto bytes = [](const std::string& text) { return BytesJson(text); };
    auto need = [&](std::size_t min, std::size_t max, const char* usage) {
        if (w.size() - 1 < min || w.size() - 1 > max)
            throw TUsageError{std::string("usage: quarn-admin ") + usage};
    };
    if (command == "status" || command == "users" || command == "lobbies" || command == "reports") {
        need(0, 0, (command).c_str());
        return {command, {}};
    }
    if (command == "log") {
        need(0, 0, "log [--follow]");
        return {args.Has("--follow") ? "subscribe" : "log", {}};
    }
    if (command == "members") {
        need(1, 1, "members LOBBY");
        return {"members", {{QStringLiteral("lobby"), bytes(w[1])}}};
    }
    if (command == "kick") {
        need(1, 1, "kick NICK");
        return {"kick", {{QStringLiteral("nick"), bytes(w[1])}}};
    }
    if (command == "say") {
        need(1, 1, "say TEXT (quote a text with blanks)");
        return {"system", {{QStringLiteral("text"), bytes(w[1])}}};
    }
    if (command == "message") {
        need(2, 2, "message NICK TEXT (quote a text with blanks)");
        return {"message",
                {{QStringLiteral("nick"), bytes(w[1])}, {QStringLiteral("text"), bytes(w[2])}}};
    }
    if (command == "add-lobby") {
        need(1, 2, "add-lobby NAME [DESCRIPTION] [--private]");
        std::string name = w[1];
        if (name.front() != '#') name.insert(0, "#");
        // Like the code word that adds a lobby: without a description, the name is one.
        const std::string description = w.size() > 2 ? w[2] : name;
        return {"add_lobby",
                {{QStringLiteral("name"), bytes(name)},
                 {QStringLiteral("description"), bytes(description)},
                 {QStringLiteral("private"), args.Has("--private")}}};
    }
    if (command == "remove-lobby") {
        need(1, 1, "remove-lobby NAME");
        return {"remove_lobby", {{QStringLiteral("lobby"), bytes(w[1])}}};
    }
    if (command == "save") {
        need(0, 0, "save");
        return {"save_lobbies", {}};
    }
    if (command == "stop") {
        need(0, 0, "stop");
        return {"stop", {}};
    }
    throw TUsageError{"unknown command " + command + " (see --help)"};
}

// The endpoint's address: HOST, HOST:PORT, or [IPv6]:PORT.
void ParseServer(const std::string& text, TAdminClientOptions& options) {
    QString error;
    if (!ParseServerAddress(QString::fromStdString(text), options.Host, options.Port, error))
        throw TUsageError{"--server: " + error.toStdString()};
}

std::optional<std::string> LoginPassword() {
    if (const char* fromEnvironment = std::getenv("QUARN_ADMIN_PASSWORD"))
        return std::string(fromEnvironment);
    return ReadPasswordFromTerminal("Password: ");
}

// SIGINT and SIGTERM end `log --follow` with status 0, through a self-pipe read on the
// event loop.
int StopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(StopPipe[1], &byte, 1);
}

int RunRemote(const TArgs& args) {
    TAdminClientOptions options;
    if (args.Options.count("--role") || args.Options.count("--dir"))
        throw TUsageError{"--role and --dir belong to passwd"};
    const TRequest request = RequestFor(args);
    ParseServer(Option(args, "--server", "127.0.0.1"), options);
    const char* login = std::getenv("USER");
    options.User = QString::fromStdString(Option(args, "--user", login ? login : ""));
    if (options.User.isEmpty()) throw TUsageError{"no account: pass --user NAME"};
    options.Fingerprint = QString::fromStdString(Option(args, "--fingerprint"));
    options.Trust = args.Has("--trust");
    if (args.Has("--private") && args.Words.front() != "add-lobby")
        throw TUsageError{"--private belongs to add-lobby"};
    if (args.Has("--follow") && args.Words.front() != "log")
        throw TUsageError{"--follow belongs to log"};

    const std::optional<std::string> password = LoginPassword();
    if (!password) return Fail("no password: set QUARN_ADMIN_PASSWORD or run from a terminal");
    options.Password = QString::fromStdString(*password);

    int status = ExitFailed;
    const std::string command = args.Words.front();
    const bool follow = request.Command == "subscribe";
    TAdminClient client;
    QObject::connect(&client, &TAdminClient::Failed, [&](const QString& message) {
        status = Fail(message.toStdString());
        QCoreApplication::exit(status);
    });
    QObject::connect(&client, &TAdminClient::Closed, [&](const QString& message) {
        status = Fail(message.toStdString());
        QCoreApplication::exit(status);
    });
    QObject::connect(&client, &TAdminClient::EventReceived, [&](const QJsonObject& event) {
        if (!follow || event.value(QStringLiteral("event")).toString() != QLatin1String("log"))
            return;
        for (const char* key : {"line", "text"}) {
            if (event.contains(QLatin1String(key))) {
                WriteBytes(FieldBytes(event, key));
                std::fflush(stdout);
                return;
            }
        }
    });
    QObject::connect(&client, &TAdminClient::LoggedIn, [&] {
        client.Send(QString::fromStdString(request.Command), request.Arguments,
                    [&](const TAdminReply& reply) {
                        if (!reply.Ok) {
                            status = Fail(command + ": " + reply.Error.toStdString());
                            QCoreApplication::exit(status);
                            return;
                        }
                        PrintResult("log" == command ? "log" : command, reply.Result);
                        status = 0;
                        if (!follow) QCoreApplication::exit(0);
                    });
    });
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (follow && ::pipe(StopPipe) == 0) {
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
        stopNotifier = std::make_unique<QSocketNotifier>(StopPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&] {
            client.disconnect();
            client.Close();
            QCoreApplication::exit(status);
        });
    }
    client.Open(std::move(options));
    QCoreApplication::exec();
    return status;
}

// The password of `passwd`: a line of standard input for scripts, else asked twice on the
// terminal. Empty when none was given (the reason is printed).
std::string NewPassword(const std::string& name) {
    if (!StdinIsTerminal()) {
        std::optional<std::string> line = ReadPasswordLine();
        return line ? *line : std::string();
    }
    std::optional<std::string> first =
        ReadPasswordFromTerminal(("New password for " + name + ": ").c_str());
    if (!first || first->empty()) return {};
    std::optional<std::string> second = ReadPasswordFromTerminal("Again: ");
    if (!second || *second != *first) {
        std::fill(first->begin(), first->end(), '\0');
        Fail("the two passwords differ; nothing changed");
        std::exit(ExitFailed);
    }
    std::fill(second->begin(), second->end(), '\0');
    return *first;
}

int RunPasswd(const TArgs& args) {
    if (args.Words.size() != 2)
        throw TUsageError{"usage: quarn-admin passwd NAME [--role operator|viewer] [--dir DIR]"};
    for (const char* other : {"--server", "--user", "--fingerprint"}) {
        if (args.Options.count(other))
            throw TUsageError{std::string(other) + " does not belong to passwd"};
    }
    if (!args.Flags.empty()) throw TUsageError{args.Flags.front() + " does not belong to passwd"};
    const std::string& name = args.Words[1];
    if (!TOperatorAccounts::ValidName(name))
        throw TUsageError{"not an account name: " + name +
                          " (1 to 32 letters, digits, \"-\", \"_\" or \".\")"};
    const std::string roleName = Option(args, "--role", "operator");
    const std::optional<TOperatorRole> role = RoleFromName(roleName);
    if (!role) throw TUsageError{"--role is operator or viewer, not " + roleName};
    TOperatorAccounts accounts = TOperatorAccounts::InDir(Option(args, "--dir", DefaultProgramDir));

    std::string password = NewPassword(name);
    if (password.empty()) return Fail("no password given; nothing changed");
    try {
        accounts.SetPassword(name, password, *role);
    } catch (const std::exception& error) {
        std::fill(password.begin(), password.end(), '\0');
        return Fail(accounts.Path() + ": " + error.what());
    }
    std::fill(password.begin(), password.end(), '\0');
    std::printf("%s: account %s (%s) set\n", accounts.Path().c_str(), name.c_str(),
                RoleName(*role));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    try {
        const TArgs args = ParseArgs(argc, argv);
        if (args.Has("--help")) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        if (args.Words.empty()) throw TUsageError{"no command (see --help)"};
        if (args.Words.front() == "passwd") return RunPasswd(args);
        return RunRemote(args);
    } catch (const TUsageError& error) {
        return Fail(error.Message, ExitUsage);
    }
}
