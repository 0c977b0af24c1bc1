// The reply parser: what the controller may send and what it must not.
#include "replyparser.h"

#include <QtTest>

class ReplyParserTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<uint32_t>("result");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<uint32_t>>("values");
        using V = QList<uint32_t>;
        QTest::newRow("acknowledge -1, 0") << ":E-1,0\n" << 0u << "E" << V{4294967295u, 0};
        QTest::newRow("noise before colon") << "\x01\xff#x:N4\n" << 0u << "N" << V{4};
        QTest::newRow("leftover fragment") << "1,6:S1,6\n" << 0u << "S" << V{1, 6};
        QTest::newRow("second colon starts garbage") << "ab:E:1,0\n" << 14u << "" << V{};
        QTest::newRow("four values, four letters") << ":ABCD1,2,3,4\n" << 0u << "ABCD" << V{1, 2, 3, 4};
        QTest::newRow("IV with three") << ":IV1,-2,3\n" << 0u << "IV" << V{1, 4294967294u, 3};
        QTest::newRow("leading zeros") << ":N007\n" << 0u << "N" << V{7};
        QTest::newRow("unsigned maximum") << ":N4294967295\n" << 0u << "N" << V{4294967295u};
        QTest::newRow("signed minimum") << ":N-2147483648\n" << 0u << "N" << V{2147483648u};
        QTest::newRow("unsigned too large") << ":N4294967296\n" << 12u << "" << V{};
        QTest::newRow("signed too small") << ":N-2147483649\n" << 12u << "" << V{};
        QTest::newRow("later value too large") << ":S1,99999999999999999999\n" << 12u << "" << V{};
        QTest::newRow("no colon") << "N4\n" << 14u << "" << V{};
        QTest::newRow("empty") << "" << 14u << "" << V{};
        QTest::newRow("five letters") << ":ABCDE1\n" << 14u << "" << V{};
        QTest::newRow("five values") << ":E1,2,3,4,5\n" << 14u << "" << V{};
        QTest::newRow("lower case") << ":e-1,0\n" << 14u << "" << V{};
        QTest::newRow("space") << ":E -1,0\n" << 14u << "" << V{};
        QTest::newRow("carriage return") << ":E-1,0\r\n" << 14u << "" << V{};
        QTest::newRow("no line feed") << ":E-1,0" << 14u << "" << V{};
        QTest::newRow("two line feeds") << ":E-1,0\n\n" << 14u << "" << V{};
        QTest::newRow("no value") << ":E\n" << 14u << "" << V{};
        QTest::newRow("empty value") << ":E1,,0\n" << 14u << "" << V{};
        QTest::newRow("plus sign") << ":E+1\n" << 14u << "" << V{};
        QTest::newRow("non-ASCII digit") << QString(":N") + QChar(0x0663) + "\n" << 14u << "" << V{};
    }
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(uint32_t, result);
        QFETCH(QString, name);
        QFETCH(QList<uint32_t>, values);
        Reply reply;
        QCOMPARE(ReplyParser::parse(line, reply), result);
        if (result != 0)
            return;
        QCOMPARE(reply.name, name);
        QCOMPARE(reply.count, uint32_t(values.size()));
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(reply.values[i], values.at(i));
    }
};

QTEST_GUILESS_MAIN(ReplyParserTest)
#include "tst_replyparser.moc"
