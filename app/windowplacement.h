// Where a window stands: centred on a screen at the first start, where it was left from then on.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVector>
#include <optional>

// Centres by the two sizes alone (the screen's own position is not added); integer halves
// truncate toward zero, and a window larger than the screen gets a negative coordinate.
QPoint centredOrigin(const QSize& screen, const QSize& window);

// The remembered geometry when enough of it lies on one of the screens for the user to reach and
// move it; otherwise (no geometry remembered, or a screen unplugged since) the first start's.
QRect restoredGeometry(const std::optional<QRect>& remembered, const QVector<QRect>& screens,
                       const QRect& firstStart);
