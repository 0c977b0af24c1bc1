// How many threads the system is likely to start for this program: the limits it states, read
// once. An estimate only; a thread refused all the same is met where it is started.
#pragma once

#include <cstdint>

class ThreadLimit
{
public:
    // The smallest of the user's process limit (ulimit -u), the system's thread limit and, under
    // an address-space limit (ulimit -v), the stacks that fit into it; the largest value when the
    // system states none of them.
    static std::uint64_t estimate();
};
