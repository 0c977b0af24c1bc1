#include "conversationrecorder.h"

#include "resultcodes.h"

#include <QFile>
#include <QJsonDocument>
#include <atomic>

namespace {
std::atomic<ConversationRecorder*> installedRecorder{nullptr};

QByteArray jsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
} // namespace

ConversationRecorder* ConversationRecorder::installed()
{
    return installedRecorder.load();
}

void ConversationRecorder::install(ConversationRecorder* recorder)
{
    installedRecorder.store(recorder);
}

bool ConversationRecorder::open(const QString& path, const QString& toolName, const QString& toolVersion,
                                QString& error)
{
    clock.start();
    const QByteArray header = jsonLine({{QStringLiteral("event"), QStringLiteral("recording")},
                                        {QStringLiteral("format"), FormatVersion},
                                        {QStringLiteral("t"), now()},
                                        {QStringLiteral("tool"), toolName},
                                        {QStringLiteral("version"), toolVersion}});
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

void ConversationRecorder::append(const QString& event, QJsonObject fields, qint64 time)
{
    // A recording that stopped (or never started) is spared the formatting too.
    if (!writer.accepting())
        return;
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("t"), time < 0 ? now() : time);
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
    append(QStringLiteral("call"),
           {{QStringLiteral("function"), QLatin1String(function)},
            {QStringLiteral("in"), arguments},
            {QStringLiteral("result"), qint64(result)},
            {QStringLiteral("out"), outValues},
            {QStringLiteral("us"), now() - startedUs}},
           startedUs);
}

void ConversationRecorder::portOpened(const std::string& name, uint32_t baudRate, const std::string& failure)
{
    QJsonObject fields{{QStringLiteral("port"), QString::fromLocal8Bit(name.c_str())},
                       {QStringLiteral("baud"), qint64(baudRate)}};
    if (failure.empty()) {
        append(QStringLiteral("open"), fields);
        return;
    }
    fields.insert(QStringLiteral("code"), qint64(ResultCode::OpenFailed));
    fields.insert(QStringLiteral("error"), QString::fromLocal8Bit(failure.c_str()));
    append(QStringLiteral("open-failed"), fields);
}

void ConversationRecorder::abortRequested()
{
    if (!abortNoted.exchange(true))
        append(QStringLiteral("abort"), {});
}

void ConversationRecorder::portClosed()
{
    append(QStringLiteral("close"), {});
}

void ConversationRecorder::bytesWritten(const char* data, std::size_t size, bool whole)
{
    QJsonObject fields{{QStringLiteral("bytes"), bytesText(data, size)}};
    if (whole) {
        append(QStringLiteral("write"), fields);
        return;
    }
    fields.insert(QStringLiteral("code"), qint64(ResultCode::WriteFailed));
    append(QStringLiteral("write-failed"), fields);
}

void ConversationRecorder::bytesRead(const char* data, std::size_t size)
{
    append(QStringLiteral("read"), {{QStringLiteral("bytes"), bytesText(data, size)}});
}

void ConversationRecorder::readTimedOut()
{
    append(QStringLiteral("timeout"), {{QStringLiteral("code"), qint64(ResultCode::ReplyTimedOut)}});
}

void ConversationRecorder::readFailed()
{
    append(QStringLiteral("read-failed"), {{QStringLiteral("code"), qint64(ResultCode::ReadFailed)}});
}
