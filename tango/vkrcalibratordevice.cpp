#include "vkrcalibratordevice.h"

#include "runrecordjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace {

// A spectrum holds at most this many channels; a controller reports its count as a 32-bit number,
// but none has anywhere near as many.
constexpr long MaxChannels = 65536;

const char* const ClassName = "VKRCalibrator";

using Reader = void (VKRCalibratorDevice::*)(Tango::Attribute&);

void describe(Tango::Attr& attribute, const char* description)
{
    Tango::UserDefaultAttrProp properties;
    properties.set_description(description);
    attribute.set_default_properties(properties);
}

// A read-only attribute whose changes the device pushes: a scalar (Tango::Attr) or a spectrum
// (Tango::SpectrumAttr), made with that class's own arguments after the reader and description.
template <typename Shape> class PushedAttribute : public Shape
{
public:
    template <typename... ShapeArguments>
    PushedAttribute(Reader reader, const char* description, ShapeArguments... arguments)
        : Shape(arguments...), reader(reader)
    {
        describe(*this, description);
        this->set_change_event(true, false); // pushed by the device, without Tango's own change check
    }
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override
    {
        (static_cast<VKRCalibratorDevice*>(device)->*reader)(attribute);
    }

private:
    const Reader reader;
};

class LocatorAttribute : public Tango::Attr
{
public:
    LocatorAttribute() : Tango::Attr("Locator", Tango::DEV_STRING, Tango::READ_WRITE)
    {
        describe(*this, "The locator the next Calibrate opens; the Locator property gives it at start-up.");
    }
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override
    {
        static_cast<VKRCalibratorDevice*>(device)->readLocator(attribute);
    }
    void write(Tango::DeviceImpl* device, Tango::WAttribute& attribute) override
    {
        static_cast<VKRCalibratorDevice*>(device)->writeLocator(attribute);
    }
};

class DeviceCommand : public Tango::Command
{
public:
    DeviceCommand(const char* name, void (VKRCalibratorDevice::*method)())
        : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID), method(method)
    {
    }
    CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any&) override
    {
        (static_cast<VKRCalibratorDevice*>(device)->*method)();
        return insert();
    }

private:
    void (VKRCalibratorDevice::*const method)();
};

struct MonitorRelease
{
    Tango::TangoMonitor& monitor;
    ~MonitorRelease() { monitor.rel_monitor(); }
};

[[noreturn]] void refuse(const char* reason, const std::string& description, const char* origin)
{
    Tango::Except::throw_exception(reason, description, origin);
}

// Where a device that cannot tell its client about a failure says so: the server's standard error,
// which its service manager keeps.
void report(const std::string& text)
{
    std::fprintf(stderr, "vkr-tango-server: %s\n", text.c_str());
}

std::string descriptionOf(const Tango::DevFailed& failure)
{
    return failure.errors.length() > 0 ? std::string(failure.errors[0].desc.in()) : std::string("unknown");
}

Tango::DevState stateAfter(const RunRecord& record)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        return Tango::FAULT;
    case RunRecord::Outcome::Aborted:
    case RunRecord::Outcome::Incomplete:
        return Tango::ALARM;
    case RunRecord::Outcome::Finished:
        break;
    }
    return record.errors == 0 ? Tango::ON : Tango::ALARM;
}

// For FAULT the reason line that vkr-calibrate prints, or the log's line when the connection gave
// no reason.
std::string statusAfter(const RunRecord& record, const std::string& locator)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        if (!record.openFailureReason.isEmpty())
            return record.openFailureReason.toStdString();
        return "Could not initialize! Error: " + std::to_string(record.openResult);
    case RunRecord::Outcome::Aborted:
        return "The calibration of " + locator + " was aborted.";
    case RunRecord::Outcome::Incomplete:
        return "The calibration of " + locator +
               " ended before the channels: the sensor mode or the channel count could not be read or set.";
    case RunRecord::Outcome::Finished:
        break;
    }
    return locator + " calibrated with " + std::to_string(record.errors) + " errors.";
}

std::string idleStatus(const std::string& locator)
{
    return locator.empty() ? "No locator: set the Locator property, or write the Locator attribute."
                           : "Ready to calibrate " + locator + ".";
}

} // namespace

VKRCalibratorDevice::VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name)
{
    QObject::connect(&worker, &WorkThread::logMessage,
                     [this](const QString& message) { logMessage(message); });
    QObject::connect(&worker, &QThread::finished, [this] { runFinished(); });
    init_device();
}

VKRCalibratorDevice::~VKRCalibratorDevice()
{
    delete_device();
}

void VKRCalibratorDevice::init_device()
{
    closing = false;
    running = false;
    locator.clear();
    if (Tango::Util::_UseDb) {
        Tango::DbData properties{Tango::DbDatum("Locator")};
        try {
            get_db_device()->get_property(properties);
            // A property line with commas arrives as several values (Tango's file format splits
            // there); a locator's scenario items are separated by commas, so they are joined back.
            std::vector<std::string> pieces;
            if (!properties[0].is_empty() && (properties[0] >> pieces)) {
                for (const std::string& piece : pieces)
                    locator += (locator.empty() ? "" : ",") + piece;
            }
        } catch (const Tango::DevFailed& failure) {
            report(get_name() + ": the Locator property could not be read: " + descriptionOf(failure));
        }
    }
    // Blanks around a locator are never part of it, as in the window and vkr-calibrate.
    locator = QString::fromStdString(locator).trimmed().toStdString();
    runLocator.clear();
    logText.clear();
    outcome.clear();
    lastReport = "{}";
    errors = 0;
    channelCodes.clear();
    channelNames.clear();
    for (const char* attribute : {"State", "Status"})
        set_change_event(attribute, true, false);
    set_state(Tango::ON);
    set_status(idleStatus(locator));
}

void VKRCalibratorDevice::delete_device()
{
    closing = true;
    worker.abort();
    worker.wait();
}

template <typename Change> void VKRCalibratorDevice::serialised(Change change)
{
    // Tango's monitor and its events know the threads omniORB knows; the worker's is made known for
    // the length of the call.
    omni_thread::ensure_self knownThread;
    for (;;) {
        if (closing)
            return;
        // The device's monitor: the server keeps Tango's default serialisation, by device.
        Tango::TangoMonitor& monitor = get_dev_monitor();
        try {
            monitor.get_monitor();
        } catch (const Tango::DevFailed&) {
            continue; // taken past its time-out: waited for again, unless the device closes
        }
        const MonitorRelease release{monitor};
        if (closing)
            return;
        try {
            change();
        } catch (const Tango::DevFailed& failure) {
            report(get_name() + ": a change event could not be pushed: " + descriptionOf(failure));
        }
        return;
    }
}

void VKRCalibratorDevice::calibrate()
{
    if (running)
        refuse("VKR_CalibrationRunning",
               "A calibration of " + runLocator + " is running: wait for its end, or Abort it",
               "VKRCalibrator::Calibrate");
    if (locator.empty())
        refuse("VKR_NoLocator", idleStatus(locator), "VKRCalibrator::Calibrate");
    running = true;
    runLocator = locator;
    logText.clear();
    outcome = "running";
    lastReport = "{}";
    errors = 0;
    channelCodes.clear();
    channelNames.clear();
    set_state(Tango::RUNNING);
    set_status("Calibrating " + runLocator + ".");
    pushAll();
    worker.setLocator(QString::fromStdString(runLocator));
    worker.setSource(RunRecord::Source::Tango);
    // The run's first message waits for this command to return: the monitor is held until then.
    if (worker.startRun())
        return;
    // No thread for the run: it ended before it began, and its record says why.
    const RunRecord refused = worker.lastRecord();
    remember(refused);
    showEnded(refused);
}

void VKRCalibratorDevice::abort()
{
    if (running)
        worker.abort();
}

void VKRCalibratorDevice::logMessage(const QString& message)
{
    serialised([&] {
        logText += message.toStdString();
        pushString("Log", logText);
    });
}

// The history is written before the monitor is taken, so that clients never wait for the disk.
void VKRCalibratorDevice::runFinished()
{
    const RunRecord record = worker.lastRecord();
    remember(record);
    serialised([&] { showEnded(record); });
}

void VKRCalibratorDevice::showEnded(const RunRecord& record)
{
    const QJsonObject json = RunRecordJson::toJson(record);
    lastReport = QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
    outcome = json.value(QStringLiteral("outcome")).toString().toStdString();
    errors = record.errors;
    channelCodes.clear();
    channelNames.clear();
    const QJsonArray channels = json.value(QStringLiteral("channels")).toArray();
    for (int i = 0; i < record.channels.size() && i < MaxChannels; ++i) {
        channelCodes.push_back(record.channels[i].code);
        channelNames.push_back(
            channels[i].toObject().value(QStringLiteral("result")).toString().toStdString());
    }
    running = false;
    set_state(stateAfter(record));
    set_status(statusAfter(record, runLocator));
    pushAll();
}

// A journal that cannot be written never stops a calibration; it is said once.
void VKRCalibratorDevice::remember(const RunRecord& record)
{
    QString error;
    if (!history.appendFailsFirstTime(record, error))
        return;
    report(get_name() + ": the calibration history could not be written (" + history.path().toStdString() +
           "): " + error.toStdString());
}

void VKRCalibratorDevice::pushString(const char* attribute, const std::string& value)
{
    stringValue = const_cast<char*>(value.c_str());
    push_change_event(attribute, &stringValue);
}

void VKRCalibratorDevice::pushAll()
{
    push_change_event("State");
    push_change_event("Status");
    pushString("Log", logText);
    pushString("Outcome", outcome);
    pushString("LastReport", lastReport);
    push_change_event("Errors", &errors);
    // Tango takes no null pointer, also for an empty spectrum.
    Tango::DevULong none = 0;
    push_change_event("ChannelResults", channelCodes.empty() ? &none : channelCodes.data(),
                      long(channelCodes.size()));
    push_change_event("ChannelResultNames", channelNameValues(), long(channelNames.size()));
}

void VKRCalibratorDevice::readLog(Tango::Attribute& attribute)
{
    readString(attribute, logText);
}

void VKRCalibratorDevice::readErrors(Tango::Attribute& attribute)
{
    attribute.set_value(&errors);
}

void VKRCalibratorDevice::readOutcome(Tango::Attribute& attribute)
{
    readString(attribute, outcome);
}

void VKRCalibratorDevice::readChannelResults(Tango::Attribute& attribute)
{
    static Tango::DevULong none = 0;
    attribute.set_value(channelCodes.empty() ? &none : channelCodes.data(), long(channelCodes.size()));
}

void VKRCalibratorDevice::readChannelResultNames(Tango::Attribute& attribute)
{
    attribute.set_value(channelNameValues(), long(channelNames.size()));
}

void VKRCalibratorDevice::readString(Tango::Attribute& attribute, const std::string& value)
{
    stringValue = const_cast<char*>(value.c_str());
    attribute.set_value(&stringValue);
}

// Tango takes no null pointer, also for an empty spectrum.
Tango::DevString* VKRCalibratorDevice::channelNameValues()
{
    nameValues.clear();
    for (const std::string& name : channelNames)
        nameValues.push_back(const_cast<char*>(name.c_str()));
    static Tango::DevString noName = nullptr;
    return nameValues.empty() ? &noName : nameValues.data();
}

void VKRCalibratorDevice::readLastReport(Tango::Attribute& attribute)
{
    readString(attribute, lastReport);
}

void VKRCalibratorDevice::readLocator(Tango::Attribute& attribute)
{
    readString(attribute, locator);
}

void VKRCalibratorDevice::writeLocator(Tango::WAttribute& attribute)
{
    if (running)
        refuse("VKR_CalibrationRunning", "The locator cannot change while " + runLocator + " is calibrated",
               "VKRCalibrator::write_Locator");
    Tango::DevString written = nullptr;
    attribute.get_write_value(written);
    locator = QString::fromUtf8(written ? written : "").trimmed().toStdString();
    if (get_state() == Tango::ON && outcome.empty()) {
        set_status(idleStatus(locator));
        push_change_event("Status");
    }
}

VKRCalibratorClass::VKRCalibratorClass(std::string& name) : Tango::DeviceClass(name) {}

VKRCalibratorClass* VKRCalibratorClass::init(const char* name)
{
    static VKRCalibratorClass* instance = nullptr;
    if (!instance) {
        std::string className(name);
        instance = new VKRCalibratorClass(className); // Tango's DServer owns and deletes it
    }
    return instance;
}

void VKRCalibratorClass::command_factory()
{
    command_list.push_back(new DeviceCommand("Calibrate", &VKRCalibratorDevice::calibrate));
    command_list.push_back(new DeviceCommand("Abort", &VKRCalibratorDevice::abort));
}

void VKRCalibratorClass::attribute_factory(std::vector<Tango::Attr*>& attributes)
{
    using Device = VKRCalibratorDevice;
    using Scalar = PushedAttribute<Tango::Attr>;
    using Spectrum = PushedAttribute<Tango::SpectrumAttr>;
    attributes.push_back(new Scalar(&Device::readLog,
                                    "The log of the current or last run, as the window shows it.", "Log",
                                    Tango::DEV_STRING, Tango::READ));
    attributes.push_back(new Scalar(&Device::readErrors, "The errors the last run counted.", "Errors",
                                    Tango::DEV_ULONG, Tango::READ));
    attributes.push_back(new Scalar(
        &Device::readOutcome,
        "How the last run ended, as its report says; running during a run, empty before the first.",
        "Outcome", Tango::DEV_STRING, Tango::READ));
    attributes.push_back(new Spectrum(&Device::readChannelResults,
                                      "The result code of each channel the last run reached.",
                                      "ChannelResults", Tango::DEV_ULONG, MaxChannels));
    attributes.push_back(new Spectrum(&Device::readChannelResultNames,
                                      "The result of each channel the last run reached, by name.",
                                      "ChannelResultNames", Tango::DEV_STRING, MaxChannels));
    attributes.push_back(
        new Scalar(&Device::readLastReport,
                   "The JSON report object of the last run, as vkr-calibrate --report writes it; "
                   "{} before the first.",
                   "LastReport", Tango::DEV_STRING, Tango::READ));
    attributes.push_back(new LocatorAttribute);
}

void VKRCalibratorClass::device_factory(const Tango::DevVarStringArray* names)
{
    for (CORBA::ULong i = 0; i < names->length(); ++i) {
        std::string name((*names)[i].in());
        VKRCalibratorDevice* device = new VKRCalibratorDevice(this, name);
        device_list.push_back(device);
        // Without a database (-nodb, or -file=) a device is reached by its name on the server's port.
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
            export_device(device);
        else
            export_device(device, device->get_name().c_str());
    }
}

void Tango::DServer::class_factory()
{
    add_class(VKRCalibratorClass::init(ClassName));
}
