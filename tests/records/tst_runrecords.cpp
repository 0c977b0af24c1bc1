// What a run records, checked on the record itself: each simulator scenario's outcome, failures
// and channels as the codec writes them; the faults of the journal a record goes to; --since.
#include "filecalls.h"
#include "historyjournal.h"
#include "historyreader.h"
#include "journalwriter.h"
#include "options.h"
#include "reportfile.h"
#include "runaftermath.h"
#include "runrecorder.h"
#include "runrecordjson.h"
#include "threadsanitizer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

RunRecord aRun(const QString& locator)
{
    RunRecord record;
    record.locator = locator;
    record.source = RunRecord::Source::CommandLine;
    record.started = record.finished = QDateTime::currentDateTimeUtc();
    return record;
}

QStringList lines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList read;
    for (const QByteArray& line : file.readAll().split('\n'))
        read << QString::fromUtf8(line);
    return read;
}

// A sync that hangs until the test lets it go (10 s at most), as on a stuck NFS server.
std::promise<void> syncReached;
std::promise<void> syncLetGo;
int hungSync(int)
{
    static const std::shared_future<void> letGo = syncLetGo.get_future().share();
    static std::once_flag reached;
    std::call_once(reached, [] { syncReached.set_value(); });
    letGo.wait_for(std::chrono::seconds(10));
    return 0;
}

// A disk on which a sync takes 80 ms: programs that end runs together then keep one another
// waiting for the lock far longer than a sync.
int slowSync(int descriptor)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    return FileCalls::systemSyncData(descriptor);
}

// The locators of every whole record in the file, one for each line that reads as a run.
QStringList runsIn(const QString& path)
{
    QStringList runs;
    for (const QString& line : lines(path)) {
        RunRecord read;
        if (RunRecordJson::fromJson(QJsonDocument::fromJson(line.toUtf8()).object(), read))
            runs << read.locator;
    }
    return runs;
}

} // namespace

class RunRecordsTest : public QObject
{
    Q_OBJECT

private slots:
    // Programs that end runs at once on one journal and one report take the files' locks in turn:
    // every run of a program that lived is in both, once, and a program killed in the middle of
    // its appends leaves no torn line and loses nobody else's runs. First, while the test has no
    // thread of its own that a fork could catch in the middle of something.
    void manyProgramsAppendingAtOnceLoseNothing_data()
    {
        QTest::addColumn<int>("programs");
        QTest::addColumn<int>("runs");
        QTest::addColumn<int>("killed"); // every killed-th program is killed once it has begun
        QTest::newRow("10 programs, 6 runs each") << 10 << 6 << 0;
        QTest::newRow("10 programs, 6 runs each, every third killed") << 10 << 6 << 3;
    }
    void manyProgramsAppendingAtOnceLoseNothing()
    {
        QFETCH(int, programs);
        QFETCH(int, runs);
        QFETCH(int, killed);
        if (UnderThreadSanitizer)
            QSKIP("ThreadSanitizer ends a forked child of a threaded test that starts a thread");
        QTemporaryDir folder;
        const QString journalPath = folder.filePath(QStringLiteral("history.jsonl"));
        const QString reportPath = folder.filePath(QStringLiteral("report.jsonl"));
        int begun[2];
        QCOMPARE(::pipe(begun), 0);
        QVector<pid_t> children;
        for (int program = 0; program < programs; ++program) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child > 0) {
                children << child;
                continue;
            }
            FileCalls::replaceSyncData(slowSync);
            auto report = std::make_shared<ReportFile>();
            QString error;
            if (!report->open(reportPath, error))
                ::_exit(2);
            int lost = 0;
            {
                RunAftermath aftermath(std::make_shared<HistoryJournal>(journalPath), report);
                for (int run = 0; run < runs; ++run) {
                    aftermath.keep(aRun(QStringLiteral("p%1-r%2").arg(program).arg(run)));
                    // Each run ends on its own, after the last one's record is written.
                    aftermath.waitUntilWritten(std::chrono::seconds(30));
                    if (run == 0 && ::write(begun[1], "b", 1) != 1)
                        ::_exit(3);
                }
                lost = aftermath.reportRecordsLost() + aftermath.historyRecordsLost();
            }
            ::_exit(lost == 0 ? 0 : 1);
        }
        ::close(begun[1]);
        for (int program = 0; killed > 0 && program < programs; program += killed) {
            char byte;
            QCOMPARE(::read(begun[0], &byte, 1), ssize_t(1));
            ::kill(children[program], SIGKILL);
        }
        ::close(begun[0]);
        QStringList expected;
        for (int program = 0; program < programs; ++program) {
            int status = 0;
            QCOMPARE(::waitpid(children[program], &status, 0), children[program]);
            if (killed > 0 && program % killed == 0)
                continue;
            QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, qPrintable(QString::number(status)));
            for (int run = 0; run < runs; ++run)
                expected << QStringLiteral("p%1-r%2").arg(program).arg(run);
        }
        for (const QString& path : {journalPath, reportPath}) {
            const QStringList stored = runsIn(path);
            QCOMPARE(stored.size(), QSet<QString>(stored.begin(), stored.end()).size());
            for (const QString& run : expected)
                QVERIFY2(stored.contains(run),
                         qPrintable(path + QStringLiteral(": no ") + run + QStringLiteral(" in ") +
                                    stored.join(QLatin1Char(' '))));
            // Every line is a whole run; a killed program's torn line would not read as one.
            QCOMPARE(stored.size(), lines(path).filter(QStringLiteral("{")).size());
        }
    }

    // The stand-in controller library plays each scenario; the record tells it as the log does,
    // and reads back from its JSON as it was.
    void aRunRecordsWhatHappened_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("errors");
        QTest::addColumn<QByteArray>("failures");
        QTest::addColumn<QString>("channels");
        QTest::newRow("calibrated") << "sim:channels=3,time=0"
                                    << "calibrated" << 0 << QByteArray("[]")
                                    << "calibrated calibrated calibrated";
        QTest::newRow("no sensor") << "sim:channels=2,time=0,nosensor=1"
                                   << "calibrated" << 0 << QByteArray("[]") << "calibrated no-sensor";
        QTest::newRow("channel failures")
            << "sim:channels=3,time=0,fail-calibrate@1=17,fail-status@2=5"
            << "calibrated-with-errors" << 2
            << QByteArray(R"([{"channel":1,"code":17,"step":"calibrateSensor"},)"
                          R"({"channel":2,"code":5,"step":"getStatus"}])")
            << "calibrated failed failed";
        QTest::newRow("channel count not read")
            << "sim:fail-channels=9"
            << "incomplete" << 0 << QByteArray(R"([{"code":9,"step":"getNumberOfChannels"}])") << "";
        QTest::newRow("sensor mode not set")
            << "sim:mode=0,fail-setmode=6"
            << "incomplete" << 1 << QByteArray(R"([{"code":6,"step":"setSensorEnabled"}])") << "";
        QTest::newRow("not opened") << "nothing"
                                    << "not-opened" << 0 << QByteArray(R"([{"code":21,"step":"open"}])")
                                    << "";
        QTest::newRow("aborted") << "sim:channels=2,stuck=0"
                                 << "aborted" << 0 << QByteArray("[]") << "aborted";
    }
    void aRunRecordsWhatHappened()
    {
        QFETCH(QString, locator);
        WorkThread worker;
        worker.setSource(RunRecord::Source::Tango);
        RunRecorder recorder(worker);
        connect(&worker, &WorkThread::logMessage, &worker, [&](const QString& message) {
            if (message.contains(QLatin1String("calibrating")) && locator.contains(QLatin1String("stuck")))
                worker.abort();
        });
        QVERIFY(recorder.run(locator, 20000));
        const RunRecord record = worker.lastRecord();
        const QJsonObject json = RunRecordJson::toJson(record);
        QCOMPARE(json["locator"].toString(), locator);
        QCOMPARE(json["source"].toString(), QStringLiteral("tango"));
        QVERIFY(!record.host.isEmpty() && record.started <= record.finished);
        QTEST(json["outcome"].toString(), "outcome");
        QTEST(json["errors"].toInt(), "errors");
        QTEST(QJsonDocument(json["failures"].toArray()).toJson(QJsonDocument::Compact), "failures");
        QStringList results;
        for (const QJsonValue& channel : json["channels"].toArray())
            results << channel["result"].toString();
        QTEST(results.join(QLatin1Char(' ')), "channels");
        RunRecord readBack;
        QVERIFY(RunRecordJson::fromJson(json, readBack));
        QCOMPARE(RunRecordJson::toJson(readBack), json);
    }

    // A journal that cannot take a record says why, at once or when the lock wait has passed, and
    // leaves the history as it was.
    void aJournalFaultIsSaidAtOnce_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason"); // empty: the record goes in
        QTest::newRow("a FIFO") << "fifo"
                                << "FIFO";
        QTest::newRow("a folder") << "folder"
                                  << "folder";
        QTest::newRow("a FIFO as the previous generation, at rotation") << "previous fifo"
                                                                        << "previous generation";
        QTest::newRow("locked by a program that hangs") << "locked"
                                                        << "lock";
        QTest::newRow("a field of 1 MB rotates nothing away") << "long field"
                                                              << "";
        QTest::newRow("a sync that fails keeps the line") << "sync fails"
                                                          << "could not sync: Input/output error";
    }
    void aJournalFaultIsSaidAtOnce()
    {
        QFETCH(QString, fault);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("history.jsonl"));
        const QByteArray name = QFile::encodeName(path);
        constexpr qint64 RotationSize = 256 * 1024;
        constexpr std::chrono::milliseconds LockWait{300};
        HistoryJournal journal(path, RotationSize, LockWait);
        QString error;
        for (int i = 0; i < 100 && fault != QLatin1String("fifo") && fault != QLatin1String("folder"); ++i)
            QVERIFY2(journal.append(aRun(QStringLiteral("sim:%1").arg(i)), error), qPrintable(error));
        RunRecord record = aRun(QStringLiteral("sim:new"));
        int held = -1;
        if (fault == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (fault == QLatin1String("folder"))
            QVERIFY(QDir().mkdir(path));
        else if (fault == QLatin1String("previous fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(HistoryJournal::previousGeneration(path)).constData(), 0600) ==
                        0 &&
                    QFile::resize(path, RotationSize + 1));
        else if (fault == QLatin1String("locked"))
            QVERIFY((held = ::open(name.constData(), O_RDONLY | O_CLOEXEC)) >= 0 &&
                    ::flock(held, LOCK_EX) == 0);
        else if (fault == QLatin1String("sync fails"))
            FileCalls::replaceSyncData([](int) {
                errno = EIO;
                return -1;
            });
        else
            record.locator = QString(1024 * 1024, QLatin1Char('x'));
        // A FIFO is never read here: that would wait for a writer.
        const bool special = fault == QLatin1String("fifo") || fault == QLatin1String("folder");
        const QStringList before = special ? QStringList() : lines(path);
        QElapsedTimer clock;
        clock.start();
        bool appended = journal.append(record, error) && journal.append(record, error);
        if (fault == QLatin1String("locked"))
            appended = journal.append(record, error);
        const qint64 took = clock.elapsed();
        FileCalls::replaceSyncData(nullptr);
        if (held >= 0)
            ::close(held);
        QFETCH(QString, reason);
        QVERIFY2(appended == reason.isEmpty() && error.contains(reason), qPrintable(error));
        QVERIFY2(took < 5000, qPrintable(QString::number(took)));
        // A lock kept by another program is waited for again by every later record.
        if (fault == QLatin1String("locked"))
            QVERIFY2(took >= 2 * LockWait.count(), qPrintable(QString::number(took)));
        if (!appended) {
            // A line written whole stays when only its sync failed: the disk may well have it.
            if (!special)
                QCOMPARE(lines(path).filter("sim:new").size(), int(fault == QLatin1String("sync fails")));
            if (!special && fault != QLatin1String("sync fails"))
                QCOMPARE(lines(path), before);
            return;
        }
        // Both long records went in whole, capped, and the journal kept its runs.
        const QStringList after = lines(path);
        QCOMPARE(after.size(), before.size() + 2);
        QCOMPARE(after.mid(0, before.size() - 1), before.mid(0, before.size() - 1));
        QVERIFY(after[after.size() - 2].size() <= RunRecordJson::LineLimit);
        QVERIFY(after[after.size() - 2].contains(QLatin1String(RunRecordJson::ShortenedMark)));
        QVERIFY(after[after.size() - 2].contains(QLatin1String("\"shortened\":true"))); // only a text was cut
    }

    // Two programs append to one file on a disk that fills up (a file size limit stands in for
    // it): every line either one was told is written is there, and there is no torn line.
    void appendsOnAFullDiskTakeBackOnlyTheirOwnBytes()
    {
        if (UnderThreadSanitizer)
            QSKIP("ThreadSanitizer ends a forked child of a threaded test that starts a thread");
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("history.jsonl"));
        const RunRecord record = aRun(QString(2000, QLatin1Char('y')));
        int reports[2];
        QCOMPARE(::pipe(reports), 0);
        const auto appendUntilFull = [&](const char* who) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit;
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 200 * 1024;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            HistoryJournal journal(path);
            QStringList written;
            for (int i = 0; i < 200; ++i) {
                RunRecord mine = record;
                mine.locator = QStringLiteral("%1-%2-").arg(QLatin1String(who)).arg(i) + record.locator;
                QString error;
                if (journal.append(mine, error))
                    written << mine.locator.left(12);
            }
            return written;
        };
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const QByteArray told = appendUntilFull("child").join(QLatin1Char('\n')).toUtf8();
            const bool sent = ::write(reports[1], told.constData(), std::size_t(told.size())) == told.size();
            ::_exit(sent ? 0 : 1);
        }
        ::close(reports[1]);
        rlimit kept;
        ::getrlimit(RLIMIT_FSIZE, &kept);
        QStringList told = appendUntilFull("parent");
        ::setrlimit(RLIMIT_FSIZE, &kept);
        QByteArray fromChild;
        char buffer[4096];
        for (ssize_t got; (got = ::read(reports[0], buffer, sizeof buffer)) > 0;)
            fromChild.append(buffer, int(got));
        ::close(reports[0]);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        told += QString::fromUtf8(fromChild).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QStringList stored;
        const QStringList inFile = lines(path);
        QCOMPARE(inFile.last(), QString()); // ends with a line feed
        for (const QString& line : inFile.mid(0, inFile.size() - 1)) {
            RunRecord read;
            QVERIFY2(RunRecordJson::fromJson(QJsonDocument::fromJson(line.toUtf8()).object(), read),
                     qPrintable(line.left(40)));
            stored << read.locator.left(12);
        }
        for (const QString& line : told)
            QVERIFY2(stored.contains(line), qPrintable(line));
        QVERIFY(stored.size() < 400); // the disk did fill up
    }

    // A sync that hangs holds up no program that quits: the writer waits its bound, names each
    // run it leaves, and the thread it leaves behind ends on its own when the sync does.
    void aHungJournalLetsTheProgramQuit()
    {
        QTemporaryDir folder;
        auto journal = std::make_shared<HistoryJournal>(folder.filePath(QStringLiteral("history.jsonl")));
        const std::weak_ptr<HistoryJournal> left = journal;
        QTemporaryFile said;
        const int stderrKept = ::dup(2);
        FileCalls::replaceSyncData(hungSync);
        {
            JournalWriter writer(std::move(journal), std::chrono::milliseconds(300));
            writer.append(aRun(QStringLiteral("sim:hung")));
            writer.append(aRun(QStringLiteral("sim:queued")));
            QVERIFY(syncReached.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready);
            QVERIFY(said.open() && ::dup2(said.handle(), 2) == 2);
        }
        ::dup2(stderrKept, 2);
        syncLetGo.set_value();
        QTRY_VERIFY_WITH_TIMEOUT(left.expired(), 10000);
        FileCalls::replaceSyncData(nullptr);
        const QString text = QString::fromLocal8Bit(said.seek(0) ? said.readAll() : QByteArray());
        // The second run goes with the first when it was queued before the writer took the first.
        QVERIFY2(
            text.contains(QRegularExpression("sim:hung started \\S+ may not be in .*history.jsonl\n.*"
                                             "sim:queued started \\S+ (is not written to|may not be in)")),
            qPrintable(text));
        QVERIFY(lines(folder.filePath(QStringLiteral("history.jsonl"))).join(' ').contains("sim:hung\""));
    }

    // --since: a local date, or date and time to the minute or second, and nothing else.
    void sinceTakesADateWithOrWithoutATime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("since"); // invalid: refused
        const QDate day(2026, 12, 8);
        QTest::newRow("date") << "2026-12-08" << QDateTime(day, QTime(0, 0), Qt::LocalTime);
        QTest::newRow("minute") << "2026-12-08T23:30" << QDateTime(day, QTime(23, 30), Qt::LocalTime);
        QTest::newRow("second") << "2026-12-08T23:30:15" << QDateTime(day, QTime(23, 30, 15), Qt::LocalTime);
        for (const char* wrong : {"2026-12-08x", "2026-12-08T23", "2026-12-08 23:30", "2026-13-01",
                                  "2026-12-08T23:30Z", "2026-12-08T24:00", "yesterday", ""})
            QTest::newRow(wrong) << wrong << QDateTime();
    }
    void sinceTakesADateWithOrWithoutATime()
    {
        QFETCH(QString, text);
        QTEST(Options::sinceTime(text), "since");
    }

    // A journal over its size becomes the previous generation, which replaces the one before; a
    // journal within its size takes the next line whatever its length. The reader takes the previous
    // generation first.
    void rotatesKeepingOneGeneration()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("deeper/history.jsonl"));
        RunRecord record;
        record.started = record.finished = QDateTime::currentDateTimeUtc();
        const auto lineSize = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll().size() : 0;
        };
        HistoryJournal first(path);
        QString error;
        record.locator = QStringLiteral("sim:1");
        QVERIFY2(first.append(record, error), qPrintable(error));
        // Room for one line and a half.
        HistoryJournal journal(path, lineSize() * 3 / 2);
        for (const char* locator : {"sim:2", "sim:3", "sim:4", "sim:5"}) {
            record.locator = QLatin1String(locator);
            QVERIFY2(journal.append(record, error), qPrintable(error));
        }

        HistoryReader reader(path);
        QVector<HistoryReader::Entry> entries;
        QStringList warnings;
        QVERIFY2(reader.read(
                     {}, [&](HistoryReader::Entry&& entry) { entries.append(entry); },
                     [&](const QString& warning) { warnings << warning; }, error),
                 qPrintable(error));
        QStringList locators;
        for (const HistoryReader::Entry& entry : entries)
            locators << entry.record.locator;
        QCOMPARE(locators, QStringList({"sim:3", "sim:4", "sim:5"}));
        QVERIFY(warnings.isEmpty());
        QVERIFY(!QFile::exists(path + QStringLiteral(".lock")));
    }
};

QTEST_GUILESS_MAIN(RunRecordsTest)
#include "tst_runrecords.moc"
