#pragma once

// The number of file descriptors this process holds, counted under /proc/self/fd; -1 when it cannot be
// counted. Compare two counts to show that code left no descriptor open.
int openDescriptorCount();
