// The serial line transport of VKRConnection: opening a port, writing text and command lines,
// and reading reply lines with a time-out for each byte.
#include "vkrconnection.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QVarLengthArray>

using namespace ResultCode;

// The commands sent, for whoever looks into a fault: off unless QT_LOGGING_RULES
// ("vkr.serial.debug=true") or a program's --debug turns them on. A window user never reads its
// standard error, and a run sends hundreds of commands a second.
Q_LOGGING_CATEGORY(serialCommands, "vkr.serial", QtInfoMsg)

namespace {
// A reply line is a few dozen bytes. A peer that sends more without a line feed is not a
// controller speaking the protocol; stop reading rather than let the line grow without bound.
constexpr int MaxLineLength = 4096;
} // namespace

void VKRConnection::setTimeLimits(std::chrono::milliseconds replyByteTimeout,
                                  std::chrono::milliseconds writeStall)
{
    replyTimeoutMs = static_cast<uint32_t>(replyByteTimeout.count());
    portHandle.setWriteStallLimit(writeStall);
}

uint32_t VKRConnection::openSerialPort(QString portName, uint32_t baudRate)
{
    if (!portHandle.open(portName.toLatin1().toStdString(), baudRate))
        return OpenFailed;
    // A word for whoever reads the program's messages (a stale lock file taken over); never in the log.
    if (!portHandle.openNote().empty())
        qCInfo(serialCommands, "serial port %s: %s", portName.toLocal8Bit().constData(),
               portHandle.openNote().c_str());
    return Success;
}

uint32_t VKRConnection::writeRaw(QString text)
{
    return writeBytes(text.toLatin1());
}

uint32_t VKRConnection::writeBytes(const QByteArray& bytes)
{
    return portHandle.write(bytes.constData(), static_cast<std::size_t>(bytes.size())) ? Success
                                                                                       : WriteFailed;
}

uint32_t VKRConnection::sendRS232String(QString command)
{
    // Framed where it lies: a command is a few characters, and an exchange allocates nothing for it.
    // Characters beyond Latin-1 become '?', as QString::toLatin1 makes them.
    const int length = static_cast<int>(command.size());
    QVarLengthArray<char, 64> framed(length + 2);
    framed[0] = ':';
    const QChar* characters = command.constData();
    for (int i = 0; i < length; ++i)
        framed[i + 1] = characters[i].unicode() > 0xff ? '?' : static_cast<char>(characters[i].unicode());
    framed[length + 1] = '\n';
    // Formatting the debug line costs more than the rest of an exchange: qCDebug makes it only for a
    // category that shows it.
    qCDebug(serialCommands, "out:%.*s", length, framed.constData() + 1);
    return portHandle.write(framed.constData(), static_cast<std::size_t>(framed.size())) ? Success
                                                                                         : WriteFailed;
}

// The bytes are gathered as they are and become the line's characters once, at the end; after a
// failure the line holds what came before it.
uint32_t VKRConnection::readLine(QString& line, uint32_t timeoutMs)
{
    portHandle.setReadTimeout(timeoutMs);
    char bytes[MaxLineLength];
    int length = 0;
    uint32_t result = MalformedReply;
    while (length < MaxLineLength) {
        const SerialPort::ReadResult read = portHandle.readByte(bytes[length]);
        if (read != SerialPort::ReadResult::Byte) {
            result = read == SerialPort::ReadResult::TimedOut ? ReplyTimedOut : ReadFailed;
            break;
        }
        if (bytes[length++] == '\n') {
            result = Success;
            break;
        }
    }
    lastReadHeardAnything = length > 0;
    if (lastReadHeardAnything)
        lastHeard = std::chrono::steady_clock::now();
    line = QString::fromLatin1(bytes, length);
    return result;
}
