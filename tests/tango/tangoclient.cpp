#include "tangoclient.h"

#include <QtGlobal>

#include <tango.h>

#include <map>
#include <mutex>

namespace {

QString reasonOf(const Tango::DevFailed& failure)
{
    return failure.errors.length() > 0 ? QString::fromStdString(failure.errors[0].reason.in())
                                       : QStringLiteral("DevFailed");
}

} // namespace

// Tango calls push_event() from its own event thread.
struct TangoClient::Private : Tango::CallBack
{
    Tango::DeviceProxy& device()
    {
        if (!proxy)
            Tango::Except::throw_exception("NoProxy", "the device could not be reached", "TangoClient");
        return *proxy;
    }

    std::unique_ptr<Tango::DeviceProxy> proxy;
    mutable std::mutex mutex;
    std::map<std::string, QStringList> received; // by attribute name, lower case
    std::vector<int> subscriptions;

    void push_event(Tango::EventData* event) override
    {
        // The attribute's full name: tango://host:port/device/attribute#dbase=no
        std::string name = event->attr_name.substr(event->attr_name.find_last_of('/') + 1);
        name = name.substr(0, name.find('#'));
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        QString value;
        try {
            if (event->err)
                value = QStringLiteral("error: ") + QString::fromStdString(event->errors[0].reason.in());
            else if (name == "state") {
                Tango::DevState state;
                *event->attr_value >> state;
                value = QString::fromLatin1(Tango::DevStateName[state]);
            } else {
                std::string text;
                *event->attr_value >> text;
                value = QString::fromStdString(text);
            }
        } catch (const Tango::DevFailed& failure) {
            value = QStringLiteral("error: ") + reasonOf(failure);
        }
        // Tango may deliver a change twice; a value that repeats the one before is kept once.
        const std::lock_guard<std::mutex> lock(mutex);
        QStringList& values = received[name];
        if (values.isEmpty() || values.last() != value)
            values.append(value);
    }
};

TangoClient::TangoClient(const QString& device) : d(new Private)
{
    try {
        std::string name = device.toStdString();
        d->proxy.reset(new Tango::DeviceProxy(name));
    } catch (const Tango::DevFailed& failure) {
        qWarning("no proxy for %s: %s", qPrintable(device), qPrintable(reasonOf(failure)));
    }
}

TangoClient::~TangoClient()
{
    for (int id : d->proxy ? d->subscriptions : std::vector<int>()) {
        try {
            d->device().unsubscribe_event(id);
        } catch (const Tango::DevFailed&) {
        }
    }
}

QString TangoClient::command(const char* name)
{
    try {
        d->device().command_inout(name);
        return QString();
    } catch (const Tango::DevFailed& failure) {
        return reasonOf(failure);
    }
}

QString TangoClient::write(const char* attribute, const QString& value)
{
    try {
        std::string text = value.toStdString();
        Tango::DeviceAttribute written;
        written.set_name(attribute);
        written << text;
        d->device().write_attribute(written);
        return QString();
    } catch (const Tango::DevFailed& failure) {
        return reasonOf(failure);
    }
}

QString TangoClient::subscribe(const char* attribute)
{
    try {
        d->subscriptions.push_back(d->device().subscribe_event(attribute, Tango::CHANGE_EVENT, d.get()));
        return QString();
    } catch (const Tango::DevFailed& failure) {
        return reasonOf(failure);
    }
}

QString TangoClient::state()
{
    try {
        return QString::fromLatin1(Tango::DevStateName[d->device().state()]);
    } catch (const Tango::DevFailed& failure) {
        return reasonOf(failure);
    }
}

QString TangoClient::text(const char* attribute)
{
    try {
        Tango::DeviceAttribute read = d->device().read_attribute(attribute);
        std::string value;
        read >> value;
        return QString::fromStdString(value);
    } catch (const Tango::DevFailed& failure) {
        return reasonOf(failure);
    }
}

QStringList TangoClient::names(const char* attribute)
{
    QStringList list;
    try {
        Tango::DeviceAttribute read = d->device().read_attribute(attribute);
        std::vector<std::string> values;
        if (read.get_dim_x() > 0)
            read >> values;
        for (const std::string& value : values)
            list << QString::fromStdString(value);
    } catch (const Tango::DevFailed& failure) {
        list << reasonOf(failure);
    }
    return list;
}

QVector<quint32> TangoClient::numbers(const char* attribute)
{
    QVector<quint32> list;
    try {
        Tango::DeviceAttribute read = d->device().read_attribute(attribute);
        std::vector<Tango::DevULong> values;
        if (read.get_dim_x() > 0)
            read >> values;
        for (Tango::DevULong value : values)
            list << quint32(value);
    } catch (const Tango::DevFailed&) {
    }
    return list;
}

QStringList TangoClient::events(const char* attribute) const
{
    std::string name(attribute);
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    const std::lock_guard<std::mutex> lock(d->mutex);
    const auto found = d->received.find(name);
    return found == d->received.end() ? QStringList() : found->second;
}
