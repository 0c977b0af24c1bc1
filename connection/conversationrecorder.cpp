#include "conversationrecorder.h"

#include "resultcodes.h"

#include <QJsonDocument>
#include <atomic>

namespace {
std::atomic<ConversationRecorder*> installedRecorder{nullptr};
// Events are written once this much is held: a few hundred events, one write every few seconds
// of a busy conversation.
constexpr int WriteThreshold = 64 * 1024;
} // namespace

ConversationRecorder::~ConversationRecorder()
{
    QString ignored;
    finish(ignored);
}

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
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = file.errorString();
        return false;
    }
    clock.start();
    append(QStringLiteral("recording"), {{QStringLiteral("format"), FormatVersion},
                                         {QStringLiteral("tool"), toolName},
                                         {QStringLiteral("version"), toolVersion}});
    return true;
}

bool ConversationRecorder::finish(QString& error)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (!file.isOpen())
        return true;
    if (writeHeld() && file.flush())
        return true;
    if (writeError.isEmpty())
        writeError = file.errorString();
    error = writeError;
    return false;
}

bool ConversationRecorder::writeHeld()
{
    if (held.isEmpty() || !writeError.isEmpty())
        return writeError.isEmpty();
    if (file.write(held) != held.size())
        writeError = file.errorString();
    held.clear();
    return writeError.isEmpty();
}

void ConversationRecorder::append(const QString& event, QJsonObject fields, qint64 time)
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("t"), time < 0 ? now() : time);
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
    const std::lock_guard<std::mutex> lock(mutex);
    if (!file.isOpen())
        return;
    held += line;
    if (held.size() >= WriteThreshold)
        writeHeld();
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
