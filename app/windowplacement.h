// Where a window of a given size stands when it is centred on a screen of a given size.
#pragma once

#include <QPoint>
#include <QSize>

// Centres by the two sizes alone (the screen's own position is not added); integer halves
// truncate toward zero, and a window larger than the screen gets a negative coordinate.
QPoint centredOrigin(const QSize& screen, const QSize& window);
