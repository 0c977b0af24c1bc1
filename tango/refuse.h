// How the device refuses a command or a write: Tango's DevFailed, with the refusal's reason and text.
#pragma once

#include "locatorcheck.h"

#include <tango.h>

[[noreturn]] inline void refuse(const LocatorCheck::Refusal& refusal, const char* origin)
{
    Tango::Except::throw_exception(refusal.reason, refusal.text, origin);
}
