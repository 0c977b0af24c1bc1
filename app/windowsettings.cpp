#include "windowsettings.h"

#include <QSettings>
#include <memory>

namespace {

std::unique_ptr<QSettings> stored()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("vkr-calibrator"), QStringLiteral("window"));
}

const QString GeometryKey = QStringLiteral("geometry");
const QString LocatorKey = QStringLiteral("locator");

} // namespace

std::optional<QRect> WindowSettings::geometry()
{
    const QVariant value = stored()->value(GeometryKey);
    if (!value.isValid())
        return std::nullopt;
    return value.toRect();
}

QString WindowSettings::locator()
{
    return stored()->value(LocatorKey).toString();
}

void WindowSettings::save(const QRect& geometry, const QString& locator)
{
    const std::unique_ptr<QSettings> settings = stored();
    settings->setValue(GeometryKey, geometry);
    settings->setValue(LocatorKey, locator);
}
