#include "tangoclient.h"

#include <tango.h>

#include <chrono>
#include <map>
#include <mutex>

namespace {

QString reasonOf(const Tango::DevFailed& failure)
{
    return QString::fromStdString(failure.errors.length() > 0 ? failure.errors[0].reason.in() : "DevFailed");
}

// A state by its name, a spectrum's items joined by commas; the read value, without the written one.
QString textOf(Tango::DeviceAttribute& value)
{
    QStringList texts;
    Tango::DevState state;
    std::vector<Tango::DevULong> numbers;
    std::vector<std::string> strings;
    if (value.get_dim_x() == 0)
        return QString();
    if (value.get_type() == Tango::DEV_STATE && (value >> state))
        texts << QString::fromLatin1(Tango::DevStateName[state]);
    else if (value.get_type() == Tango::DEV_ULONG && (value >> numbers))
        std::transform(numbers.begin(), numbers.end(), std::back_inserter(texts),
                       [](auto n) { return QString::number(n); });
    else if (value >> strings)
        std::transform(strings.begin(), strings.end(), std::back_inserter(texts), &QString::fromStdString);
    return texts.mid(0, value.get_nb_read()).join(QLatin1Char(','));
}

// One subscription's values; Tango calls push_event() from its own event thread.
struct Events : Tango::CallBack
{
    std::mutex mutex;
    QStringList values;
    QVector<qint64> arrivals;
    QStringList received;

    void push_event(Tango::EventData* event) override
    {
        const QString value = event->err ? QStringLiteral("error") : textOf(*event->attr_value);
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const std::lock_guard<std::mutex> lock(mutex);
        received << value;
        if (!values.isEmpty() && values.last() == value)
            return;
        values << value;
        arrivals << std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    }
};

} // namespace

struct TangoClient::Private
{
    std::unique_ptr<Tango::DeviceProxy> proxy;
    std::vector<int> subscriptions;
    std::map<std::string, Events> events; // by the name subscribed with, "+archive" for those
    QString lastRefusal;

    template <typename Call> QString attempt(Call call)
    {
        try {
            call(*proxy);
            return QString();
        } catch (const Tango::DevFailed& failure) {
            lastRefusal =
                failure.errors.length() > 0 ? QString::fromStdString(failure.errors[0].desc.in()) : "";
            return reasonOf(failure);
        }
    }
};

TangoClient::TangoClient(const QString& device, int timeoutMs) : d(new Private)
{
    std::string name = device.toStdString();
    d->proxy.reset(new Tango::DeviceProxy(name));
    d->proxy->set_timeout_millis(timeoutMs);
}

TangoClient::~TangoClient()
{
    for (int id : d->subscriptions)
        d->attempt([id](Tango::DeviceProxy& proxy) { proxy.unsubscribe_event(id); });
}

QString TangoClient::command(const char* name, const QString& argument)
{
    return d->attempt([&](Tango::DeviceProxy& proxy) {
        if (argument.isEmpty()) {
            proxy.command_inout(name);
            return;
        }
        Tango::DeviceData data;
        std::string text = argument.toStdString();
        data << text;
        proxy.command_inout(name, data);
    });
}

QString TangoClient::write(const char* attribute, const QString& value)
{
    return writeBytes(attribute, value.toUtf8());
}

QString TangoClient::writeBytes(const char* attribute, const QByteArray& value)
{
    return d->attempt([&](Tango::DeviceProxy& proxy) {
        Tango::DeviceAttribute written;
        written.set_name(attribute);
        std::string text = value.toStdString();
        written << text;
        proxy.write_attribute(written);
    });
}

QString TangoClient::lastRefusal() const
{
    return d->lastRefusal;
}

QString TangoClient::subscribe(const char* attribute, bool archive)
{
    return d->attempt([&](Tango::DeviceProxy& proxy) {
        d->subscriptions.push_back(
            proxy.subscribe_event(attribute, archive ? Tango::ARCHIVE_EVENT : Tango::CHANGE_EVENT,
                                  &d->events[std::string(attribute) + (archive ? "+archive" : "")]));
    });
}

QString TangoClient::poll(const char* attribute, int periodMs)
{
    return d->attempt([&](Tango::DeviceProxy& proxy) { proxy.poll_attribute(attribute, periodMs); });
}

void TangoClient::readPolledValues()
{
    d->proxy->set_source(Tango::CACHE);
}

QString TangoClient::read(const char* attribute)
{
    QString text;
    const QString failure = d->attempt([&](Tango::DeviceProxy& proxy) {
        Tango::DeviceAttribute value = proxy.read_attribute(attribute);
        text = textOf(value);
    });
    return failure.isEmpty() ? text : failure;
}

QStringList TangoClient::read(const QStringList& attributes)
{
    QStringList texts;
    const QString failure = d->attempt([&](Tango::DeviceProxy& proxy) {
        std::vector<std::string> names;
        for (const QString& attribute : attributes)
            names.push_back(attribute.toStdString());
        const std::unique_ptr<std::vector<Tango::DeviceAttribute>> values(proxy.read_attributes(names));
        for (Tango::DeviceAttribute& value : *values)
            texts << textOf(value);
    });
    return failure.isEmpty() ? texts : QStringList{failure};
}

QStringList TangoClient::events(const char* attribute, bool archive, bool repeats) const
{
    Events& events = d->events[std::string(attribute) + (archive ? "+archive" : "")];
    const std::lock_guard<std::mutex> lock(events.mutex);
    return repeats ? events.received : events.values;
}

qint64 TangoClient::arrival(const char* attribute, const QString& value) const
{
    Events& events = d->events[attribute];
    const std::lock_guard<std::mutex> lock(events.mutex);
    const int index = events.values.lastIndexOf(value);
    return index < 0 ? -1 : events.arrivals[index];
}
