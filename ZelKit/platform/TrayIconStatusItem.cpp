#include "TrayIconStatusItem.h"

#include "AutoStatusItem.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>

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
