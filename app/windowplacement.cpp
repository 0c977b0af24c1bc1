#include "windowplacement.h"

#include <algorithm>

namespace {

// A corner this big is enough to grab the window and pull it back into view.
constexpr int ReachableWidth = 64;
constexpr int ReachableHeight = 32;

bool reachable(const QRect& window, const QRect& screen)
{
    const QRect shown = window.intersected(screen);
    return !shown.isEmpty() && shown.width() >= std::min(ReachableWidth, window.width()) &&
           shown.height() >= std::min(ReachableHeight, window.height());
}

} // namespace

QPoint centredOrigin(const QSize& screen, const QSize& window)
{
    return QPoint(screen.width() / 2 - window.width() / 2, screen.height() / 2 - window.height() / 2);
}

QRect restoredGeometry(const std::optional<QRect>& remembered, const QVector<QRect>& screens,
                       const QRect& firstStart)
{
    if (!remembered || !remembered->isValid())
        return firstStart;
    const bool onAScreen = std::any_of(screens.begin(), screens.end(),
                                       [&](const QRect& screen) { return reachable(*remembered, screen); });
    return onAScreen ? *remembered : firstStart;
}
