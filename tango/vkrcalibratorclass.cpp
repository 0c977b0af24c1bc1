#include "vkrcalibratorclass.h"

#include "shutdownevents.h"
#include "vkrcalibratordevice.h"

namespace {

const char* const ClassName = "VKRCalibrator";

// A spectrum holds at most this many channels, as the device keeps them.
constexpr long MaxChannels = 65536;

using Device = VKRCalibratorDevice;
using Reader = void (Device::*)(Tango::Attribute&);

struct Presentation
{
    const char* label;
    const char* description;
    const char* format = nullptr;
};

void present(Tango::Attr& attribute, const Presentation& presentation)
{
    Tango::UserDefaultAttrProp properties;
    properties.set_label(presentation.label);
    properties.set_description(presentation.description);
    if (presentation.format)
        properties.set_format(presentation.format);
    attribute.set_default_properties(properties);
    // Pushed by the device as they change, without Tango's own checks; archivers take the same.
    attribute.set_change_event(true, false);
    attribute.set_archive_event(true, false);
}

// A read-only attribute: a scalar (Tango::Attr) or a spectrum (Tango::SpectrumAttr), made with that
// class's own arguments after the reader and its presentation.
template <typename Shape> class ReadAttribute : public Shape
{
public:
    template <typename... ShapeArguments>
    ReadAttribute(Reader reader, const Presentation& presentation, ShapeArguments... arguments)
        : Shape(arguments...), reader(reader)
    {
        present(*this, presentation);
    }
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override
    {
        (static_cast<Device*>(device)->*reader)(attribute);
    }

private:
    const Reader reader;
};

class LocatorAttribute : public Tango::Attr
{
public:
    LocatorAttribute() : Tango::Attr("Locator", Tango::DEV_STRING, Tango::READ_WRITE)
    {
        present(*this, {"Locator",
                        "The locator the next Calibrate opens: the Locator property's at start-up and after "
                        "Init, or what a client wrote. At most 4096 bytes, no control characters."});
    }
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override
    {
        static_cast<Device*>(device)->readLocator(attribute);
    }
    void write(Tango::DeviceImpl* device, Tango::WAttribute& attribute) override
    {
        static_cast<Device*>(device)->writeLocator(attribute);
    }
    // A read is always allowed; a write only while no run goes on.
    bool is_allowed(Tango::DeviceImpl* device, Tango::AttReqType request) override
    {
        if (request == Tango::WRITE_REQ)
            static_cast<Device*>(device)->allowLocatorWrite();
        return true;
    }
};

class DeviceCommand : public Tango::Command
{
public:
    using Method = void (Device::*)();
    DeviceCommand(const char* name, const char* result, Method method, Method allow = nullptr)
        : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID, "No argument", result), method(method),
          allow(allow)
    {
    }
    CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any&) override
    {
        (static_cast<Device*>(device)->*method)();
        return insert();
    }
    // The device refuses with its own reason and text rather than Tango's "not allowed".
    bool is_allowed(Tango::DeviceImpl* device, const CORBA::Any&) override
    {
        if (allow)
            (static_cast<Device*>(device)->*allow)();
        return true;
    }

private:
    const Method method;
    const Method allow;
};

void addDeviceProperty(Tango::DeviceClass& deviceClass, std::string name, std::string description,
                       std::string fallback = std::string())
{
    if (fallback.empty())
        deviceClass.add_wiz_dev_prop(name, description);
    else
        deviceClass.add_wiz_dev_prop(name, description, fallback);
}

} // namespace

VKRCalibratorClass::VKRCalibratorClass(std::string& name) : Tango::DeviceClass(name)
{
    addDeviceProperty(*this, "Locator",
                      "The locator of the device's controller: a serial port (serial:/dev/ttyUSB0), a "
                      "controller the controller library lists, or sim:demo. Read at start-up and by Init.");
    addDeviceProperty(*this, "AllowReplay",
                      "Whether the device may replay a recording (a sim:replay=FILE locator), which reads a "
                      "file the client names. For developers' machines only.",
                      "false");
    addDeviceProperty(*this, "StopLimit",
                      "How long, in seconds, a run asked to stop (by Abort, Init, DevRestart or the server's "
                      "end) may take before the device takes it as stuck in a controller library call and "
                      "shows FAULT. Above 0, at most 60.",
                      "5");
    writeClassProperties();
}

void VKRCalibratorClass::writeClassProperties()
{
    if (!Tango::Util::_UseDb || Tango::Util::_FileDb || !get_db_class())
        return;
    Tango::DbDatum title("ProjectTitle");
    title << "VKR Calibrator";
    Tango::DbDatum description("Description");
    std::vector<std::string> lines{
        "Calibrates the position sensors of every channel of one VKR positioning controller.",
        "Calibrate starts a run, Abort stops it; State shows its end (ON, ALARM after errors or an abort,",
        "FAULT when the controller could not be opened or its library does not return).",
        "Log, LastReport and the channel results hold the run's account."};
    description << lines;
    Tango::DbDatum documentation("doc_url");
    documentation << "file:///usr/share/doc/vkr-calibrator-tango/tango.md";
    Tango::DbData properties{title, description, documentation};
    try {
        get_db_class()->put_property(properties);
    } catch (const Tango::DevFailed& failure) {
        Tango::Except::print_exception(failure);
    }
}

namespace {
// Tango's DServer owns the class and deletes it with its devices, at the server's end and at the
// admin's RestartServer, which then asks for the class again.
VKRCalibratorClass* instance = nullptr;
} // namespace

VKRCalibratorClass* VKRCalibratorClass::init(const char* name)
{
    if (!instance) {
        std::string className(name);
        instance = new VKRCalibratorClass(className);
    }
    return instance;
}

VKRCalibratorClass::~VKRCalibratorClass()
{
    instance = nullptr;
    if (Tango::Util::instance()->is_svr_shutting_down())
        ShutdownEvents::letLeave();
}

void VKRCalibratorClass::command_factory()
{
    command_list.push_back(new DeviceCommand(
        "Calibrate",
        "Nothing: the run starts and the command returns at once; State, Status and Log follow the run, "
        "and State leaves RUNNING at its end",
        &Device::calibrate, &Device::allowCalibrate));
    command_list.push_back(new DeviceCommand(
        "Abort",
        "Nothing: the run is asked to stop and the command returns at once; the run's end shows in State "
        "and Status, or FAULT when it has not ended within StopLimit",
        &Device::abort));
}

void VKRCalibratorClass::attribute_factory(std::vector<Tango::Attr*>& attributes)
{
    using Scalar = ReadAttribute<Tango::Attr>;
    using Spectrum = ReadAttribute<Tango::SpectrumAttr>;
    attributes.push_back(new Scalar(&Device::readLog,
                                    {"Log", "The log of the current or last run, as the window shows it."},
                                    "Log", Tango::DEV_STRING, Tango::READ));
    attributes.push_back(new Scalar(&Device::readErrors, {"Errors", "The errors the last run counted.", "%d"},
                                    "Errors", Tango::DEV_ULONG, Tango::READ));
    attributes.push_back(new Scalar(
        &Device::readOutcome,
        {"Outcome",
         "How the last run ended, as its report says; running during a run, empty before the first."},
        "Outcome", Tango::DEV_STRING, Tango::READ));
    attributes.push_back(new Spectrum(&Device::readChannelResults,
                                      {"Channel result codes",
                                       "The result code of each channel the last run reached: 0 calibrated, "
                                       "129 no sensor, else the code that failed it.",
                                       "%d"},
                                      "ChannelResults", Tango::DEV_ULONG, MaxChannels));
    attributes.push_back(
        new Spectrum(&Device::readChannelResultNames,
                     {"Channel results", "The result of each channel the last run reached, by name."},
                     "ChannelResultNames", Tango::DEV_STRING, MaxChannels));
    attributes.push_back(
        new Scalar(&Device::readLastReport,
                   {"Last report", "The JSON report object of the last run, as vkr-calibrate --report writes "
                                   "it, with the client that started it; {} before the first."},
                   "LastReport", Tango::DEV_STRING, Tango::READ));
    attributes.push_back(
        new Scalar(&Device::readClient,
                   {"Client", "The Tango client that started the current or last run: its host and "
                              "process id (or Java main class)."},
                   "Client", Tango::DEV_STRING, Tango::READ));
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
