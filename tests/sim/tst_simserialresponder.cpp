// vkr-sim's controller logic without a line: what it answers to each command under each fault,
// and how its receiver turns bytes into commands.
#include "commandassembler.h"
#include "serialresponder.h"

#include <QtTest>

namespace {

std::unique_ptr<SerialResponder> responderFor(const QString& scenario)
{
    std::string error;
    auto responder = SerialResponder::fromScenario(scenario.toStdString(), &error);
    if (!responder)
        qWarning("scenario %s: %s", qPrintable(scenario), error.c_str());
    return responder;
}

// The answer to the last command, the ones before it carried out first.
SerialAnswer lastAnswer(SerialResponder& responder, const QStringList& commands)
{
    SerialAnswer answer;
    for (const QString& command : commands)
        answer = responder.answer(command.toStdString());
    return answer;
}

} // namespace

class TestSimSerialResponder : public QObject
{
    Q_OBJECT

private slots:
    void answersEachCommand_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QByteArray>("reply");

        const QString calibrating = QStringLiteral("time=60000");
        QTest::newRow("firmware version") << QString() << QStringList{"GIV"} << QByteArray(":IV1,0,0\n");
        QTest::newRow("communication mode") << QString() << QStringList{"SCM0"} << QByteArray(":E-1,0\n");
        QTest::newRow("open refused") << "fail-open=7" << QStringList{"SCM0"} << QByteArray(":E-1,7\n");
        QTest::newRow("channel count") << "channels=12" << QStringList{"GNC"} << QByteArray(":N12\n");
        QTest::newRow("channel count failing")
            << "fail-channels=5" << QStringList{"GNC"} << QByteArray(":E-1,5\n");
        QTest::newRow("sensor mode") << "mode=0" << QStringList{"GSE"} << QByteArray(":SE0\n");
        QTest::newRow("sensor mode failing")
            << "fail-getmode=9" << QStringList{"GSE"} << QByteArray(":E-1,9\n");
        QTest::newRow("sensor mode set") << "mode=0" << QStringList{"SSE2", "GSE"} << QByteArray(":SE2\n");
        QTest::newRow("sensor mode out of range")
            << QString() << QStringList{"SSE3"} << QByteArray(":E-1,257\n");
        QTest::newRow("calibration started") << QString() << QStringList{"CS3"} << QByteArray(":E3,0\n");
        QTest::newRow("no sensor") << "nosensor=2" << QStringList{"CS2"} << QByteArray(":E2,129\n");
        QTest::newRow("calibrating") << calibrating << QStringList{"CS1", "GS1"} << QByteArray(":S1,6\n");
        QTest::newRow("idle channel") << QString() << QStringList{"GS0"} << QByteArray(":S0,0\n");
        QTest::newRow("status of a missing channel")
            << "channels=2" << QStringList{"GS2"} << QByteArray(":E2,256\n");
        QTest::newRow("failing first status read while calibrating")
            << calibrating + ",fail-status=5" << QStringList{"CS0", "GS0"} << QByteArray(":E0,5\n");
        QTest::newRow("failing poll after the calibration ended")
            << "time=0,fail-poll=5" << QStringList{"CS0", "GS0", "GS0"} << QByteArray(":S0,0\n");
        QTest::newRow("stop") << calibrating << QStringList{"CS1", "S1", "GS1"} << QByteArray(":S1,0\n");
        QTest::newRow("stop failing") << "fail-stop@1=3" << QStringList{"S1"} << QByteArray(":E1,3\n");
        QTest::newRow("a silence that ends still carries the commands out")
            << "time=60000,silent=CS,silentfor=0" << QStringList{"CS1", "GS1"} << QByteArray(":S1,6\n");
        QTest::newRow("unknown word") << QString() << QStringList{"XYZ"} << QByteArray(":E-1,300\n");
        QTest::newRow("missing argument") << QString() << QStringList{"CS"} << QByteArray(":E-1,300\n");
        QTest::newRow("argument where none belongs")
            << QString() << QStringList{"GNC1"} << QByteArray(":E-1,300\n");
        QTest::newRow("argument beyond 32 bits")
            << QString() << QStringList{"GS4294967296"} << QByteArray(":E-1,300\n");
        QTest::newRow("garbage") << "garbage=GNC" << QStringList{"GNC"} << QByteArray("#garbled#\n");
        QTest::newRow("wrong name") << "wrongname=GSE" << QStringList{"GSE"} << QByteArray(":W2\n");
        QTest::newRow("one value too few")
            << "wrongcount=GIV" << QStringList{"GIV"} << QByteArray(":IV1,0\n");
        QTest::newRow("one value too many")
            << "wrongcount=GNC" << QStringList{"GNC"} << QByteArray(":N4,0\n");
        QTest::newRow("wrong channel") << "wrongchannel=CS" << QStringList{"CS3"} << QByteArray(":E4,0\n");
        QTest::newRow("channel instead of -1")
            << "wrongchannel=SCM" << QStringList{"SCM0"} << QByteArray(":E0,0\n");
        QTest::newRow("value beyond 32 bits")
            << "bigvalue=GNC" << QStringList{"GNC"} << QByteArray(":N4294967296\n");
        QTest::newRow("fault aimed elsewhere")
            << "bigvalue=GSE+GS" << QStringList{"GNC"} << QByteArray(":N4\n");
        QTest::newRow("noise") << "noise=ab" << QStringList{"GNC"} << QByteArray("ab:N4\n");
        QTest::newRow("noise of one command wins")
            << "noise=ab,noise@GNC=\\x" << QStringList{"GNC"} << QByteArray("\\x:N4\n");
    }

    void answersEachCommand()
    {
        QFETCH(QString, scenario);
        QFETCH(QStringList, commands);
        QFETCH(QByteArray, reply);

        const auto responder = responderFor(scenario);
        QVERIFY(responder);
        const SerialAnswer answer = lastAnswer(*responder, commands);
        QCOMPARE(QByteArray::fromStdString(answer.bytes), reply);
        QVERIFY(!answer.hangUp);
    }

    void silenceAndHangUp_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("commands");
        // One letter per command: a (answered), n (nothing), h (hang-up).
        QTest::addColumn<QString>("outcomes");

        const QStringList session{"GIV", "SCM0", "GNC", "GIV"};
        QTest::newRow("no fault") << QString() << session << "aaaa";
        QTest::newRow("silent after two answers") << "silentafter=2" << session << "aann";
        QTest::newRow("silent from the start") << "silentafter=0" << session << "nnnn";
        QTest::newRow("silent from a command on") << "silent=SCM" << session << "annn";
        QTest::newRow("a silence that ends comes once") << "silentafter=1,silentfor=0" << session << "anaa";
        QTest::newRow("hang-up") << "hangup=GNC" << session << "aaha";
        QTest::newRow("hang-up after two answers, the speed change not counted")
            << "hangupafter=2" << QStringList{"GIV", "CB115200,1", "SCM0", "GNC", "GIV"} << "anahh";
        QTest::newRow("speed change is never answered")
            << QString() << QStringList{"CB115200,1", "GIV"} << "na";
        QTest::newRow("silent controller ignores the speed change")
            << "silentafter=0" << QStringList{"CB115200,1"} << "n";
    }

    void silenceAndHangUp()
    {
        QFETCH(QString, scenario);
        QFETCH(QStringList, commands);
        QFETCH(QString, outcomes);

        const auto responder = responderFor(scenario);
        QVERIFY(responder);
        QString seen;
        for (const QString& command : commands) {
            const SerialAnswer answer = responder->answer(command.toStdString());
            seen += answer.hangUp ? 'h' : answer.bytes.empty() ? 'n' : 'a';
        }
        QCOMPARE(seen, outcomes);
    }

    void followsTheSpeedChange_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<uint>("baudRate");
        QTest::newRow("to 115200") << "CB115200,1" << 115200u;
        QTest::newRow("to 19200") << "CB19200,1" << 19200u;
        QTest::newRow("second number missing") << "CB115200" << 9600u;
        QTest::newRow("speed 0") << "CB0,1" << 9600u;
    }

    void followsTheSpeedChange()
    {
        QFETCH(QString, command);
        QFETCH(uint, baudRate);

        const auto responder = responderFor(QString());
        QVERIFY(responder);
        QCOMPARE(responder->baudRate(), SerialResponder::PowerUpBaudRate);
        responder->answer(command.toStdString());
        QCOMPARE(responder->baudRate(), baudRate);
    }

    void slowsTheChosenReplies()
    {
        const auto responder = responderFor("slowbytes=20,slowbytes@GNC=700");
        QVERIFY(responder);
        QCOMPARE(responder->answer("GIV").byteDelayMs, 20u);
        QCOMPARE(responder->answer("GNC").byteDelayMs, 700u);
    }

    void parsesScenarios_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("valid");
        QTest::newRow("model items and faults") << "demo, time=10, wrongname=GNC+GS, silentafter=3" << true;
        QTest::newRow("per-command noise and delay") << "noise@GIV=xx,slowbytes@SCM=600" << true;
        QTest::newRow("hang-up at the speed change") << "hangup=CB" << true;
        QTest::newRow("unknown key") << "loud=GNC" << false;
        QTest::newRow("unknown command word") << "garbage=GXX" << false;
        QTest::newRow("lower-case word") << "garbage=gnc" << false;
        QTest::newRow("empty word list") << "bigvalue=" << false;
        QTest::newRow("empty word in list") << "bigvalue=GNC+" << false;
        QTest::newRow("damaging the unanswered speed change") << "wrongcount=CB" << false;
        QTest::newRow("wrong channel on a reply without one") << "wrongchannel=GNC" << false;
        QTest::newRow("noise that ends the line") << "noise=a\nb" << false;
        QTest::newRow("noise that starts a reply") << "noise=a:b" << false;
        QTest::newRow("empty noise") << "noise=" << false;
        QTest::newRow("negative delay") << "slowbytes=-1" << false;
        QTest::newRow("delay for an unknown word") << "slowbytes@XY=5" << false;
        QTest::newRow("silentafter without number") << "silentafter=many" << false;
    }

    void parsesScenarios()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, valid);
        std::string error;
        const bool parsed = SerialResponder::fromScenario(scenario.toStdString(), &error) != nullptr;
        QCOMPARE(parsed, valid);
        QCOMPARE(error.empty(), valid);
    }

    void assemblesCommands_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        // One flag per byte: '+' sent at the controller's speed, '-' at another speed.
        QTest::addColumn<QByteArray>("speeds");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<int>("dropped");

        QTest::newRow("one command") << QByteArray(":GIV\n") << QByteArray("+++++") << QStringList{"GIV"}
                                     << 0;
        QTest::newRow("two in one go")
            << QByteArray(":GIV\n:GNC\n") << QByteArray(10, '+') << QStringList{"GIV", "GNC"} << 0;
        QTest::newRow("noise before the colon")
            << QByteArray("x\0:GNC\n", 7) << QByteArray(7, '+') << QStringList{"GNC"} << 2;
        QTest::newRow("zero byte at the wrong speed")
            << QByteArray("\0:GIV\n", 6) << QByteArray("-+++++") << QStringList{"GIV"} << 1;
        QTest::newRow("whole command at the wrong speed")
            << QByteArray(":CB115200,1\n") << QByteArray(12, '-') << QStringList{} << 12;
        QTest::newRow("wrong speed mid-command drops it")
            << QByteArray(":GNC\n:GSE\n") << QByteArray("++-+++++++") << QStringList{"GSE"} << 5;
        QTest::newRow("colon starts over")
            << QByteArray(":GN:GSE\n") << QByteArray(8, '+') << QStringList{"GSE"} << 3;
        QTest::newRow("empty command") << QByteArray(":\n") << QByteArray("++") << QStringList{""} << 0;
        const QByteArray overlong = ':' + QByteArray(CommandAssembler::MaxCommandLength + 1, 'A') + '\n';
        QTest::newRow("overlong line")
            << overlong << QByteArray(overlong.size(), '+') << QStringList{} << overlong.size();
    }

    void assemblesCommands()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, speeds);
        QFETCH(QStringList, commands);
        QFETCH(int, dropped);
        QCOMPARE(speeds.size(), bytes.size());

        CommandAssembler assembler;
        QStringList assembled;
        for (int i = 0; i < bytes.size(); ++i) {
            if (const auto command = assembler.push(bytes[i], speeds[i] == '+'))
                assembled << QString::fromStdString(*command);
        }
        QCOMPARE(assembled, commands);
        QCOMPARE(int(assembler.takeDroppedCount()), dropped);
        QCOMPARE(int(assembler.takeDroppedCount()), 0);
    }
};

QTEST_GUILESS_MAIN(TestSimSerialResponder)
#include "tst_simserialresponder.moc"
