#include "threadmessageprefix.h"

#include <QHash>
#include <QThread>
#include <mutex>

namespace {

// Written by add() on the main thread while the worker threads read it in their messages.
std::mutex prefixesMutex;
QHash<const QThread*, QString> prefixes;
QtMessageHandler previousHandler = nullptr;

QString prefixOf(const QThread* thread)
{
    const std::lock_guard<std::mutex> lock(prefixesMutex);
    return prefixes.value(thread);
}

// The message goes on to the handler of before, which keeps QT_MESSAGE_PATTERN and the
// destination (a terminal, or the journal) as they are.
// The prefix starts the line, ahead of the name of the message's logging category
// ("[LOCATOR] vkr.serial: out:GS0"), which the handler of before would put first.
void prefixMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QString prefix = prefixOf(QThread::currentThread());
    if (prefix.isEmpty() || !context.category || qstrcmp(context.category, "default") == 0) {
        previousHandler(type, context, prefix.isEmpty() ? message : prefix + message);
        return;
    }
    const QMessageLogContext uncategorised(context.file, context.line, context.function, nullptr);
    previousHandler(type, uncategorised,
                    prefix + QLatin1String(context.category) + QStringLiteral(": ") + message);
}

} // namespace

ThreadMessagePrefix::ThreadMessagePrefix()
{
    previousHandler = qInstallMessageHandler(prefixMessage);
}

ThreadMessagePrefix::~ThreadMessagePrefix()
{
    qInstallMessageHandler(previousHandler);
    const std::lock_guard<std::mutex> lock(prefixesMutex);
    prefixes.clear();
}

void ThreadMessagePrefix::add(const QThread* thread, const QString& prefix)
{
    const std::lock_guard<std::mutex> lock(prefixesMutex);
    prefixes.insert(thread, prefix);
}
