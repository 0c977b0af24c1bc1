#include "controllerlibrary.h"

#include "loadedcontrollerlibrary.h"

#include <atomic>

namespace {
std::atomic<ControllerLibrary*> installed{nullptr};
}

ControllerLibrary& ControllerLibrary::instance()
{
    if (ControllerLibrary* replacement = installed.load())
        return *replacement;
    static LoadedControllerLibrary loaded;
    return loaded;
}

void ControllerLibrary::setInstance(ControllerLibrary* replacement)
{
    installed.store(replacement);
}
