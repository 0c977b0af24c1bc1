#include "headlessrun.h"

#include <QRegularExpression>
#include <cstdio>

HeadlessRun::HeadlessRun()
{
    connect(&worker, &WorkThread::logMessage, this, &HeadlessRun::print);
    connect(&worker, &QThread::finished, this, [this] { emit finished(statusOf(lastMessage)); });
}

void HeadlessRun::start(const QString& locator)
{
    worker.setLocator(locator);
    worker.start();
}

void HeadlessRun::print(const QString& message)
{
    if (abortRequested)
        worker.abort();
    const QByteArray bytes = message.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
    lastMessage = message;
}

// Every run ends with one of: the initialization failure, "Aborting.", or the summary.
HeadlessRun::ExitStatus HeadlessRun::statusOf(const QString& lastMessage)
{
    static const QRegularExpression summary(QStringLiteral("^\nCalibration routine finished with (\\d+) errors\\.\n$"));
    const QRegularExpressionMatch match = summary.match(lastMessage);
    if (match.hasMatch())
        return match.captured(1) == QLatin1String("0") ? Calibrated : CalibratedWithErrors;
    if (lastMessage == QLatin1String("Aborting.\n"))
        return Aborted;
    return NotOpened;
}
