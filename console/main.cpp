// The program's entry: the console window, the message dialog and the about box, then the
// event loop. Without a display the same console runs headless on Qt's offscreen
// platform, prints its log to standard output and stops on SIGINT or SIGTERM.
#include <QApplication>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "IniFile.h"
#include "LogEcho.h"
#include "MetricsServer.h"
#include "MetricsText.h"
#include "Unit1.h"
#include "icon/ProgramIcon.h"
#include "net/NetThreadCaches.h"
#include "widgets/Unit2.h"
#include "widgets/Unit3.h"

namespace {

// The write end of the self-pipe: a signal handler may only write a byte to it; the UI
// thread reads it through a socket notifier and runs the stop there.
int SignalPipeWrite = -1;

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(SignalPipeWrite, &byte, 1);
}

bool InstallStopSignals(int pipeFds[2]) {
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    SignalPipeWrite = pipeFds[1];
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

bool HasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

// Headless, nobody can answer a dialog: questions get No, prompts nothing, and messages
// go to standard error instead of waiting for a click.
TConsoleDialogs HeadlessDialogs() {
    TConsoleDialogs dialogs;
    dialogs.Ask = [](const QString& question, QMessageBox::StandardButtons) {
        std::fprintf(stderr, "%s (answered No: no display)\n", qPrintable(question));
        return QMessageBox::No;
    };
    dialogs.PromptText = [](const QString&) { return std::optional<QString>(); };
    dialogs.ShowMessage = [](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    };
    dialogs.NotifyOperator = dialogs.ShowMessage;
    dialogs.ShowAbout = [] {};
    return dialogs;
}

// The metrics endpoint where kelbox.ini's [Admin] Metrics= says (by default on loopback;
// empty: off). A failure to listen is logged and the program runs on without it.
std::unique_ptr<TMetricsServer> StartMetrics(TForm1& form1) {
    std::string listen = TMetricsServer::DefaultListen;
    try {
        const TIniFile ini = TIniFile::Load(form1.ProgramDir() + "kelbox.ini");
        listen = ini.ReadString("Admin", "Metrics", listen);
    } catch (const std::exception& error) {
        form1.AddLog(std::string("Metrics: cannot read kelbox.ini: ") + error.what());
    }
    QHostAddress address;
    quint16 port = 0;
    QString error;
    if (!TMetricsServer::ParseListen(QString::fromStdString(listen), address, port, error)) {
        if (!error.isEmpty()) form1.AddLog("Metrics: [Admin] Metrics= is " + error.toStdString());
        return nullptr;
    }
    auto metrics =
        std::make_unique<TMetricsServer>([&form1] { return MetricsText(form1.Server()); });
    if (!metrics->Listen(address, port)) {
        form1.AddLog("Metrics: cannot listen on " + listen + ": " +
                     metrics->ErrorString().toStdString());
        return nullptr;
    }
    form1.AddLog("Metrics at http://" + listen + "/metrics");
    return metrics;
}

}  // namespace

int main(int argc, char* argv[]) {
    NetDisableThreadCaches(argv);
    // An explicit choice of platform is left alone; without one and without a display the
    // window system would abort the program.
    if (!HasDisplay()) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // Every window, the about box included, shows the program's icon; the desktop file's
    // name lets a Wayland shell match the window to the menu entry and its icon.
    QApplication::setWindowIcon(ProgramIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("quarn-lobby-server"));
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");

    int pipeFds[2] = {-1, -1};
    const bool signalsInstalled = InstallStopSignals(pipeFds);

    TForm1Config config;
    if (headless) config.Dialogs = HeadlessDialogs();
    // Declared before the window, which logs into it until it is destroyed. Lines are
    // written by the echo's own thread, so an unread standard output stalls nobody.
    TLogEcho echo(STDOUT_FILENO);
    config.LogEcho = [&echo](const std::string& line) { echo.Push(line); };
    TForm1 form1(std::move(config));
    // Owned by the main window, created after it.
    auto* form2 = new TForm2(&form1);
    auto* aboutBox = new TAboutBox(&form1);
    form1.SetDialogs(form2, aboutBox);
    // Declared after the window, whose server it reads: destroyed before it.
    const std::unique_ptr<TMetricsServer> metrics = StartMetrics(form1);

    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (signalsInstalled) {
        stopNotifier = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &form1, [&] {
            char buffer[16];
            while (read(pipeFds[0], buffer, sizeof buffer) > 0) {
            }
            stopNotifier->setEnabled(false);
            form1.StopServerNow();
            QCoreApplication::quit();
        });
    }

    if (!headless) form1.show();
    const int result = app.exec();
    stopNotifier.reset();
    return result;
}
