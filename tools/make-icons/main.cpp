// Draws the application icon at every size the tool ships and writes the PNG files and the
// Windows icon file. Run it once after changing the design:
//   ninja -C build vkr-make-icons && build/vkr-make-icons app/icons
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <cstdio>

namespace {

// A dial with a needle on a rounded navy tile: a sensor being read and set.
QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(0x24, 0x4a, 0x7c));
    tile.setColorAt(1, QColor(0x12, 0x26, 0x44));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);

    const QPointF centre(128, 140);
    p.setPen(QPen(QColor(0xe8, 0xf0, 0xfa), 14, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(centre.x() - 88, centre.y() - 88, 176, 176), -30 * 16, 240 * 16);

    // Tick marks along the scale.
    p.setPen(QPen(QColor(0xe8, 0xf0, 0xfa), 8, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i <= 6; ++i) {
        const qreal angle = qDegreesToRadians(210.0 - i * 40.0);
        const QPointF direction(qCos(angle), -qSin(angle));
        p.drawLine(centre + direction * 58, centre + direction * 70);
    }

    // The needle, pointing into the upper right of the scale.
    const qreal needleAngle = qDegreesToRadians(50.0);
    const QPointF tip = centre + QPointF(qCos(needleAngle), -qSin(needleAngle)) * 74;
    p.setPen(QPen(QColor(0xff, 0x9f, 0x1c), 14, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, tip);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0x9f, 0x1c));
    p.drawEllipse(centre, 18, 18);
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication application(argc, argv);
    const QDir target(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    for (int size : {16, 32, 48, 64, 256}) {
        const QString name = target.filePath(QStringLiteral("vkr-calibrator-%1.png").arg(size));
        if (!drawIcon(size).save(name)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    QImageWriter ico(target.filePath(QStringLiteral("vkr-calibrator.ico")), "ico");
    if (!ico.write(drawIcon(256))) {
        std::fprintf(stderr, "cannot write the .ico file: %s\n", qPrintable(ico.errorString()));
        return 1;
    }
    return 0;
}
