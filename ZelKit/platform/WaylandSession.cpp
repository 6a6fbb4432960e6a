#include "WaylandSession.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtEndian>

namespace {

constexpr int swayTimeoutMs = 500;
constexpr quint32 swayGetWorkspaces = 1;
const QByteArray swayMagic = QByteArrayLiteral("i3-ipc");

bool readFully(QLocalSocket &socket, char *data, qint64 size)
{
    for (qint64 done = 0; done < size;) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(swayTimeoutMs))
            return false;
        const qint64 got = socket.read(data + done, size - done);
        if (got < 0)
            return false;
        done += got;
    }
    return true;
}

} // namespace

void WaylandSession::preferXWayland()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsSet("DISPLAY"))
        return;
    if (!qEnvironmentVariableIsSet("WAYLAND_DISPLAY") &&
        qgetenv("XDG_SESSION_TYPE") != QByteArrayLiteral("wayland"))
        return;
    // Wayland stays the fallback should the X server not answer.
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb;wayland"));
}

bool WaylandSession::isWaylandSession()
{
    return qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
           qgetenv("XDG_SESSION_TYPE") == QByteArrayLiteral("wayland");
}

std::optional<QColor> WaylandSession::panelColor()
{
    if (qEnvironmentVariableIsSet("SWAYSOCK"))
        return QColor(0x2b, 0x30, 0x3b);
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").split(':');
    if (desktops.contains("GNOME"))
        return QColor(Qt::black);
    return std::nullopt;
}

bool WaylandSession::isNativeClient()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

std::optional<QRect> WaylandSession::swayWorkArea()
{
    const QString path = qEnvironmentVariable("SWAYSOCK");
    if (path.isEmpty())
        return std::nullopt;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(swayTimeoutMs))
        return std::nullopt;
    // The IPC's header: magic, payload length and type in the host's byte order.
    QByteArray request = swayMagic;
    request.append(QByteArray(8, '\0'));
    qToUnaligned(quint32(0), request.data() + 6);
    qToUnaligned(swayGetWorkspaces, request.data() + 10);
    socket.write(request);
    QByteArray header(14, '\0');
    if (!socket.waitForBytesWritten(swayTimeoutMs) ||
        !readFully(socket, header.data(), header.size()) || !header.startsWith(swayMagic))
        return std::nullopt;
    QByteArray payload(qFromUnaligned<quint32>(header.constData() + 6), '\0');
    if (!readFully(socket, payload.data(), payload.size()))
        return std::nullopt;
    for (const QJsonValue workspace : QJsonDocument::fromJson(payload).array()) {
        if (!workspace[QLatin1String("focused")].toBool())
            continue;
        const QJsonValue rect = workspace[QLatin1String("rect")];
        return QRect(rect[QLatin1String("x")].toInt(), rect[QLatin1String("y")].toInt(),
                     rect[QLatin1String("width")].toInt(), rect[QLatin1String("height")].toInt());
    }
    return std::nullopt;
}
