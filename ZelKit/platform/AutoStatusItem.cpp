#include "AutoStatusItem.h"

#include "SniStatusItem.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcZelTray, "zelkit.tray", QtWarningMsg)

AutoStatusItem::AutoStatusItem(QDBusConnection bus, Factory fallback, QObject *parent)
    : ZelStatusItem(parent), m_makeFallback(std::move(fallback))
{
    m_sni = new SniStatusItem(std::move(bus), this);
    adopt(m_sni);
    m_sni->onHostPresenceChanged = [this](bool) { choose(); };
    choose();
}

AutoStatusItem::~AutoStatusItem()
{
    // The backends are children and go after this body; nothing of ours may run then.
    for (ZelStatusItem *backend : {static_cast<ZelStatusItem *>(m_sni), m_fallback}) {
        if (!backend)
            continue;
        backend->onClicked = nullptr;
        backend->onAvailabilityChanged = nullptr;
    }
    m_sni->onHostPresenceChanged = nullptr;
}

bool AutoStatusItem::isAvailable() const
{
    return m_active && m_active->isAvailable();
}

void AutoStatusItem::setIcon(const QIcon &icon)
{
    m_icon = icon;
    m_sni->setIcon(icon);
    if (m_fallback)
        m_fallback->setIcon(icon);
}

void AutoStatusItem::setToolTip(const QString &text)
{
    m_toolTip = text;
    m_sni->setToolTip(text);
    if (m_fallback)
        m_fallback->setToolTip(text);
}

void AutoStatusItem::setVisible(bool visible)
{
    m_visible = visible;
    if (m_active)
        m_active->setVisible(visible);
    updateAvailability();
}

QRect AutoStatusItem::geometry() const
{
    return m_active ? m_active->geometry() : QRect();
}

void AutoStatusItem::setIconName(const QString &name)
{
    m_sni->setIconName(name);
}

void AutoStatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    m_sni->setMenu(menu);
    if (m_fallback)
        m_fallback->setMenu(menu);
}

std::optional<QColor> AutoStatusItem::hostForeground() const
{
    return m_active ? m_active->hostForeground() : std::nullopt;
}

void AutoStatusItem::choose()
{
    // While the watcher has not yet said whether a host shows items, keep what is shown
    // (at start: nothing), rather than flash the other icon for a moment.
    if (!m_sni->isHostKnown())
        return;
    ZelStatusItem *wanted = m_sni->isHostPresent() ? m_sni : fallback();
    if (wanted != m_active) {
        qCDebug(lcZelTray) << "status item now through"
                           << (wanted == m_sni ? "StatusNotifierItem" : "the system tray");
        if (m_active)
            m_active->setVisible(false);
        m_active = wanted;
        if (m_active)
            m_active->setVisible(m_visible);
    }
    updateAvailability();
}

ZelStatusItem *AutoStatusItem::fallback()
{
    // Made late on purpose: the system tray icon decides once, when it is made, whether it
    // speaks to a watcher itself; made while none is there, it uses the X11 tray.
    if (!m_fallback && m_makeFallback) {
        m_fallback = m_makeFallback(this);
        if (m_fallback) {
            m_fallback->setIcon(m_icon);
            m_fallback->setToolTip(m_toolTip);
            m_fallback->setMenu(m_menu);
            m_fallback->setVisible(false);
            adopt(m_fallback);
        }
    }
    return m_fallback;
}

void AutoStatusItem::adopt(ZelStatusItem *backend)
{
    // A backend that is not in use is not shown, so a click from it (a peer calling the
    // hidden item directly) is not the user's.
    backend->onClicked = [this, backend](const Click &click) {
        if (backend == m_active)
            reportClick(click);
    };
    backend->onAvailabilityChanged = [this](bool) { updateAvailability(); };
}

void AutoStatusItem::updateAvailability()
{
    const bool available = isAvailable();
    if (available == m_available)
        return;
    m_available = available;
    reportAvailability(available);
}
