#include "conversationrecorder.h"

#include "recordingformat.h"
#include "resultcodes.h"

#include <QFile>
#include <QJsonDocument>
#include <atomic>

using namespace RecordingFormat;

namespace {

QByteArray jsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
} // namespace

bool ConversationRecorder::open(const QString& path, const QString& toolName, const QString& toolVersion,
                                QString& error)
{
    clock.start();
    const QByteArray header = jsonLine({{QLatin1String(Member::Event), QLatin1String(Event::Recording)},
                                        {QLatin1String(Member::Format), Version},
                                        {QLatin1String(Member::Time), now()},
                                        {QLatin1String(Member::Tool), toolName},
                                        {QLatin1String(Member::Version), toolVersion}});
    std::string reason;
    if (writer.open(QFile::encodeName(path).toStdString(), header.toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool ConversationRecorder::finish(QString& error)
{
    std::string reason;
    if (writer.close(reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

void ConversationRecorder::append(const char* event, QJsonObject fields, qint64 time)
{
    // A recording that stopped (or never started) is spared the formatting too.
    if (!writer.accepting())
        return;
    fields.insert(QLatin1String(Member::Event), QLatin1String(event));
    fields.insert(QLatin1String(Member::Time), time < 0 ? now() : time);
    const QByteArray line = jsonLine(fields);
    writer.append(line.constData(), static_cast<std::size_t>(line.size()));
}

QString ConversationRecorder::bytesText(const char* data, std::size_t size)
{
    return QString::fromLatin1(data, static_cast<int>(size));
}

void ConversationRecorder::libraryCall(const char* function, const QJsonObject& arguments, uint32_t result,
                                       const QJsonObject& outValues, qint64 startedUs)
{
    append(Event::Call,
           {{QLatin1String(Member::Function), QLatin1String(function)},
            {QLatin1String(Member::In), arguments},
            {QLatin1String(Member::Result), qint64(result)},
            {QLatin1String(Member::Out), outValues},
            {QLatin1String(Member::Duration), now() - startedUs}},
           startedUs);
}

void ConversationRecorder::portOpened(const std::string& name, uint32_t baudRate, const std::string& failure)
{
    QJsonObject fields{{QLatin1String(Member::Port), QString::fromLocal8Bit(name.c_str())},
                       {QLatin1String(Member::Baud), qint64(baudRate)}};
    if (failure.empty()) {
        append(Event::Open, fields);
        return;
    }
    fields.insert(QLatin1String(Member::Code), qint64(ResultCode::OpenFailed));
    fields.insert(QLatin1String(Member::Error), QString::fromLocal8Bit(failure.c_str()));
    append(Event::OpenFailed, fields);
}

void ConversationRecorder::abortRequested()
{
    if (!abortNoted.exchange(true))
        append(Event::Abort, {});
}

void ConversationRecorder::portClosed()
{
    append(Event::Close, {});
}

void ConversationRecorder::bytesWritten(const char* data, std::size_t size, bool whole)
{
    QJsonObject fields{{QLatin1String(Member::Bytes), bytesText(data, size)}};
    if (whole) {
        append(Event::Write, fields);
        return;
    }
    fields.insert(QLatin1String(Member::Code), qint64(ResultCode::WriteFailed));
    append(Event::WriteFailed, fields);
}

void ConversationRecorder::bytesRead(const char* data, std::size_t size)
{
    append(Event::Read, {{QLatin1String(Member::Bytes), bytesText(data, size)}});
}

void ConversationRecorder::readTimedOut()
{
    append(Event::Timeout, {{QLatin1String(Member::Code), qint64(ResultCode::ReplyTimedOut)}});
}

void ConversationRecorder::readFailed()
{
    append(Event::ReadFailed, {{QLatin1String(Member::Code), qint64(ResultCode::ReadFailed)}});
}
