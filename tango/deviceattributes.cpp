// The device's attributes as Tango reads them, the Locator as a client writes it, and who the
// client is.
#include "refuse.h"
#include "vkrcalibratordevice.h"

#include <QSysInfo>
#include <cstring>

// Tango's identification of the client whose request this thread serves: its host and its
// process (or Java main class).
std::string VKRCalibratorDevice::clientName()
{
    const Tango::client_addr* address = get_client_ident();
    if (!address)
        return "an unidentified client";
    // A client on this host may come over omniORB's Unix socket, which names no host.
    std::string host;
    if (std::strncmp(address->client_ip, "giop:unix:", 10) == 0)
        host = QSysInfo::machineHostName().toStdString();
    else if (address->client_ip_2_client_name(host) != 0 || host.empty())
        host = address->client_ip;
    if (!address->client_ident)
        return host;
    if (address->client_lang == Tango::JAVA)
        return host + ", " + address->java_main_class;
    return host + ", pid " + std::to_string(address->client_pid);
}

void VKRCalibratorDevice::readLog(Tango::Attribute& attribute)
{
    attribute.set_value(logText.forTango());
}

void VKRCalibratorDevice::readErrors(Tango::Attribute& attribute)
{
    attribute.set_value(&errors);
}

void VKRCalibratorDevice::readOutcome(Tango::Attribute& attribute)
{
    attribute.set_value(outcome.forTango());
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
    attribute.set_value(lastReport.forTango());
}

void VKRCalibratorDevice::readLocator(Tango::Attribute& attribute)
{
    attribute.set_value(locator.forTango());
}

void VKRCalibratorDevice::readClient(Tango::Attribute& attribute)
{
    attribute.set_value(client.forTango());
}

void VKRCalibratorDevice::writeLocator(Tango::WAttribute& attribute)
{
    Tango::DevString written = nullptr;
    attribute.get_write_value(written);
    const std::string text = written ? written : "";
    // The same bytes as Calibrate checks and opens: one length rule for both.
    const std::string taken = LocatorCheck::trimmed(text);
    if (const auto refusal = LocatorCheck::refusal(taken, allowReplay))
        refuse(*refusal, "VKRCalibrator::write_Locator");
    locator = taken;
    locatorProblem.clear();
    // Tango takes the written value as the set-point only after this returns, so the event would
    // carry the last one; Tango's polling would then find the set-point changed and push the
    // locator a second time.
    std::string setPoint = text;
    attribute.set_write_value(setPoint);
    if (!machine.stuck() && outcome.empty())
        showIdle();
    pushChanges();
}
