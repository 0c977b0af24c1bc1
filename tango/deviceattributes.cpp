// The device's attributes as Tango reads them and as their events push them, the Locator as a
// client writes it, and who the client is.
#include "refuse.h"
#include "shutdownevents.h"
#include "vkrcalibratordevice.h"

#include <QSysInfo>
#include <cstring>

namespace {

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += item + '\n';
    return text;
}

} // namespace

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

// Each change goes out as a change event and as an archive event, so that an archiver needs no
// polling; a value its subscribers already have does not. Tango copies the value before the push
// returns.
template <typename... Value>
void VKRCalibratorDevice::pushIfChanged(const char* attribute, std::string key, Value... value)
{
    const auto last = pushed.find(attribute);
    if (last != pushed.end() && last->second == key)
        return;
    pushed[attribute] = std::move(key);
    // While the server starts, what subscribers will read when they subscribe.
    if (Tango::Util::instance()->is_svr_starting())
        return;
    push_change_event(attribute, value...);
    push_archive_event(attribute, value...);
    if (Tango::Util::instance()->is_svr_shutting_down())
        ShutdownEvents::pushed();
}

void VKRCalibratorDevice::pushChanges()
{
    if (pushesHeld)
        return; // a restarted device's subscribers have not come over yet
    pushIfChanged("State", std::to_string(int(get_state())));
    pushIfChanged("Status", get_status());
    pushIfChanged("Log", logText.text(), logText.forTango());
    pushIfChanged("Outcome", outcome.text(), outcome.forTango());
    pushIfChanged("LastReport", lastReport.text(), lastReport.forTango());
    pushIfChanged("Locator", locator.text(), locator.forTango());
    pushIfChanged("Client", client.text(), client.forTango());
    pushIfChanged("Errors", std::to_string(errors), &errors);
    std::string codes;
    for (Tango::DevULong code : channelCodes)
        codes += std::to_string(code) + ',';
    // Tango takes no null pointer, also for an empty spectrum.
    Tango::DevULong none = 0;
    pushIfChanged("ChannelResults", codes, channelCodes.empty() ? &none : channelCodes.data(),
                  long(channelCodes.size()));
    pushIfChanged("ChannelResultNames", joined(channelNames), channelNameValues(), long(channelNames.size()));
}
