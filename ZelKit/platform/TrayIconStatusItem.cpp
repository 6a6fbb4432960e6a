#include "TrayIconStatusItem.h"

#include "AutoStatusItem.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

TrayIconStatusItem::TrayIconStatusItem(QObject *parent) : ZelStatusItem(parent)
{
    m_tray = new QSystemTrayIcon(this);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                Click click;
                click.modifiers = QGuiApplication::queryKeyboardModifiers();
                switch (reason) {
                case QSystemTrayIcon::Trigger:
                // Qt turns the second of two quick clicks into a double click and drops
                // its press; it is still a click, e.g. one that reopens the popup just
                // closed with Escape.
                case QSystemTrayIcon::DoubleClick:
                    click.button = Button::Left;
                    break;
                case QSystemTrayIcon::Context:
                    click.button = Button::Right;
                    break;
                default:
                    // Middle clicks are not the hub's gestures.
                    return;
                }
                reportClick(click);
            });
    // Qt says nothing when an X11 tray host starts or quits, so ask now and then.
    m_availabilityPoll = new QTimer(this);
    m_availabilityPoll->setInterval(1000);
    connect(m_availabilityPoll, &QTimer::timeout, this, &TrayIconStatusItem::checkAvailability);
    m_availabilityPoll->start();
    m_available = QSystemTrayIcon::isSystemTrayAvailable();
}

TrayIconStatusItem::~TrayIconStatusItem() = default;

bool TrayIconStatusItem::isAvailable() const
{
    return m_available;
}

void TrayIconStatusItem::setIcon(const QIcon &icon)
{
    m_tray->setIcon(icon);
}

void TrayIconStatusItem::setToolTip(const QString &text)
{
    m_tray->setToolTip(text);
}

void TrayIconStatusItem::setVisible(bool visible)
{
    m_tray->setVisible(visible);
}

QRect TrayIconStatusItem::geometry() const
{
    return m_tray->isVisible() ? m_tray->geometry() : QRect();
}

namespace {

xcb_atom_t internAtom(xcb_connection_t *connection, const QByteArray &name)
{
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, true, uint16_t(name.size()), name.constData()),
            nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

std::optional<QColor> TrayIconStatusItem::hostForeground() const
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return std::nullopt;
    // The tray manager is the owner of the screen's tray selection; the colours are a
    // property of its window: foreground, error, warning, success, 16 bits a channel.
    const xcb_atom_t selection = internAtom(connection, "_NET_SYSTEM_TRAY_S0");
    const xcb_atom_t colors = internAtom(connection, "_NET_SYSTEM_TRAY_COLORS");
    if (selection == XCB_ATOM_NONE || colors == XCB_ATOM_NONE)
        return std::nullopt;
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection),
                                      nullptr),
        &std::free);
    if (!owner || owner->owner == XCB_NONE)
        return std::nullopt;
    const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> property(
        xcb_get_property_reply(
            connection,
            xcb_get_property(connection, false, owner->owner, colors, XCB_ATOM_CARDINAL, 0, 12),
            nullptr),
        &std::free);
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 12)
        return std::nullopt;
    const auto *values = static_cast<const uint32_t *>(xcb_get_property_value(property.get()));
    return QColor::fromRgb(int(values[0] >> 8), int(values[1] >> 8), int(values[2] >> 8));
}

void TrayIconStatusItem::checkAvailability()
{
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == m_available)
        return;
    m_available = available;
    if (available && m_tray->isVisible()) {
        // Embed again into the host that came.
        m_tray->hide();
        m_tray->show();
    }
    reportAvailability(available);
}

ZelStatusItem *ZelStatusItem::create(QObject *parent)
{
    return new AutoStatusItem(
        QDBusConnection::sessionBus(),
        [](QObject *owner) -> ZelStatusItem * { return new TrayIconStatusItem(owner); }, parent);
}
