// The locator list as both stand-in libraries write it into a caller's buffer.
#include "locatorlist.h"

#include <QtTest>

#include <vector>

class TestLocatorList : public QObject
{
    Q_OBJECT

private slots:
    void write_data();
    void write();
    void zeroSizeBufferStaysUntouched();
};

void TestLocatorList::write_data()
{
    QTest::addColumn<QStringList>("locators");
    QTest::addColumn<uint>("bufferSize");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("complete");

    const QStringList two{"a:1", "bc:22"}; // "a:1\nbc:22\n" and the zero: 11 bytes
    QTest::newRow("nothing found") << QStringList() << 1u << QByteArray("") << true;
    QTest::newRow("exact size") << two << 11u << QByteArray("a:1\nbc:22\n") << true;
    QTest::newRow("roomy buffer") << two << 4096u << QByteArray("a:1\nbc:22\n") << true;
    QTest::newRow("one byte short drops the last locator") << two << 10u << QByteArray("a:1\n") << false;
    QTest::newRow("room for the first only") << two << 5u << QByteArray("a:1\n") << false;
    QTest::newRow("first does not fit") << two << 4u << QByteArray("") << false;
    QTest::newRow("only the zero fits") << two << 1u << QByteArray("") << false;
    QTest::newRow("a later short locator stays out too")
        << QStringList({"x:1", "long:locator", "y:2"}) << 10u << QByteArray("x:1\n") << false;
}

void TestLocatorList::write()
{
    QFETCH(QStringList, locators);
    QFETCH(uint, bufferSize);
    QFETCH(QByteArray, text);
    QFETCH(bool, complete);

    std::vector<std::string> list;
    uint32_t required = 1;
    for (const QString& locator : locators) {
        list.push_back(locator.toStdString());
        required += uint32_t(locator.size()) + 1;
    }

    // Guard bytes after the buffer show any write beyond its size.
    const char fill = '#';
    QByteArray memory(int(bufferSize) + 16, fill);
    const LocatorListResult result = writeLocatorList(list, memory.data(), bufferSize);

    QCOMPARE(result.complete, complete);
    QCOMPARE(result.requiredSize, required);
    QCOMPARE(QByteArray(memory.constData()), text);
    QCOMPARE(memory.mid(int(bufferSize)), QByteArray(16, fill));
}

void TestLocatorList::zeroSizeBufferStaysUntouched()
{
    char byte = '#';
    const LocatorListResult result = writeLocatorList({"a:1"}, &byte, 0);
    QVERIFY(!result.complete);
    QCOMPARE(result.requiredSize, 5u);
    QCOMPARE(byte, '#');
}

QTEST_GUILESS_MAIN(TestLocatorList)
#include "tst_locatorlist.moc"
