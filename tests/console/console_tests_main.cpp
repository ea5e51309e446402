// The console's window tests as one program: "console_tests Class [QtTest options]" runs
// one test class, "console_tests" all of them, one after the other.
#include <QApplication>

#include <vector>

#include "support/ConsoleHarness.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);  // as QTEST_MAIN does
    std::vector<char*> args(argv, argv + argc);
    const ConsoleTestClasses& classes = RegisteredConsoleTests();
    std::string only;
    if (args.size() > 1 && classes.count(args[1])) {
        only = args[1];
        args.erase(args.begin() + 1);
    }
    int failures = 0;
    for (const auto& [name, make] : classes) {
        if (!only.empty() && name != only) continue;
        const std::unique_ptr<QObject> tests = make();
        failures += QTest::qExec(tests.get(), static_cast<int>(args.size()), args.data());
    }
    return failures;
}
