// Serial port listing over prepared /dev and /sys trees.
#include "serialportlister.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

// Builds a tree from entries "path" (an empty file), "path/" (a folder), "path -> target" (a
// symbolic link) and "path=text" (a file holding text), all relative to root.
bool buildTree(const QString& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.endsWith('/')) {
            if (!QDir().mkpath(root + '/' + entry))
                return false;
            continue;
        }
        const int arrow = entry.indexOf(" -> ");
        const int equals = entry.indexOf('=');
        const QString path = root + '/' +
                             (arrow >= 0    ? entry.left(arrow)
                              : equals >= 0 ? entry.left(equals)
                                            : entry);
        if (!QDir().mkpath(QFileInfo(path).path()))
            return false;
        if (arrow >= 0) {
            if (!QFile::link(entry.mid(arrow + 4), path))
                return false;
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        if (equals >= 0)
            file.write(entry.mid(equals + 1).toUtf8());
    }
    return true;
}

QStringList relativeTo(const QString& root, const std::vector<std::string>& paths)
{
    QStringList relative;
    for (const std::string& path : paths) {
        const QString text = QString::fromStdString(path);
        relative << (text.startsWith(root + '/') ? text.mid(root.size() + 1) : "outside:" + text);
    }
    return relative;
}

} // namespace

class TestSerialPortLister : public QObject
{
    Q_OBJECT

private slots:
    void ports_data();
    void ports();
    void rootGivenThroughALink();
    void naturalOrder_data();
    void naturalOrder();
};

void TestSerialPortLister::ports_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty dev") << QStringList({"dev/", "sys/"}) << QStringList();
    QTest::newRow("missing roots") << QStringList() << QStringList();
    QTest::newRow("usb and acm, natural order")
        << QStringList({"dev/ttyUSB10", "dev/ttyUSB2", "dev/ttyACM0", "dev/ttyUSB0"})
        << QStringList({"dev/ttyACM0", "dev/ttyUSB0", "dev/ttyUSB2", "dev/ttyUSB10"});
    QTest::newRow("other ttys are not serial ports")
        << QStringList({"dev/tty0", "dev/tty1", "dev/console", "dev/ttyUSB", "dev/ttyUSBx", "dev/ttyACM0a",
                        "dev/ptmx", "dev/usbmon0"})
        << QStringList();
    QTest::newRow("only ttyS with a real UART")
        << QStringList({"dev/ttyS0", "dev/ttyS1", "dev/ttyS2", "dev/ttyS3", "dev/ttyS4",
                        "sys/class/tty/ttyS0/type=4\n", "sys/class/tty/ttyS1/type=0\n",
                        "sys/class/tty/ttyS3/type= 2", "sys/class/tty/ttyS4/type=junk"})
        << QStringList({"dev/ttyS0", "dev/ttyS3"});
    QTest::newRow("by-id replaces the device it names, and comes first")
        << QStringList({"dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyACM0",
                        "dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0 -> ../../ttyUSB1"})
        << QStringList(
               {"dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", "dev/ttyACM0", "dev/ttyUSB0"});
    QTest::newRow("two by-id names of one device: the smaller")
        << QStringList({"dev/ttyUSB0", "dev/serial/by-id/usb-b-if00 -> ../../ttyUSB0",
                        "dev/serial/by-id/usb-a-if00 -> ../../ttyUSB0"})
        << QStringList({"dev/serial/by-id/usb-a-if00"});
    QTest::newRow("by-id name with a colon falls back to the device")
        << QStringList({"dev/ttyACM0", "dev/ttyXR7", "dev/serial/by-id/usb-Odd:Name-if00 -> ../../ttyACM0",
                        "dev/serial/by-id/usb-Also:Odd -> ../../ttyXR7"})
        << QStringList({"dev/ttyACM0", "dev/ttyXR7"});
    QTest::newRow("by-id name for a device the scan does not know")
        << QStringList({"dev/ttyXRUSB0", "dev/serial/by-id/usb-Exar-if00 -> ../../ttyXRUSB0"})
        << QStringList({"dev/serial/by-id/usb-Exar-if00"});
    QTest::newRow("by-id name for a ttyS without UART type")
        << QStringList(
               {"dev/ttyS5", "sys/class/tty/ttyS5/type=0", "dev/serial/by-id/pci-Card -> ../../ttyS5"})
        << QStringList({"dev/serial/by-id/pci-Card"});
    QTest::newRow("dangling and directory links are skipped")
        << QStringList({"dev/ttyUSB0", "dev/serial/by-id/usb-Gone -> ../../ttyUSB9",
                        "dev/serial/by-id/usb-Dir -> ..", "dev/serial/by-path/pci-0:1 -> ../../ttyUSB0"})
        << QStringList({"dev/ttyUSB0"});
    QTest::newRow("several by-id devices sorted")
        << QStringList({"dev/ttyUSB0", "dev/ttyUSB1", "dev/serial/by-id/usb-Z -> ../../ttyUSB0",
                        "dev/serial/by-id/usb-A -> ../../ttyUSB1"})
        << QStringList({"dev/serial/by-id/usb-A", "dev/serial/by-id/usb-Z"});
}

void TestSerialPortLister::ports()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QVERIFY(buildTree(root, tree));

    const SerialPortLister lister((root + "/dev").toStdString(), (root + "/sys").toStdString());
    QCOMPARE(relativeTo(root, lister.ports()), expected);
}

// The paths name the devices under the resolved root, so a by-id link and the device it points to
// still count as one.
void TestSerialPortLister::rootGivenThroughALink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QVERIFY(buildTree(root, {"real/ttyUSB0", "real/ttyUSB1", "real/serial/by-id/usb-A -> ../../ttyUSB0",
                             "devlink -> real"}));

    const SerialPortLister lister((root + "/devlink").toStdString(), (root + "/sys").toStdString());
    QCOMPARE(relativeTo(root, lister.ports()), QStringList({"real/serial/by-id/usb-A", "real/ttyUSB1"}));
}

void TestSerialPortLister::naturalOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("less");

    QTest::newRow("smaller number") << "ttyUSB2"
                                    << "ttyUSB10" << true;
    QTest::newRow("larger number") << "ttyUSB10"
                                   << "ttyUSB2" << false;
    QTest::newRow("text decides first") << "ttyACM9"
                                        << "ttyUSB0" << true;
    QTest::newRow("prefix first") << "ttyS"
                                  << "ttyS0" << true;
    QTest::newRow("equal") << "ttyS1"
                           << "ttyS1" << false;
    QTest::newRow("leading zeros compare by value") << "a007"
                                                    << "a10" << true;
    QTest::newRow("same value, zeros break the tie") << "a01"
                                                     << "a1" << true;
    QTest::newRow("same value, reversed") << "a1"
                                          << "a01" << false;
    QTest::newRow("numbers in the middle") << "x2y9"
                                           << "x10y1" << true;
}

void TestSerialPortLister::naturalOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, less);
    QCOMPARE(SerialPortLister::naturalLess(a.toStdString(), b.toStdString()), less);
}

QTEST_GUILESS_MAIN(TestSerialPortLister)
#include "tst_serialportlister.moc"
