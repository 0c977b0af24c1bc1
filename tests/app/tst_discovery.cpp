// Filling the locator list from the two libraries, at start-up and on every refresh.
#include "controllerdiscovery.h"
#include "fakecontrollerlibrary.h"
#include "vkrcalibrator.h"

#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

namespace {
QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}
} // namespace

class DiscoveryTest : public QObject
{
    Q_OBJECT

private slots:
    // A locator remembered by the user's own window would fill the field instead of discovery.
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    }

    void splitting_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("locators");
        QTest::newRow("each followed by a line feed")
            << QByteArray("a:1\nb:2\n") << QStringList{"a:1", "b:2"};
        QTest::newRow("doubled, no final line feed") << QByteArray("a:1\n\nb:2") << QStringList{"a:1", "b:2"};
        QTest::newRow("empty") << QByteArray("") << QStringList{};
        QTest::newRow("only line feeds") << QByteArray("\n\n") << QStringList{};
        QTest::newRow("kept as they are") << QByteArray(" x\r\nx\nx\n") << QStringList{" x\r", "x", "x"};
        QTest::newRow("UTF-8") << QByteArray("sim:\xc3\xa4\n") << QStringList{QStringLiteral("sim:ä")};
        QTest::newRow("ends at the zero byte") << QByteArray("a\nb\0c\n", 6) << QStringList{"a", "b"};
    }
    void splitting()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, locators);
        QCOMPARE(ControllerDiscovery::splitLocators(text.constData(), text.size() + 1), locators);
    }

    void startUpFillsTheListBeforeTheWindowShows_data()
    {
        QTest::addColumn<uint32_t>("systemsResult");
        QTest::addColumn<uint32_t>("devicesResult");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("both") << 0u << 0u << QStringList{"sim:demo", "sim:two", "serial:/dev/ttyUSB0"};
        QTest::newRow("systems fail") << 5u << 0u << QStringList{"serial:/dev/ttyUSB0"};
        QTest::newRow("devices fail") << 0u << 5u << QStringList{"sim:demo", "sim:two"};
        QTest::newRow("both fail") << 5u << 5u << QStringList{};
    }
    void startUpFillsTheListBeforeTheWindowShows()
    {
        QFETCH(uint32_t, systemsResult);
        QFETCH(uint32_t, devicesResult);
        QFETCH(QStringList, expected);
        FakeControllerLibrary fake;
        fake.findSystemsText = "sim:demo\nsim:two\n";
        fake.findSystemsResult = systemsResult;
        fake.enumerateText = "serial:/dev/ttyUSB0\n";
        fake.enumerateResult = devicesResult;
        VKRCalibrator window;
        auto* box = window.findChild<QComboBox*>("locator");
        QCOMPARE(items(box), expected);
        QCOMPARE(box->currentText(), expected.value(0));
        // Each library asked once, in this order, with a fresh 4096-byte size every time.
        QCOMPARE(fake.calls(),
                 QStringList({"findSystems interface usb 4096", "enumerateDevices 3 \"\" 4096"}));
    }

    void refreshKeepsTypedTextAndRebuildsTheList()
    {
        FakeControllerLibrary fake;
        fake.findSystemsText = "sim:old\n";
        VKRCalibrator window;
        auto* box = window.findChild<QComboBox*>("locator");
        auto* refresh = window.findChild<QPushButton*>("refreshButton");
        box->setEditText(QStringLiteral("serial:/dev/ttyS9"));

        fake.findSystemsText = "sim:new\n";
        refresh->click();
        QCOMPARE(items(box), QStringList{"sim:new"});
        QCOMPARE(box->currentText(), QStringLiteral("serial:/dev/ttyS9"));

        fake.findSystemsResult = 1;
        fake.enumerateResult = 1;
        refresh->click();
        QCOMPARE(items(box), QStringList{});
        QCOMPARE(box->currentText(), QStringLiteral("serial:/dev/ttyS9"));

        box->setEditText(QString());
        fake.enumerateResult = 0;
        fake.enumerateText = "serial:/dev/ttyACM0\nserial:/dev/ttyACM0\n";
        refresh->click();
        QCOMPARE(items(box),
                 QStringList({"serial:/dev/ttyACM0", "serial:/dev/ttyACM0"})); // no de-duplication
        QCOMPARE(box->currentText(), QStringLiteral("serial:/dev/ttyACM0"));
    }

    void aFullUnterminatedBufferIsReadNoFurther()
    {
        FakeControllerLibrary fake;
        fake.findSystemsText = QByteArray(int(ControllerDiscovery::BufferSize), 'a');
        fake.enumerateText = QByteArray(5000, 'b');
        fake.sizeAfterCall = 1000000; // a library that claims more than it was given
        const QStringList locators = ControllerDiscovery::findLocators();
        QCOMPARE(locators.size(), 2);
        QCOMPARE(locators.at(0), QString(int(ControllerDiscovery::BufferSize), 'a'));
        QCOMPARE(locators.at(1), QString(int(ControllerDiscovery::BufferSize), 'b'));
        QCOMPARE(fake.calls().at(1), QStringLiteral("enumerateDevices 3 \"\" 4096")); // size reset
    }

private:
    QTemporaryDir config;
};

QTEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
