// The number of files the process may hold open: raised as far as the system lets an ordinary
// process raise it, so that many controllers can be calibrated side by side.
#pragma once

#include <cstdint>

class OpenFileLimit
{
public:
    // Raises the soft limit to the hard one and returns the soft limit then in force (unchanged
    // when raising fails). Where there is no such limit, the largest value.
    static std::uint64_t raiseToHardLimit();
};
