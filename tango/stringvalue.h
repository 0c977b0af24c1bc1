// The value of one string attribute as the device hands it to Tango: each attribute its own text
// and its own pointer to it. Tango copies the values of a read only once every attribute the
// request names has been read (polling reads several in one request), so a pointer shared by the
// attributes would hand each of them the text of the last one read.
#pragma once

#include <tango.h>

#include <string>

class StringValue
{
public:
    StringValue& operator=(std::string text)
    {
        value = std::move(text);
        return *this;
    }
    StringValue& operator+=(const std::string& text)
    {
        value += text;
        return *this;
    }
    const std::string& text() const { return value; }
    bool empty() const { return value.empty(); }
    // Valid until the text changes, which only happens under the device's monitor.
    Tango::DevString* forTango()
    {
        pointer = const_cast<char*>(value.c_str());
        return &pointer;
    }

private:
    std::string value;
    Tango::DevString pointer = nullptr;
};
