// The calibration history's journal on its own: rotation to one kept generation, read back in order.
#include "historyjournal.h"
#include "historyreader.h"

#include <QtTest>

class HistoryJournalTest : public QObject
{
    Q_OBJECT

private slots:
    // A journal that would grow past its size becomes the previous generation, which replaces the
    // one before; the reader takes the previous generation first.
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
        for (const QString& locator : {QStringLiteral("sim:2"), QStringLiteral("sim:3")}) {
            record.locator = locator;
            QVERIFY2(journal.append(record, error), qPrintable(error));
        }

        HistoryReader reader(path);
        QVector<HistoryReader::Entry> entries;
        QVERIFY2(reader.read({}, entries, error), qPrintable(error));
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0].record.locator, QStringLiteral("sim:2"));
        QCOMPARE(entries[1].record.locator, QStringLiteral("sim:3"));
        QVERIFY(reader.warnings().isEmpty());
        QVERIFY(!QFile::exists(path + QStringLiteral(".lock")));
    }
};

QTEST_GUILESS_MAIN(HistoryJournalTest)
#include "tst_historyjournal.moc"
