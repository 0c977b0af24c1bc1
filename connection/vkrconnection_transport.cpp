// The serial line transport of VKRConnection: opening a port, writing text and command lines,
// and reading reply lines with a time-out for each byte.
#include "vkrconnection.h"

#include <QDebug>

using namespace ResultCode;

namespace {
// A reply line is a few dozen bytes. A peer that sends more without a line feed is not a
// controller speaking the protocol; stop reading rather than let the line grow without bound.
constexpr int MaxLineLength = 4096;
} // namespace

uint32_t VKRConnection::openSerialPort(QString portName, uint32_t baudRate)
{
    return portHandle.open(portName.toLatin1().toStdString(), baudRate) ? Success : OpenFailed;
}

uint32_t VKRConnection::writeRaw(QString text)
{
    const QByteArray bytes = text.toLatin1();
    return portHandle.write(bytes.constData(), static_cast<std::size_t>(bytes.size())) ? Success
                                                                                       : WriteFailed;
}

uint32_t VKRConnection::sendRS232String(QString command)
{
    qDebug("out:%s", command.toLatin1().constData());
    return writeRaw(QLatin1Char(':') + command + QLatin1Char('\n'));
}

uint32_t VKRConnection::readLine(QString& line, uint32_t timeoutMs)
{
    portHandle.setReadTimeout(timeoutMs);
    line.clear();
    for (;;) {
        char byte = 0;
        switch (portHandle.readByte(byte)) {
        case SerialPort::ReadResult::Failed:
            return ReadFailed;
        case SerialPort::ReadResult::TimedOut:
            return ReplyTimedOut;
        case SerialPort::ReadResult::Byte:
            break;
        }
        line.append(QChar::fromLatin1(byte));
        if (byte == '\n')
            return Success;
        if (line.size() >= MaxLineLength)
            return MalformedReply;
    }
}
