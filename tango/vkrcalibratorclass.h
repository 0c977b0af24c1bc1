// The Tango class VKRCalibrator: its commands, with what each state allows, its attributes with
// their labels and descriptions, and the properties Jive's wizard shows.
#pragma once

#include <tango.h>

#include <string>
#include <vector>

class VKRCalibratorClass : public Tango::DeviceClass
{
public:
    static VKRCalibratorClass* init(const char* name);
    // Tango deletes the class after its devices, as the server ends: the events they pushed last
    // are given their time to leave.
    ~VKRCalibratorClass() override;

protected:
    explicit VKRCalibratorClass(std::string& name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
    void device_factory(const Tango::DevVarStringArray* names) override;

private:
    // Description, ProjectTitle and doc_url, as Jive and Astor show a class; into a real database
    // only (a property file would be rewritten).
    void writeClassProperties();
};
