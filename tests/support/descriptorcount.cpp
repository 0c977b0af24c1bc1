#include "descriptorcount.h"

#include <dirent.h>

int openDescriptorCount()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(directory);
    return count - 1; // the directory's own descriptor
}
