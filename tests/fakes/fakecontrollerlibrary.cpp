#include "fakecontrollerlibrary.h"

#include <QMutexLocker>
#include <QThread>
#include <cstring>

FakeControllerLibrary::FakeControllerLibrary()
{
    ControllerLibrary::setInstance(this);
}

FakeControllerLibrary::~FakeControllerLibrary()
{
    ControllerLibrary::setInstance(nullptr);
}

// A copy that shares no storage with the list the worker goes on appending to: Qt decides
// whether an append may grow a list in place with a relaxed look at its reference count, which
// does not order the test thread's release of a shared copy with the worker's reallocation.
QStringList FakeControllerLibrary::calls() const
{
    QMutexLocker lock(&mutex);
    return QStringList(callLog.cbegin(), callLog.cend());
}

void FakeControllerLibrary::clearCalls()
{
    QMutexLocker lock(&mutex);
    callLog.clear();
}

void FakeControllerLibrary::record(const QString& call)
{
    QMutexLocker lock(&mutex);
    callLog << call;
}

uint32_t FakeControllerLibrary::copyText(const QByteArray& text, char* buffer, uint32_t* bufferSize)
{
    std::memcpy(buffer, text.constData(), std::min<size_t>(text.size(), *bufferSize));
    if (uint32_t(text.size()) < *bufferSize)
        buffer[text.size()] = '\0';
    if (sizeAfterCall >= 0)
        *bufferSize = uint32_t(sizeAfterCall);
    return 0;
}

uint32_t FakeControllerLibrary::findSystems(const char* options, char* buffer, uint32_t* bufferSize)
{
    record(QStringLiteral("findSystems %1 %2").arg(QLatin1String(options)).arg(*bufferSize));
    return findSystemsResult ? findSystemsResult : copyText(findSystemsText, buffer, bufferSize);
}

uint32_t FakeControllerLibrary::openSystem(uint32_t* systemIndex, const char* locator, const char* options)
{
    record(QStringLiteral("open %1 %2 %3")
               .arg(*systemIndex)
               .arg(QString::fromUtf8(locator), QString::fromUtf8(options)));
    if (onOpen)
        onOpen();
    if (openResult == 0)
        *systemIndex = openedIndex;
    return openResult;
}

uint32_t FakeControllerLibrary::releaseSystems()
{
    record(QStringLiteral("release"));
    return releaseResult;
}

uint32_t FakeControllerLibrary::getNumberOfChannels(uint32_t systemIndex, uint32_t* count)
{
    record(QStringLiteral("getNumberOfChannels %1").arg(systemIndex));
    *count = channels;
    return channelsResult;
}

uint32_t FakeControllerLibrary::getSensorEnabled(uint32_t systemIndex, uint32_t* mode)
{
    record(QStringLiteral("getSensorEnabled %1").arg(systemIndex));
    *mode = sensorMode;
    return getModeResult;
}

uint32_t FakeControllerLibrary::setSensorEnabled(uint32_t systemIndex, uint32_t mode)
{
    record(QStringLiteral("setSensorEnabled %1 %2").arg(systemIndex).arg(mode));
    return setModeResult;
}

uint32_t FakeControllerLibrary::calibrateSensor(uint32_t systemIndex, uint32_t channel)
{
    record(QStringLiteral("calibrateSensor %1 %2").arg(systemIndex).arg(channel));
    return calibrateResults.value(channel, 0);
}

uint32_t FakeControllerLibrary::getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status)
{
    record(QStringLiteral("getStatus %1 %2").arg(systemIndex).arg(channel));
    if (onStatusRead)
        onStatusRead(channel);
    QList<StatusRead>& reads = statusReads[channel];
    if (!reads.isEmpty()) {
        const StatusRead read = reads.takeFirst();
        *status = read.status;
        return read.result;
    }
    if (neverFinishes.contains(channel)) {
        QThread::usleep(200); // a real call takes time; keeps an endless wait from spinning a core
        *status = 6;
        return 0;
    }
    *status = 0;
    return 0;
}

uint32_t FakeControllerLibrary::stop(uint32_t systemIndex, uint32_t channel)
{
    record(QStringLiteral("stop %1 %2").arg(systemIndex).arg(channel));
    return 0;
}

uint32_t FakeControllerLibrary::enumerateDevices(uint32_t kind, const char* filter, char* buffer,
                                                 uint32_t* bufferSize)
{
    record(QStringLiteral("enumerateDevices %1 \"%2\" %3")
               .arg(kind)
               .arg(QLatin1String(filter))
               .arg(*bufferSize));
    return enumerateResult ? enumerateResult : copyText(enumerateText, buffer, bufferSize);
}

uint32_t FakeControllerLibrary::getLocatorInterfaceType(uint32_t* type, const char* locator)
{
    record(QStringLiteral("interfaceType %1").arg(QString::fromUtf8(locator)));
    if (classifies)
        *type = interfaceType;
    return 0;
}
