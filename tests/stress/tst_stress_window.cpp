// A thousand random presses of Start/Abort and Refresh on the real window, with random short
// pauses, against fast simulated controllers reached through the stand-in libraries. The seed is
// printed; VKR_STRESS_SEED replays a run.
#include "loadedcontrollerlibrary.h"
#include "runlog.h"
#include "stressseed.h"
#include "vkrcalibrator.h"

#include <QComboBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QtTest>

namespace {

const QString StartText = QStringLiteral("Start Calibration");
const QString AbortText = QStringLiteral("Abort");

// Every way a run can end, each quick enough that many runs finish between presses.
const QStringList Locators = {
    QStringLiteral("sim:channels=3,time=5"),
    QStringLiteral("sim:demo,time=3"),
    QStringLiteral("sim:stuck=1,channels=3,time=2"),
    QStringLiteral("sim:channels=4,time=1,fail-calibrate@1=17,fail-status@2=15"),
    QStringLiteral("sim:mode=0,fail-setmode=6"),
    QStringLiteral("sim:fail-getmode=5"),
    QStringLiteral("sim:fail-channels=9"),
    QStringLiteral("sim:channels=0"),
    QStringLiteral("sim:fail-open=7"),
    QStringLiteral("sim:time=0,latency=15,channels=2"),
    QStringLiteral("no-colon"),
};

} // namespace

class StressWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Without the stand-in libraries every run would end at "Could not initialize! Error: 126"
        // and the stress would exercise nothing.
        auto* loaded = dynamic_cast<LoadedControllerLibrary*>(&ControllerLibrary::instance());
        QVERIFY(loaded);
        QVERIFY2(loaded->loadError().isEmpty(), qPrintable(loaded->loadError()));
    }

    void randomPressesKeepEveryRunWhole()
    {
        QRandomGenerator random(stressSeed());

        VKRCalibrator window;
        window.show();
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        auto* refresh = window.findChild<QPushButton*>("refreshButton");
        auto* locator = window.findChild<QComboBox*>("locator");
        auto* log = window.findChild<QTextEdit*>("log");

        // Follows the log through every change: each new text must extend the previous one as a
        // run can, and a clear (a new run) may only come once the previous run is whole.
        QString previous;
        QStringList faults;
        int runsStarted = 0;
        int runsCompleted = 0;
        connect(log, &QTextEdit::textChanged, this, [&] {
            const QString text = log->toPlainText();
            if (!text.startsWith(previous)) {
                if (!previous.isEmpty()) {
                    if (RunLog::isComplete(previous))
                        ++runsCompleted;
                    else
                        faults << QStringLiteral("cleared before its run ended (%1):\n%2")
                                      .arg(RunLog::problem(previous), previous);
                }
                previous.clear();
            }
            if (!text.isEmpty() && !RunLog::isValidPrefix(text))
                faults << QStringLiteral("not the beginning of one run:\n") + text;
            if (previous.isEmpty() && !text.isEmpty())
                ++runsStarted;
            previous = text;
        });

        for (int press = 0; press < 1000 && faults.isEmpty(); ++press) {
            const quint32 action = random.bounded(100);
            if (action < 15)
                locator->setEditText(Locators.at(int(random.bounded(quint32(Locators.size())))));
            if (action < 70)
                button->click();
            else
                refresh->click();
            QVERIFY2(button->text() == StartText || button->text() == AbortText, qPrintable(button->text()));

            // Mostly presses in quick succession, now and then long enough for a run to end.
            const quint32 shape = random.bounded(100);
            const int pause = shape < 70   ? int(random.bounded(3))
                              : shape < 95 ? int(random.bounded(3, 20))
                                           : int(random.bounded(20, 80));
            QTest::qWait(pause);
            QVERIFY2(button->text() == StartText || button->text() == AbortText, qPrintable(button->text()));
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n----\n"))));

        // Let the last run end: it must wind down without a further press.
        if (button->text() == AbortText)
            button->click();
        QTRY_VERIFY2_WITH_TIMEOUT(RunLog::isComplete(log->toPlainText()),
                                  qPrintable(QStringLiteral("%1 [%2] button %3, locator %4")
                                                 .arg(log->toPlainText(), RunLog::problem(log->toPlainText()),
                                                      button->text(), locator->currentText())),
                                  10000);
        QCOMPARE(button->text(), StartText);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n----\n"))));
        ++runsCompleted;
        QCOMPARE(runsCompleted, runsStarted);
        qInfo("%d runs, each whole", runsStarted);
        QVERIFY(runsStarted > 50);
    }
};

QTEST_MAIN(StressWindowTest)
#include "tst_stress_window.moc"
