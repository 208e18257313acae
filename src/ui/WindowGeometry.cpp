#include "ui/WindowGeometry.h"

#include <QDataStream>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

#include <algorithm>

namespace windowgeometry {

namespace {

const QString kGeometryKey = QStringLiteral("MainWindow/geometry");
// QWidget::saveGeometry's format begins with this magic, two version numbers and the frame.
constexpr quint32 kSavedGeometryMagic = 0x1D9D0CB;

bool fitsAScreen(const QByteArray& saved)
{
    QDataStream stream(saved);
    stream.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0;
    quint16 minor = 0;
    QRect frame;
    stream >> magic >> major >> minor >> frame;
    if (stream.status() != QDataStream::Ok || magic != kSavedGeometryMagic || !frame.isValid())
        return false;
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(),
                       [&frame](const QScreen* screen) { return screen->availableGeometry().contains(frame); });
}

}  // namespace

QString settingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/window.ini");
}

void save(const QWidget& window)
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    settings.setValue(kGeometryKey, window.saveGeometry());
    settings.sync();
}

bool restore(QWidget& window)
{
    const QSettings settings(settingsPath(), QSettings::IniFormat);
    const QByteArray saved = settings.value(kGeometryKey).toByteArray();
    // Qt would squeeze a window from a screen that is gone onto this one; the default size is kinder.
    return fitsAScreen(saved) && window.restoreGeometry(saved);
}

}  // namespace windowgeometry
