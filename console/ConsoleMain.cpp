// quarn-console: the operator's window for a lobby server that runs elsewhere. It asks for
// the server, an account and its password (the command line and QUARN_ADMIN_PASSWORD fill
// the dialog), checks the server's certificate as quarn-admin does, sharing its remembered
// certificates, and then shows the same main window as the server's own, attached to the
// server's admin endpoint.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QIcon>
#include <QListWidget>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ConnectDialog.h"
#include "KnownServers.h"
#include "RemoteShownServer.h"
#include "ServerAddress.h"
#include "Unit1.h"
#include "icon/ProgramIcon.h"
#include "widgets/Tablist.h"
#include "widgets/Unit2.h"
#include "widgets/Unit3.h"

namespace {

bool Headless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen") ||
           QGuiApplication::platformName() == QLatin1String("minimal");
}

void Fail(const QString& message) {
    std::fprintf(stderr, "quarn-console: %s\n", qPrintable(message));
}

// The first use of a server asks, showing the fingerprint the operator can compare with
// the one the server logs at its start. Without a display nobody can answer: no.
bool AskTrust(const QString& server, const QString& fingerprint) {
    if (Headless()) {
        Fail(QStringLiteral("the certificate of %1 is not known (SHA-256 %2); pass "
                            "--fingerprint to pin it")
                 .arg(server, fingerprint));
        return false;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Unknown server certificate"),
                    QStringLiteral("This is the first connection to %1.\n\nIts certificate has "
                                   "the SHA-256 fingerprint\n%2\n\nCompare it with the one the "
                                   "server logs at its start. Trust it and remember it?")
                        .arg(server, fingerprint),
                    QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Without a display the window system would abort the program.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!(display && *display) && !(wayland && *wayland)) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quarn-console"));
    // The installed icon (the server's with a screen), else the server's own embedded one.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quarn-console"), ProgramIcon()));
    QGuiApplication::setDesktopFileName(QStringLiteral("quarn-console"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The operator's window for a Quarn lobby server that runs elsewhere, "
                       "attached to its admin endpoint. The password is taken from "
                       "QUARN_ADMIN_PASSWORD when set."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(
        QStringLiteral("server"), QStringLiteral("The admin endpoint (default 127.0.0.1:6668)."),
        QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("The account."),
                                        QStringLiteral("NAME"));
    const QCommandLineOption fingerprintOption(
        QStringLiteral("fingerprint"),
        QStringLiteral("The SHA-256 fingerprint of the server's certificate, pinned."),
        QStringLiteral("SHA256"));
    const QCommandLineOption screenshotOption(
        QStringLiteral("screenshot"),
        QStringLiteral("Once the views are filled, save a picture of the window and exit."),
        QStringLiteral("FILE.png"));
    parser.addOptions({serverOption, userOption, fingerprintOption, screenshotOption});
    parser.process(app);

    TConnectDialog dialog;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 6668;
    if (parser.isSet(serverOption)) {
        QString error;
        if (!ParseServerAddress(parser.value(serverOption), host, port, error)) {
            Fail(QStringLiteral("--server: ") + error);
            return 2;
        }
    }
    const QString fingerprint = parser.value(fingerprintOption);
    if (!fingerprint.isEmpty() && TKnownServers::Canonical(fingerprint).isEmpty()) {
        Fail(QStringLiteral("--fingerprint is not a SHA-256 fingerprint: ") + fingerprint);
        return 2;
    }
    dialog.SetServer(host, port);
    dialog.SetUser(parser.value(userOption));
    const char* password = std::getenv("QUARN_ADMIN_PASSWORD");
    if (password) dialog.SetPassword(QString::fromLocal8Bit(password));
    // Everything given: connect at once (scripts, tests); the dialog comes when it fails.
    bool ask = !(parser.isSet(serverOption) && parser.isSet(userOption) && password);

    std::unique_ptr<TRemoteShownServer> remote;
    for (;;) {
        if (ask) {
            if (Headless()) {
                Fail(
                    QStringLiteral("no display to ask for the server and account: pass "
                                   "--server, --user and QUARN_ADMIN_PASSWORD"));
                return 1;
            }
            if (dialog.exec() != QDialog::Accepted) return 1;
        }
        TAdminClientOptions options;
        options.Host = dialog.Host();
        options.Port = dialog.Port();
        options.User = dialog.User();
        options.Password = dialog.Password();
        options.Fingerprint = fingerprint;
        options.TrustOnFirstUse = AskTrust;
        remote = std::make_unique<TRemoteShownServer>(std::move(options));
        QString failure;
        QEventLoop wait;
        remote->Connect([&](const QString& error) {
            failure = error;
            wait.quit();
        });
        wait.exec();
        if (failure.isEmpty()) break;
        remote.reset();
        if (Headless()) {
            Fail(failure);
            return 1;
        }
        dialog.SetError(failure);
        ask = true;
    }

    TForm1Config config;
    config.Remote = remote.get();
    config.ReadOnly = remote->Role() != QLatin1String("operator");
    config.RemoteTitle = (remote->User() + QLatin1Char('@') + remote->ServerName()).toStdString();
    // Save Log writes on this machine, where the operator keeps documents.
    QString logDir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (logDir.isEmpty() || !QDir().mkpath(logDir)) logDir = QDir::homePath();
    config.ProgramDir = QDir(logDir).absolutePath().toStdString() + "/";
    TForm1 form1(std::move(config));
    auto* form2 = new TForm2(&form1);
    auto* aboutBox = new TAboutBox(&form1);
    form1.SetDialogs(form2, aboutBox);

    if (parser.isSet(screenshotOption)) {
        // The snapshot arrives, then the refresh is posted: a second is plenty on loopback.
        const QString file = parser.value(screenshotOption);
        form1.show();
        QTimer::singleShot(1500, &form1, [&form1, file] {
            form1.FlushViews();
            // The first lobby selected, so that the picture shows its members too.
            if (form1.LobbyList->count() > 0) {
                form1.LobbyList->setCurrentRow(0);
                form1.LobbyListClick();
            }
            if (!form1.grab().save(file)) {
                Fail(QStringLiteral("cannot write ") + file);
                QCoreApplication::exit(1);
                return;
            }
            QCoreApplication::quit();
        });
    } else {
        form1.show();
    }
    const int result = app.exec();
    form1.hide();
    return result;
}
