// What the window remembers between starts: where it stood, how big it was and the last locator
// a run was started with, in the user's configuration folder
// ($XDG_CONFIG_HOME/vkr-calibrator/window.conf).
#pragma once

#include <QRect>
#include <QString>
#include <optional>

class WindowSettings
{
public:
    // Nothing before the first close of a window.
    static std::optional<QRect> geometry();
    static QString locator();
    static void save(const QRect& geometry, const QString& locator);
};
