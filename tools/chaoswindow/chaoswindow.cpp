// The window program driven for the chaos campaign: it types the locator given on its command line,
// presses "Start Calibration" and closes the window once the run has ended, as a user would; the
// run's history line is written as the window goes. Everything else, signals included, is the
// window program's own.
#include "vkrcalibrator.h"
#include "windowprogram.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LOCATOR\n", argv[0]);
        return 64;
    }
    const QString locator = QString::fromLocal8Bit(argv[1]);
    return runWindowProgram(argc, argv, [&locator](VKRCalibrator& window) {
        auto* button = window.findChild<QPushButton*>(QStringLiteral("calibrateButton"));
        const QString startText = button->text();
        window.findChild<QComboBox*>(QStringLiteral("locator"))->setEditText(locator);
        button->click();
        // The button offers the start again once the run has ended; the window has no signal for it.
        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window, [&window, button, startText] {
            if (button->text() == startText)
                window.close();
        });
        watch->start(20);
    });
}
