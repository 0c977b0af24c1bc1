// Started by tst_stress_close: builds the window as the tool's own entry does, starts a run on
// the given locator and closes the window after the given delay, and ends the run as the tool's
// entry does once the event loop has ended. On standard output it writes
// the log as it stood at the close and how long the shut-down took after it.
#include "vkrcalibrator.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <cstdio>
#include <memory>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: %s LOCATOR DELAY_MS\n", argv[0]);
        return 64;
    }

    auto window = std::make_unique<VKRCalibrator>();
    window->show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    window->findChild<QComboBox*>("locator")->setEditText(arguments.at(1));
    window->findChild<QPushButton*>("calibrateButton")->click();

    QElapsedTimer sinceClose;
    QTimer::singleShot(arguments.at(2).toInt(), window.get(), [&] {
        std::printf("log at close:\n%s\n", qPrintable(window->findChild<QTextEdit*>("log")->toPlainText()));
        sinceClose.start();
        window->close();
    });
    const int result = application.exec();
    window->endRunForQuit(std::chrono::seconds(5));
    window.reset();
    std::printf("shut down after close: %lld ms\n", static_cast<long long>(sinceClose.elapsed()));
    return result;
}
