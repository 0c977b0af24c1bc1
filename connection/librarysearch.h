// Where the closed controller libraries are looked for, in order: the first candidate that loads
// is used. Each candidate is a path or a bare name that the system's own search resolves.
#pragma once

#include <QStringList>

namespace LibrarySearch {
QStringList candidates(const QString& baseName);
}
