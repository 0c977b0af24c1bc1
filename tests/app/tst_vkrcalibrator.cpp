// The main window, offscreen: its form, its placement, the start/abort toggle and the log.
#include "detailspopup.h"
#include "fakecontrollerlibrary.h"
#include "pseudoterminal.h"
#include "signalwatcher.h"
#include "statusline.h"
#include "vkrcalibrator.h"
#include "windowplacement.h"

#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
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
    // Remembered settings of this test's own, never the user's; each test starts as a first start.
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
        QCOMPARE(centredOrigin(screen, QSize(336, 350)), origin);
    }

    void windowIsCentredOnThePrimaryScreen()
    {
        VKRCalibrator window;
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        QCOMPARE(window.geometry(), QRect(centredOrigin(screen, QSize(336, 350)), QSize(336, 350)));
    }

    // Abort by the button or by Escape; the button reads "Aborting…" until the run has ended.
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
        // Blanks around it, as a locator pasted from a file brings along, are not part of it.
        window.findChild<QComboBox*>("locator")->setEditText(QStringLiteral(" sim:typed\r\n"));
        log->setPlainText(QStringLiteral("an earlier run"));
        QTest::keyClick(&window, Qt::Key_Escape); // idle: nothing to abort
        QCOMPARE(button->text(), QStringLiteral("Start Calibration"));

        button->click();
        QCOMPARE(button->text(), QStringLiteral("Abort"));
        QVERIFY(!log->toPlainText().contains("an earlier run"));
        QTRY_VERIFY(log->toPlainText().endsWith("\tChannel 0: calibrating... "));
        QVERIFY(fake->calls().contains("open 0 sim:typed sync"));

        if (escape)
            QTest::keyClick(&window, Qt::Key_Escape);
        else
            button->click();
        QCOMPARE(button->text(), QStringLiteral("Aborting\u2026"));
        QVERIFY(!button->isEnabled());
        QTRY_VERIFY(log->toPlainText().endsWith("\tChannel 0: calibrating... Aborting.\n"));
        QVERIFY(log->toPlainText().startsWith("Starting calibration...\n")); // an abort keeps the log
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QVERIFY(button->isEnabled());
        QVERIFY(fake->calls().contains("release"));
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

    // While a run goes on, the status bar names the controller, the channel and its seconds, the
    // title names the controller, and locator and Refresh rest. An abort that waits for a library
    // call keeps the button disabled until the run has ended, then the verdict names the channel.
    void aRunShowsWhereItStandsAndAnAbortWaitsForItsEnd()
    {
        std::atomic_bool release{false};
        fake->neverFinishes = {1};
        fake->onStatusRead = [&](uint32_t channel) {
            while (channel == 1 && !release)
                QThread::usleep(100);
        };
        VKRCalibrator window;
        window.show();
        const auto unblock = qScopeGuard([&] { release = true; });
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        auto* locator = window.findChild<QComboBox*>("locator");
        auto* refresh = window.findChild<QPushButton*>("refreshButton");
        auto* status = window.findChild<StatusLine*>("statusLine");
        locator->setEditText(QStringLiteral("sim:first"));
        button->click();
        QVERIFY(!locator->isEnabled() && !refresh->isEnabled());
        QCOMPARE(window.windowTitle(), QStringLiteral("sim:first \u2014 VKR Calibrator"));
        // Renewed every second while the channel calibrates.
        const QRegularExpression counting(
            QStringLiteral("^Channel 1 \\(2 of 3\\): [1-9][0-9]* s \u00b7 sim:first$"));
        QTRY_VERIFY_WITH_TIMEOUT(counting.match(status->text()).hasMatch(), 10000);
        QTest::keyClick(refresh, Qt::Key_F5);
        QCOMPARE(fake->calls().filter("findSystems").size(), 1); // F5 rests with Refresh

        button->click(); // abort: the routine is stuck inside a status read
        button->click(); // a press while it winds down does nothing
        QCOMPARE(button->text(), QStringLiteral("Aborting\u2026"));
        QVERIFY(!button->isEnabled() && !locator->isEnabled());
        release = true;
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QVERIFY(button->isEnabled() && locator->isEnabled() && refresh->isEnabled());
        QCOMPARE(status->text(), QStringLiteral("Aborted: channel 1 stopped"));
        QCOMPARE(window.windowTitle(), QStringLiteral("sim:first \u2014 VKR Calibrator"));
        QTest::keyClick(&window, Qt::Key_F5);
        QCOMPARE(fake->calls().filter("findSystems").size(), 2);
    }

    // The verdict of each kind of run, from its record.
    void theVerdictSaysHowTheRunWent_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<int>("icon");
        const int calibrated = QStyle::SP_DialogApplyButton;
        const int warning = QStyle::SP_MessageBoxWarning;
        const int failed = QStyle::SP_MessageBoxCritical;
        QTest::newRow("calibrated") << "channels=4"
                                    << "Calibrated: 4 channels, 0 errors" << calibrated;
        QTest::newRow("one without a sensor")
            << "channels=2 calibrate0=129"
            << "Calibrated: 1 channel, 1 without a sensor, 0 errors" << calibrated;
        QTest::newRow("two failed") << "channels=4 calibrate1=17 calibrate3=14"
                                    << "2 errors: channels 1 and 3 failed (codes 17, 14)" << failed;
        QTest::newRow("three failed") << "channels=3 calibrate0=5 calibrate1=6 calibrate2=7"
                                      << "3 errors: channels 0, 1 and 2 failed (codes 5, 6, 7)" << failed;
        QTest::newRow("one failed") << "channels=2 calibrate0=17"
                                    << "1 error: channel 0 failed (code 17)" << failed;
        QTest::newRow("channel count")
            << "channelsResult=9"
            << "Nothing calibrated: the channel count could not be read (code 9)" << failed;
        QTest::newRow("sensor mode") << "getModeResult=5"
                                     << "Nothing calibrated: the sensor mode could not be read (code 5)"
                                     << failed;
        QTest::newRow("no channels") << "channels=0"
                                     << "Nothing calibrated: the controller has no channels" << warning;
        QTest::newRow("not opened") << "openResult=262"
                                    << "Not opened: the controller library refused to open it: code 262"
                                    << failed;
        QTest::newRow("aborted") << "abortOn=2"
                                 << "Aborted: channel 2 stopped" << warning;
    }
    void theVerdictSaysHowTheRunWent()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, verdict);
        QFETCH(int, icon);
        std::atomic_int abortOn{-1};
        for (const QString& knob : setUp.split(' ')) {
            const QString name = knob.section('=', 0, 0);
            const uint value = knob.section('=', 1).toUInt();
            if (name == "channels")
                fake->channels = value;
            else if (name.startsWith("calibrate"))
                fake->calibrateResults[name.mid(9).toUInt()] = value;
            else if (name == "channelsResult")
                fake->channelsResult = value;
            else if (name == "getModeResult")
                fake->getModeResult = value;
            else if (name == "openResult")
                fake->openResult = value;
            else if (name == "abortOn")
                abortOn = int(value), fake->neverFinishes = {value};
        }
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        window.findChild<QComboBox*>("locator")->setEditText(QStringLiteral("sim:verdict"));
        button->click();
        if (abortOn >= 0) {
            QTRY_VERIFY(fake->calls().contains(QStringLiteral("getStatus 7 %1").arg(abortOn)));
            button->click();
        }
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        auto* status = window.findChild<StatusLine*>("statusLine");
        QCOMPARE(status->text(), verdict);
        QCOMPARE(status->icon().pixmap(32).toImage(),
                 window.style()->standardIcon(QStyle::StandardPixmap(icon)).pixmap(32).toImage());
    }

    // Why a run could not open its controller stays in the status bar until the next start, whole in
    // its tooltip and popup; the log keeps its exact texts, and the serial commands stay off
    // standard error.
    void theStatusBarSaysWhyUntilTheNextStart_data()
    {
        QTest::addColumn<bool>("serial"); // else through the controller library, which refuses
        QTest::addColumn<QString>("reason");
        QTest::newRow("the library refuses") << false << "the controller library refused to open it: code 7";
        QTest::newRow("no controller on the serial port")
            << true
            << "serial port %1: no controller answered (is it connected to this port and powered up?)";
    }
    void theStatusBarSaysWhyUntilTheNextStart()
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
        auto* status = window.findChild<StatusLine*>("statusLine");
        QCOMPARE(status->text(), "Not opened: " + expected);
        QCOMPARE(status->toolTip(), "Not opened: " + expected);
        QCOMPARE(logged, QStringList{expected}); // the journal's line; no "out:" line

        // Narrow, the line is shortened at a word's end; a click shows it whole, ready to copy.
        window.resize(200, window.height());
        window.show();
        QTRY_VERIFY(status->shownText().endsWith(QStringLiteral("\u2026")));
        QTest::mouseClick(status, Qt::LeftButton);
        auto* popup = window.findChild<DetailsPopup*>("detailsPopup");
        QVERIFY(popup);
        QCOMPARE(popup->text(), "Not opened: " + expected);
        popup->findChild<QPushButton*>("copyButton")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), "Not opened: " + expected);
        popup->close();

        button->click();
        QCOMPARE(
            status->text(),
            QStringLiteral("Starting \u00b7 %1").arg(window.findChild<QComboBox*>("locator")->currentText()));
    }

    // A status line is cut after a whole word or number, never inside one.
    void elidedAtAWordsEnd_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("fitting"); // the part that fits beside the ellipsis
        const QString held = "Not opened: serial port /dev/ttyS0: held by socat (pid 14499) and 4 more";
        QTest::newRow("fits") << held << held;
        QTest::newRow("cut after a number")
            << held << "Not opened: serial port /dev/ttyS0: held by socat (pid 14499)";
        QTest::newRow("a comma is not left dangling") << "refused to open it: code 262"
                                                      << "refused to open it";
        QTest::newRow("no word fits") << "Unbreakable"
                                      << "";
    }
    void elidedAtAWordsEnd()
    {
        QFETCH(QString, text);
        QFETCH(QString, fitting);
        const QFontMetrics metrics(QApplication::font());
        const QString ellipsis = QStringLiteral("\u2026");
        const QString expected = fitting == text ? text : fitting + ellipsis;
        // One pixel short of the next word, so a cut inside it would fit too.
        const int width =
            fitting == text ? metrics.horizontalAdvance(text)
                            : metrics.horizontalAdvance(text.left(text.indexOf(' ', fitting.size() + 1))) - 1;
        QCOMPARE(StatusLine::elided(text, metrics, qMax(width, metrics.horizontalAdvance(expected))),
                 expected);
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
        QCOMPARE(button->text(), onTheButton ? QStringLiteral("Aborting\u2026") : QStringLiteral("Abort"));
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
            QCOMPARE(button->text(), QStringLiteral("Aborting\u2026"));
            QVERIFY2(QTest::qWaitFor([&] { return log->toPlainText().endsWith("Aborting.\n"); }, 2000),
                     qPrintable(QStringLiteral("run %1: %2").arg(i).arg(log->toPlainText())));
            QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        }
    }

    // Closing the window, by hand (once the user has said so) or by a termination signal wired up
    // as the program's entry does (without asking), ends a run promptly: the calibrating channel is
    // stopped and the library released.
    void closingDuringARunEndsItPromptly_data()
    {
        QTest::addColumn<int>("signal"); // 0: the user closes the window
        QTest::newRow("closed by the user") << 0;
        QTest::newRow("SIGTERM, a logout") << int(SIGTERM);
        QTest::newRow("SIGINT, Ctrl+C in the terminal it was started from") << int(SIGINT);
        QTest::newRow("SIGHUP, the session went away") << int(SIGHUP);
    }
    void closingDuringARunEndsItPromptly()
    {
        QFETCH(int, signal);
        fake->neverFinishes = {1};
        SignalWatcher watcher;
        // Deleted also when a check fails, so that its run does not reach into the next row.
        std::unique_ptr<VKRCalibrator> window(new VKRCalibrator);
        connect(&watcher, &SignalWatcher::received, window.get(), &VKRCalibrator::closeWithoutAsking);
        window->show();
        window->findChild<QPushButton*>("calibrateButton")->click();
        QTRY_VERIFY(fake->calls().contains("getStatus 7 1"));
        QElapsedTimer timer;
        if (signal == 0) {
            window->close();
            auto* question = window->findChild<QMessageBox*>("closeQuestion");
            QVERIFY(question && question->isVisible());
            QCOMPARE(question->text(), QStringLiteral("A calibration is running. Abort it and quit?"));
            question->button(QMessageBox::No)->click();
            QVERIFY(window->isVisible());
            QTRY_VERIFY(!window->findChild<QMessageBox*>("closeQuestion"));
            window->close();
            question = window->findChild<QMessageBox*>("closeQuestion");
            QVERIFY(question && question->isVisible());
            timer.start();
            question->button(QMessageBox::Yes)->click();
        } else {
            timer.start();
            QCOMPARE(::raise(signal), 0);
        }
        QTRY_VERIFY(!window->isVisible());
        window.reset();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()))); // typically a few ms
        const QStringList calls = fake->calls();
        QCOMPARE(calls.mid(calls.size() - 2), QStringList({"stop 7 1", "release"}));
    }

    // Each run is remembered with the window as its source; a journal that cannot be written shows a
    // warning in the status bar until a write succeeds, is said once on standard error, and the next
    // run still goes.
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
        auto* warning = window.findChild<QLabel*>("journalWarning");
        QVERIFY(warning->isHidden());

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
            QTRY_COMPARE(logged.size(), run + 1);
            QVERIFY(!warning->isHidden());
            QVERIFY2(warning->toolTip().contains(journal), qPrintable(warning->toolTip()));
        }
        const QString failureSaid = warning->toolTip();
        QCOMPARE(window.findChild<StatusLine*>("statusLine")->text(),
                 QStringLiteral("Calibrated: 3 channels, 0 errors")); // the verdict is not pushed aside

        QVERIFY(QDir().rmdir(journal));
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QTRY_VERIFY(warning->isHidden());
        // Each run the journal could not take was said, naming the run.
        QCOMPARE(logged.size(), 2);
        QCOMPARE(logged.last(), failureSaid);
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

    // From the second start on, the window stands where it was left, with the last locator; a place
    // on no screen falls back to the first start's.
    void restoredGeometry_data()
    {
        QTest::addColumn<QRect>("remembered"); // invalid: nothing remembered
        QTest::addColumn<bool>("kept");
        QTest::newRow("nothing remembered") << QRect() << false;
        QTest::newRow("on the first screen") << QRect(100, 100, 500, 400) << true;
        QTest::newRow("on the second screen") << QRect(2000, 100, 500, 400) << true;
        QTest::newRow("a corner left on a screen") << QRect(-400, -300, 464, 332) << true;
        QTest::newRow("a sliver left on a screen") << QRect(-490, 100, 500, 400) << false;
        QTest::newRow("between the screens' heights") << QRect(1930, 1000, 300, 300) << false;
        QTest::newRow("on a screen unplugged since") << QRect(4000, 100, 500, 400) << false;
    }
    void restoredGeometry()
    {
        QFETCH(QRect, remembered);
        QFETCH(bool, kept);
        const QRect firstStart(792, 365, 336, 350);
        const QVector<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
        const std::optional<QRect> stored =
            remembered.isValid() ? std::optional<QRect>(remembered) : std::nullopt;
        QCOMPARE(::restoredGeometry(stored, screens, firstStart), kept ? remembered : firstStart);
    }

    void theSecondStartIsWhereTheFirstEnded()
    {
        {
            VKRCalibrator first;
            first.show();
            first.setGeometry(QRect(QPoint(40, 50), QSize(500, 420)));
            first.findChild<QComboBox*>("locator")->setEditText(QStringLiteral("sim:last"));
            first.close();
        }
        VKRCalibrator second;
        QCOMPARE(second.geometry(), QRect(QPoint(40, 50), QSize(500, 420)));
        QCOMPARE(second.findChild<QComboBox*>("locator")->currentText(), QStringLiteral("sim:last"));
    }

private:
    QTemporaryDir config;
    FakeControllerLibrary* fake = nullptr;
};

QTEST_MAIN(VKRCalibratorTest)
#include "tst_vkrcalibrator.moc"
