// The main window, offscreen: its form, its placement, its visible states, the start/abort toggle
// and the log.
#include "fakecontrollerlibrary.h"
#include "historywindow.h"
#include "pseudoterminal.h"
#include "signalwatcher.h"
#include "threadsanitizer.h"
#include "vkrcalibrator.h"

#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTextEdit>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <memory>

class VKRCalibratorTest : public QObject
{
    Q_OBJECT

private slots:
    // A configuration folder of this test's own, never the user's.
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    }
    void init()
    {
        QFile::remove(config.filePath(QStringLiteral("vkr-calibrator/window.conf")));
        fake = new FakeControllerLibrary;
    }
    void cleanup() { delete fake; }

    void formMatchesTheLayout()
    {
        VKRCalibrator window;
        QCOMPARE(window.objectName(), QStringLiteral("VKRCalibratorClass"));
        QCOMPARE(window.windowTitle(), QStringLiteral("VKR Calibrator"));
        QCOMPARE(window.size(), QSize(336, 350));
        QVERIFY(!window.windowIcon().isNull());
        QVERIFY(window.statusBar() && window.statusBar()->objectName() == "statusBar");

        auto* layout = qobject_cast<QVBoxLayout*>(window.centralWidget()->layout());
        QVERIFY(layout);
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(layout->count(), 4);
        QCOMPARE(layout->itemAt(0)->widget(), window.findChild<QLabel*>("label"));
        QCOMPARE(layout->itemAt(1)->layout()->objectName(), QStringLiteral("horizontalLayout"));
        QCOMPARE(layout->itemAt(2)->widget(), window.findChild<QTextEdit*>("log"));
        QCOMPARE(layout->itemAt(3)->layout()->objectName(), QStringLiteral("hboxLayout"));

        auto* label = window.findChild<QLabel*>("label");
        QVERIFY(label->wordWrap());
        QVERIFY(label->text().contains(R"(<meta name="qrichtext" content="1" />)"));
        QVERIFY(label->text().contains(
            R"(<body style=" white-space: pre-wrap; font-family:MS Shell Dlg; font-size:8.25pt; font-weight:400; font-style:normal; text-decoration:none;">)"));
        QVERIFY(label->text().contains(
            R"(<span style=" font-size:8pt;">Welcome! Please connect the VKR to your computer and power it up. Select the port that the device is connected to. Please assure that the positioners are not near mechanical end stops! Press the button below to start the calibration.</span>)"));

        auto* row = qobject_cast<QHBoxLayout*>(layout->itemAt(1)->layout());
        QCOMPARE(row->spacing(), 6);
        auto* selectLabel = qobject_cast<QLabel*>(row->itemAt(0)->widget());
        QCOMPARE(selectLabel->objectName(), QStringLiteral("label_2"));
        QCOMPARE(selectLabel->text(), QStringLiteral("Select VKR:"));
        QCOMPARE(int(selectLabel->alignment()), 0x82);
        auto* locator = qobject_cast<QComboBox*>(row->itemAt(1)->widget());
        QCOMPARE(locator->objectName(), QStringLiteral("locator"));
        QVERIFY(locator->isEditable());
        QCOMPARE(locator->sizePolicy().horizontalPolicy(), QSizePolicy::MinimumExpanding);
        QCOMPARE(locator->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(qobject_cast<QPushButton*>(row->itemAt(2)->widget())->text(), QStringLiteral("Refresh"));

        auto* log = window.findChild<QTextEdit*>("log");
        QVERIFY(log->isReadOnly());
        QCOMPARE(log->lineWrapMode(), QTextEdit::NoWrap);
        QCOMPARE(log->tabStopDistance(), 20.0);
        QVERIFY(log->toPlainText().isEmpty());

        auto* buttonRow = qobject_cast<QHBoxLayout*>(layout->itemAt(3)->layout());
        QCOMPARE(buttonRow->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(buttonRow->count(), 3);
        for (int spacerIndex : {0, 2}) {
            QSpacerItem* spacer = buttonRow->itemAt(spacerIndex)->spacerItem();
            QVERIFY(spacer);
            QCOMPARE(spacer->sizeHint(), QSize(40, 20));
            QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
            QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        }
        QCOMPARE(qobject_cast<QPushButton*>(buttonRow->itemAt(1)->widget())->text(),
                 QStringLiteral("Start Calibration"));
    }

    void centring_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("full HD") << QSize(1920, 1080) << QPoint(792, 365);
        QTest::newRow("laptop") << QSize(1366, 768) << QPoint(515, 209);
        QTest::newRow("smaller than the window") << QSize(301, 200) << QPoint(-18, -75);
    }
    void centring()
    {
        QFETCH(QSize, screen);
        QFETCH(QPoint, origin);
        QCOMPARE(QPoint(screen.width() / 2 - 336 / 2, screen.height() / 2 - 350 / 2), origin);
    }

    void windowIsCentredOnThePrimaryScreen()
    {
        VKRCalibrator window;
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        QCOMPARE(window.geometry(),
                 QRect(QPoint(screen.width() / 2 - 168, screen.height() / 2 - 175), QSize(336, 350)));
    }

    // Abort by the button or by Escape; the button reads "Start Calibration" at once.
    void startClearsTheLogAndAbortStopsTheRun_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("the button") << false;
        QTest::newRow("Escape") << true;
    }
    void startClearsTheLogAndAbortStopsTheRun()
    {
        QFETCH(bool, escape);
        fake->neverFinishes = {0};
        VKRCalibrator window;
        window.show();
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        auto* log = window.findChild<QTextEdit*>("log");
        // Handed over as it stands, blanks and all.
        window.findChild<QComboBox*>("locator")->setEditText(QStringLiteral(" sim:typed"));
        log->setPlainText(QStringLiteral("an earlier run"));
        QTest::keyClick(&window, Qt::Key_Escape); // idle: nothing to abort
        QCOMPARE(button->text(), QStringLiteral("Start Calibration"));

        button->click();
        QCOMPARE(button->text(), QStringLiteral("Abort"));
        QVERIFY(!log->toPlainText().contains("an earlier run"));
        QTRY_VERIFY(log->toPlainText().endsWith("\tChannel 0: calibrating... "));
        QVERIFY(fake->calls().contains("open 0  sim:typed sync"));

        if (escape)
            QTest::keyClick(&window, Qt::Key_Escape);
        else
            button->click();
        QCOMPARE(button->text(), QStringLiteral("Start Calibration"));
        QVERIFY(button->isEnabled());
        QTRY_VERIFY(log->toPlainText().endsWith("\tChannel 0: calibrating... Aborting.\n"));
        QVERIFY(log->toPlainText().startsWith("Starting calibration...\n")); // an abort keeps the log
        QTRY_VERIFY(fake->calls().contains("release"));
        QCOMPARE(button->text(), QStringLiteral("Start Calibration"));
    }

    void messagesAreAppendedAtTheEndWhateverTheUserSelected()
    {
        std::atomic_bool release{false};
        fake->channels = 1;
        fake->onStatusRead = [&](uint32_t) {
            while (!release)
                QThread::usleep(100);
        };
        VKRCalibrator window;
        auto* log = window.findChild<QTextEdit*>("log");
        window.findChild<QPushButton*>("calibrateButton")->click();
        QTRY_VERIFY(log->toPlainText().endsWith("calibrating... "));

        QTextCursor selection(log->document());
        selection.setPosition(2);
        selection.setPosition(8, QTextCursor::KeepAnchor);
        log->setTextCursor(selection);
        release = true;
        QTRY_VERIFY(log->toPlainText().endsWith("finished with 0 errors.\n"));
        QCOMPARE(log->toPlainText(), QStringLiteral("Starting calibration...\nSuccessfully initialized.\n"
                                                    "\tChannel 0: calibrating... done.\n"
                                                    "\nCalibration routine finished with 0 errors.\n"));
        QCOMPARE(log->textCursor().selectionStart(), 2);
        QCOMPARE(log->textCursor().selectionEnd(), 8);
    }

    // The view follows new text while it shows the end; scrolled up, it stays where the user is.
    void scrollingUpKeepsThePlaceWhileTheRunGoesOn()
    {
        std::atomic_bool release{false};
        fake->channels = 80;
        for (uint32_t channel = 0; channel + 1 < fake->channels; ++channel)
            fake->calibrateResults[channel] = 129; // many short lines, no waits
        fake->onStatusRead = [&](uint32_t) {
            while (!release)
                QThread::usleep(100);
        };
        VKRCalibrator window;
        const auto opened = qScopeGuard([&] { release = true; }); // before the window waits for its run
        window.show();
        auto* log = window.findChild<QTextEdit*>("log");
        QScrollBar* bar = log->verticalScrollBar();
        window.findChild<QPushButton*>("calibrateButton")->click();
        QTRY_VERIFY(log->toPlainText().endsWith("Channel 79: calibrating... "));
        QVERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), bar->maximum());

        bar->setValue(bar->maximum() / 3);
        const int place = bar->value();
        release = true;
        QTRY_VERIFY(log->toPlainText().endsWith("finished with 0 errors.\n"));
        QCOMPARE(bar->value(), place);
    }

    // The form's visible states, one row each: what the window shows while and after a run.
    void visibleStates_data()
    {
        QTest::addColumn<QString>("state");
        for (const char* state :
             {"the title stays", "the status bar shows nothing", "locator and Refresh stay enabled",
              "the button right after Abort", "a start while the aborted run ends",
              "every start is centred with the first locator"})
            QTest::newRow(state) << QString::fromLatin1(state);
    }
    void visibleStates()
    {
        QFETCH(QString, state);
        const QString title = QStringLiteral("VKR Calibrator");
        std::atomic_bool release{false};
        // A status read that takes 2 s, as a slow library call would; the first channel waits for
        // the test instead.
        fake->neverFinishes = {0};
        fake->onStatusRead = [&](uint32_t) {
            QElapsedTimer slow;
            slow.start();
            while (!release && slow.elapsed() < 2000)
                QThread::usleep(100);
        };
        fake->findSystemsText = "sim:first\nsim:second\n";
        if (state.startsWith("every start")) {
            // What an earlier version left: a place and a locator it remembered.
            QDir().mkpath(config.filePath("vkr-calibrator"));
            QFile settings(config.filePath("vkr-calibrator/window.conf"));
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write("[General]\ngeometry=@Rect(40 50 500 420)\nlocator=sim:last\n");
        }
        VKRCalibrator window;
        const auto unblock = qScopeGuard([&] { release = true; });
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        const QRect centred(QPoint(screen.width() / 2 - 168, screen.height() / 2 - 175), QSize(336, 350));
        const QRect placed = window.geometry();
        window.show();
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        auto* locator = window.findChild<QComboBox*>("locator");
        auto* refresh = window.findChild<QPushButton*>("refreshButton");
        auto* log = window.findChild<QTextEdit*>("log");
        QCOMPARE(locator->currentText(), QStringLiteral("sim:first"));
        if (state.startsWith("every start")) {
            QCOMPARE(placed, centred);
            return;
        }
        button->click();
        QTRY_VERIFY(fake->calls().contains("getStatus 7 0"));
        if (state == "the title stays") {
            QCOMPARE(window.windowTitle(), title);
        } else if (state == "the status bar shows nothing") {
            QVERIFY(window.statusBar()->currentMessage().isEmpty());
            // Nothing but the bar's own size grip lives in it.
            for (QWidget* child : window.statusBar()->findChildren<QWidget*>())
                QVERIFY2(qobject_cast<QSizeGrip*>(child), qPrintable(child->objectName()));
        } else if (state == "locator and Refresh stay enabled") {
            QVERIFY(locator->isEnabled() && refresh->isEnabled() && log->isEnabled() && button->isEnabled());
            refresh->click();
            QCOMPARE(fake->calls().filter("findSystems").size(), 2);
        } else {
            // The routine sits in a 2 s call; the button does not wait for it.
            button->click();
            QCOMPARE(button->text(), QStringLiteral("Start Calibration"));
            QVERIFY(button->isEnabled());
            if (state == "a start while the aborted run ends") {
                locator->setEditText(QStringLiteral("sim:second"));
                button->click();
                QCOMPARE(button->text(), QStringLiteral("Abort"));
                QVERIFY(!fake->calls().contains("open 0 sim:second sync")); // not before the first has ended
                QTRY_VERIFY_WITH_TIMEOUT(fake->calls().contains("open 0 sim:second sync"), 5000);
                QVERIFY(!log->toPlainText().contains("Aborting.")); // the new run's log only
                QCOMPARE(button->text(), QStringLiteral("Abort"));
            }
            release = true;
            QTRY_VERIFY(fake->calls().contains("release"));
        }
        QCOMPARE(window.windowTitle(), title);
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
        release = true;
        if (button->text() == QStringLiteral("Abort"))
            button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QCOMPARE(window.windowTitle(), title);
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
    }

    // Why a run could not open its controller goes to standard error (the desktop's journal); the log
    // keeps its exact texts, the status bar stays empty, and the serial commands stay off standard
    // error.
    void whyARunWasNotOpenedGoesToStandardError_data()
    {
        QTest::addColumn<bool>("serial"); // else through the controller library, which refuses
        QTest::addColumn<QString>("reason");
        QTest::newRow("the library refuses") << false << "the controller library refused to open it: code 7";
        QTest::newRow("no controller on the serial port")
            << true
            << "serial port %1: no controller answered (is it connected to this port and powered up?)";
    }
    void whyARunWasNotOpenedGoesToStandardError()
    {
        QFETCH(bool, serial);
        QFETCH(QString, reason);
        PseudoTerminal line;
        const QString port = QString::fromStdString(line.slavePath());
        const QString expected = serial ? reason.arg(port) : reason;
        fake->interfaceType = serial ? 0 : 1;
        fake->openResult = 7;
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        window.findChild<QComboBox*>("locator")->setEditText(serial ? "serial:" + port : "sim:refused");
        // Every message logged, from either thread; read once the run that logs them has ended.
        static QStringList logged;
        logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { logged << text; });
        const auto restore = qScopeGuard([&] { qInstallMessageHandler(previous); });
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QVERIFY(window.findChild<QTextEdit*>("log")->toPlainText().startsWith(
            "Starting calibration...\nCould not initialize! Error: "));
        QCOMPARE(logged, QStringList{expected}); // the journal's line; no "out:" line
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
    }

    // Return and Enter press the focused button; in the locator box they start a run as the button
    // would, and never abort one.
    void returnAndEnterStartARun_data()
    {
        QTest::addColumn<bool>("onTheButton"); // else in the locator box
        QTest::addColumn<int>("key");
        QTest::newRow("Return in the locator box") << false << int(Qt::Key_Return);
        QTest::newRow("Enter in the locator box") << false << int(Qt::Key_Enter);
        QTest::newRow("Return on the button") << true << int(Qt::Key_Return);
        QTest::newRow("Enter on the button") << true << int(Qt::Key_Enter);
    }
    void returnAndEnterStartARun()
    {
        QFETCH(bool, onTheButton);
        QFETCH(int, key);
        fake->neverFinishes = {0};
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        auto* locator = window.findChild<QComboBox*>("locator");
        locator->setEditText(QStringLiteral("sim:keyed"));
        QWidget* target = onTheButton ? static_cast<QWidget*>(button) : locator->lineEdit();
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(button->text(), QStringLiteral("Abort"));
        QTRY_VERIFY(fake->calls().contains("open 0 sim:keyed sync"));

        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(button->text(), onTheButton ? QStringLiteral("Start Calibration") : QStringLiteral("Abort"));
    }

    // Start and Abort in quick succession: the abort can reach the worker before its new thread
    // has begun. The button then reads "Start Calibration", so the run must not go on.
    void abortRightAfterStartIsNotLost()
    {
        fake->neverFinishes = {0};
        for (int i = 0; i < 40; ++i) {
            // A fresh window each time, so no earlier run is still winding down and the start is
            // never deferred.
            VKRCalibrator window;
            auto* button = window.findChild<QPushButton*>("calibrateButton");
            auto* log = window.findChild<QTextEdit*>("log");
            button->click();
            button->click();
            QCOMPARE(button->text(), QStringLiteral("Start Calibration"));
            QVERIFY2(QTest::qWaitFor([&] { return log->toPlainText().endsWith("Aborting.\n"); }, 2000),
                     qPrintable(QStringLiteral("run %1: %2").arg(i).arg(log->toPlainText())));
            QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        }
    }

    // Closing the window, by hand or by a termination signal wired up as the program's entry does,
    // asks nothing and ends a run promptly once the program quits: the calibrating channel is stopped
    // and the library released. A run stuck in a call that does not return is waited for only so
    // long, then remembered as aborted, with a note that the controller may still be calibrating.
    void closingDuringARunEndsItPromptly_data()
    {
        QTest::addColumn<int>("signal"); // 0: the user closes the window
        QTest::addColumn<bool>("stuck"); // the status read never returns until the test lets it
        QTest::newRow("closed by the user") << 0 << false;
        QTest::newRow("SIGTERM, a logout") << int(SIGTERM) << false;
        QTest::newRow("SIGINT, Ctrl+C in the terminal it was started from") << int(SIGINT) << false;
        QTest::newRow("SIGHUP, the session went away") << int(SIGHUP) << false;
        QTest::newRow("closed during a call that does not return") << 0 << true;
    }
    void closingDuringARunEndsItPromptly()
    {
        QFETCH(int, signal);
        QFETCH(bool, stuck);
        QTemporaryDir data;
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        std::atomic_bool release{!stuck};
        fake->neverFinishes = {1};
        fake->onStatusRead = [&](uint32_t channel) {
            while (channel == 1 && !release)
                QThread::usleep(100);
        };
        SignalWatcher watcher;
        // Deleted also when a check fails, so that its run does not reach into the next row.
        std::unique_ptr<VKRCalibrator> window(new VKRCalibrator);
        const auto unblock = qScopeGuard([&] { release = true; });
        connect(&watcher, &SignalWatcher::received, window.get(), &QWidget::close);
        window->show();
        window->findChild<QPushButton*>("calibrateButton")->click();
        QTRY_VERIFY(fake->calls().contains("getStatus 7 1"));
        QElapsedTimer timer;
        timer.start();
        if (signal == 0)
            QVERIFY(window->close());
        else
            QCOMPARE(::raise(signal), 0);
        QTRY_VERIFY(!window->isVisible());
        for (QWidget* shown : QApplication::topLevelWidgets())
            QVERIFY2(!shown->isVisible(), qPrintable(shown->objectName())); // no question, no dialog
        QCOMPARE(window->endRunForQuit(std::chrono::milliseconds(stuck ? 300 : 5000)), !stuck);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()))); // typically a few ms
        if (!stuck) {
            const QStringList calls = fake->calls();
            QCOMPARE(calls.mid(calls.size() - 2), QStringList({"stop 7 1", "release"}));
        }
        QFile file(data.filePath(QStringLiteral("vkr-calibrator/history.jsonl")));
        QTRY_VERIFY(file.size() > 0); // written off the GUI thread
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject record = QJsonDocument::fromJson(file.readLine()).object();
        QCOMPARE(record["outcome"].toString(), QStringLiteral("aborted"));
        QCOMPARE(record["note"].toString(), stuck ? VKRCalibrator::stuckRunNote() : QString());
        release = true;
        window.reset();
    }

    // Each run is remembered with the window as its source; a journal that cannot be written is said
    // in the History window until a write succeeds, once on standard error, and the next run still
    // goes.
    void runsAreRememberedInTheHistory()
    {
        QTemporaryDir data;
        // Put back afterwards: without one, the next tests would write to the user's own history.
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const QString journal = data.filePath(QStringLiteral("vkr-calibrator/history.jsonl"));
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        window.findChild<QComboBox*>("locator")->setEditText(QStringLiteral("sim:remembered"));
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QFile file(journal);
        QTRY_VERIFY(file.size() > 0); // written off the GUI thread
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject record = QJsonDocument::fromJson(file.readLine()).object();
        QCOMPARE(record["source"].toString(), QStringLiteral("window"));
        QCOMPARE(record["locator"].toString(), QStringLiteral("sim:remembered"));
        QCOMPARE(record["outcome"].toString(), QStringLiteral("calibrated"));
        QVERIFY(file.atEnd());
        window.showHistory();
        auto* warning = window.findChild<QLabel*>("historyJournalWarning");
        QVERIFY(warning && warning->isHidden());

        static QStringList logged;
        logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { logged << text; });
        const auto restoreHandler = qScopeGuard([&] { qInstallMessageHandler(previous); });
        // A folder in the journal's place, for two runs.
        QVERIFY(file.remove() && QDir().mkdir(journal));
        for (int run = 0; run < 2; ++run) {
            button->click();
            QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
            QVERIFY(window.findChild<QTextEdit*>("log")->toPlainText().endsWith("finished with 0 errors.\n"));
            QTRY_COMPARE(logged.filter(QStringLiteral("history")).size(), run + 1);
            QTRY_VERIFY(!warning->isHidden());
            QVERIFY2(warning->text().contains(journal), qPrintable(warning->text()));
        }
        const QString failureSaid = warning->text();
        QVERIFY(window.statusBar()->currentMessage().isEmpty());

        QVERIFY(QDir().rmdir(journal));
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QTRY_VERIFY(warning->isHidden());
        // Each run the journal could not take was said, naming the run.
        const QStringList said = logged.filter(QStringLiteral("history"));
        QCOMPARE(said.size(), 2);
        QCOMPARE(said.last(), failureSaid);
        QVERIFY2(logged.filter(QStringLiteral("the run on sim:remembered started")).size() == 2,
                 qPrintable(logged.join('\n')));
    }

    // A window closed mid-run (by the user, or by SIGTERM or SIGHUP, which close it) stops the
    // calibrating channel and still remembers the run, as aborted.
    void aRunCutShortByClosingTheWindowIsRemembered()
    {
        QTemporaryDir data;
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const QString journal = data.filePath(QStringLiteral("vkr-calibrator/history.jsonl"));
        fake->neverFinishes = {0};
        {
            VKRCalibrator window;
            window.findChild<QComboBox*>("locator")->setEditText(QStringLiteral("sim:closed"));
            window.findChild<QPushButton*>("calibrateButton")->click();
            QTRY_VERIFY(window.findChild<QTextEdit*>("log")->toPlainText().endsWith("calibrating... "));
        }
        QFile file(journal);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject record = QJsonDocument::fromJson(file.readLine()).object();
        QCOMPARE(record["outcome"].toString(), QStringLiteral("aborted"));
        const QJsonArray channels = record["channels"].toArray();
        QCOMPARE(channels.last().toObject()["result"].toString(), QStringLiteral("aborted"));
    }

    // The program's own options: help and version need no display; an unknown one is a usage error.
    void programOptions_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output"); // on standard output for 0, else on standard error
        QTest::newRow("--help") << "--help" << 0 << "usage: vkr-calibrator [--history]";
        QTest::newRow("--version") << "--version" << 0 << "vkr-calibrator ";
        QTest::newRow("unknown") << "--remember" << 64 << "vkr-calibrator: unknown option --remember\nusage:";
    }
    void programOptions()
    {
        QFETCH(QString, option);
        QFETCH(int, status);
        QFETCH(QString, output);
        if (UnderThreadSanitizer)
            QSKIP("ThreadSanitizer's runtime fails its own check when a threaded test starts a child");
        QProcess program;
        program.start(qEnvironmentVariable("VKR_BUILD_DIR") + QStringLiteral("/vkr-calibrator"), {option});
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString said = QString::fromLocal8Bit(status == 0 ? program.readAllStandardOutput()
                                                                : program.readAllStandardError());
        QVERIFY2(said.contains(output), qPrintable(said));
    }

private:
    QTemporaryDir config;
    FakeControllerLibrary* fake = nullptr;
};

QTEST_MAIN(VKRCalibratorTest)
#include "tst_vkrcalibrator.moc"
