#include "windowplacement.h"

QPoint centredOrigin(const QSize& screen, const QSize& window)
{
    return QPoint(screen.width() / 2 - window.width() / 2, screen.height() / 2 - window.height() / 2);
}
