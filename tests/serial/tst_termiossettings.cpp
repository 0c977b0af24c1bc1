#include "termiossettings.h"

#include <QtTest>

#include <cstring>

// What the port is told, checked on the termios record itself: a pseudo-terminal cannot show data bits or
// parity, so this is where 8N1 is proven.
class TestTermiosSettings : public QObject
{
    Q_OBJECT

private:
    // A cooked terminal with a 7E2 line, every translation on and both kinds of flow control.
    static termios cookedSevenEvenTwo()
    {
        termios settings;
        std::memset(&settings, 0, sizeof settings);
        settings.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS;
#ifdef CMSPAR
        settings.c_cflag |= CMSPAR;
#endif
        settings.c_iflag =
            IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
        settings.c_oflag = OPOST | ONLCR | OCRNL;
        settings.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 5;
        settings.c_cc[VINTR] = 3;
        cfsetispeed(&settings, B300);
        cfsetospeed(&settings, B300);
        return settings;
    }

private slots:
    void makesRawEightNoneOne()
    {
        termios settings = cookedSevenEvenTwo();
        QVERIFY(TermiosSettings::applyLineSettings(settings, 115200));

        QCOMPARE(cfgetispeed(&settings), speed_t(B115200));
        QCOMPARE(cfgetospeed(&settings), speed_t(B115200));
        QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(settings.c_cflag & (PARENB | PARODD | CSTOPB), tcflag_t(0));
#ifdef CMSPAR
        QCOMPARE(settings.c_cflag & CMSPAR, tcflag_t(0));
#endif
        QCOMPARE(settings.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
        QCOMPARE(settings.c_iflag & (IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL),
                 tcflag_t(0));
        QCOMPARE(settings.c_oflag & (OPOST | ONLCR | OCRNL), tcflag_t(0));
        QCOMPARE(settings.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(int(settings.c_cc[VMIN]), 1);
        QCOMPARE(int(settings.c_cc[VTIME]), 0);

        // Flow control, and what is neither framing nor raw mode, stays as the port had it.
        QVERIFY(settings.c_cflag & CRTSCTS);
        QCOMPARE(settings.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(IXON | IXOFF | IXANY));
        QVERIFY(settings.c_cflag & HUPCL);
        QCOMPARE(int(settings.c_cc[VINTR]), 3);
    }

    void mapsBaudRates_data()
    {
        QTest::addColumn<uint>("baudRate");
        QTest::addColumn<bool>("known");
        QTest::addColumn<uint>("speed");
        QTest::newRow("4800") << 4800u << true << uint(B4800);
        QTest::newRow("9600") << 9600u << true << uint(B9600);
        QTest::newRow("115200") << 115200u << true << uint(B115200);
        QTest::newRow("0 (hang up, not a rate)") << 0u << false << 0u;
        QTest::newRow("9601") << 9601u << false << 0u;
        QTest::newRow("speed constant passed as a rate") << uint(B115200) << false << 0u;
    }

    void mapsBaudRates()
    {
        QFETCH(uint, baudRate);
        QFETCH(bool, known);
        QFETCH(uint, speed);

        termios settings = cookedSevenEvenTwo();
        const termios before = settings;
        QCOMPARE(TermiosSettings::applyLineSettings(settings, baudRate), known);
        if (!known) {
            QVERIFY(std::memcmp(&settings, &before, sizeof settings) == 0);
            return;
        }
        QCOMPARE(uint(cfgetospeed(&settings)), speed);
        uint32_t back = 0;
        QVERIFY(TermiosSettings::baudRateForSpeed(speed_t(speed), back));
        QCOMPARE(uint(back), baudRate);
    }
};

QTEST_APPLESS_MAIN(TestTermiosSettings)
#include "tst_termiossettings.moc"
