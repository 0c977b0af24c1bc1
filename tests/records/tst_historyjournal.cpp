// The calibration history's journal on its own: rotation to one kept generation, read back in order.
#include "historyjournal.h"
#include "historyreader.h"

#include <QtTest>

class HistoryJournalTest : public QObject
{
    Q_OBJECT

private slots:
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
        QVERIFY2(reader.read({}, entries, error), qPrintable(error));
        QStringList locators;
        for (const HistoryReader::Entry& entry : entries)
            locators << entry.record.locator;
        QCOMPARE(locators, QStringList({"sim:3", "sim:4", "sim:5"}));
        QVERIFY(reader.warnings().isEmpty());
        QVERIFY(!QFile::exists(path + QStringLiteral(".lock")));
    }
};

QTEST_GUILESS_MAIN(HistoryJournalTest)
#include "tst_historyjournal.moc"
