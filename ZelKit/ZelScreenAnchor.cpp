#include "ZelScreenAnchor.h"

#include <QGuiApplication>
#include <QScreen>

namespace {
// The primary screen's rectangle; without one there is nothing to mirror against.
QRectF primaryGeometry()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return {};
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? QRectF(screen->geometry()) : QRectF();
}
} // namespace

QPointF ZelScreenAnchor::toGlobal(QPointF anchor)
{
    const QRectF primary = primaryGeometry();
    return {primary.x() + anchor.x(), primary.y() + primary.height() - anchor.y()};
}

QPointF ZelScreenAnchor::fromGlobal(QPointF global)
{
    const QRectF primary = primaryGeometry();
    return {global.x() - primary.x(), primary.y() + primary.height() - global.y()};
}
