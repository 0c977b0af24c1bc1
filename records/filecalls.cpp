#include "filecalls.h"

#include <atomic>
#include <system_error>

namespace FileCalls {

namespace {

std::atomic<SyncCall> replacedSync{nullptr};

} // namespace

int syncData(Descriptor descriptor)
{
    const SyncCall replaced = replacedSync.load();
    return replaced ? replaced(descriptor) : systemSyncData(descriptor);
}

void replaceSyncData(SyncCall call)
{
    replacedSync.store(call);
}

std::string reason(int error)
{
    return std::generic_category().message(error);
}

std::string kindName(Kind kind)
{
    switch (kind) {
    case Kind::Folder:
        return "a folder";
    case Kind::Fifo:
        return "a FIFO";
    case Kind::Device:
        return "a device";
    case Kind::Regular:
    case Kind::Other:
        break;
    }
    return "not a regular file";
}

} // namespace FileCalls
