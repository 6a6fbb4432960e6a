#include "HubPopover.h"

#include "HubPopoverViewController.h"

#include <ZelKit/platform/WaylandSession.h>

#include <QBoxLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleHints>
#include <QTimer>

#include <algorithm>

namespace {

// A click on the tray icon closes the popup on press and toggles on release; both come
// within a moment of each other.
constexpr qint64 outsideClickWindowMs = 300;
// Around the icon, or the point the host reported, a press still counts as on the icon.
constexpr int iconReach = 16;
// Between the icon's edge and the popup's.
constexpr int gap = 4;

} // namespace

namespace {

// A Wayland client's popup needs a parent surface and the serial of a click on it, which a
// tray application never has: there the popup is a frameless tool window that the
// compositor places, closed on Escape and when it loses the keyboard.
Qt::WindowFlags popupFlags()
{
    if (WaylandSession::isNativeClient())
        return Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    return Qt::Popup | Qt::FramelessWindowHint;
}

} // namespace

HubPopover::HubPopover(QWidget *parent) : QWidget(parent, popupFlags())
{
    setAttribute(Qt::WA_X11NetWmWindowTypePopupMenu);
    setWindowTitle(QStringLiteral("ZelHub"));
    setAccessibleName(QStringLiteral("ZelHub"));
    // The popup holds the keyboard until a key is pressed; only then does a button show
    // the focus, so a mouse click does not open it with one drawn selected.
    setFocusPolicy(Qt::StrongFocus);
    auto *layout = new QVBoxLayout(this);
    // Room for the frame that sets the popup off a light window behind it.
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void HubPopover::setContentViewController(HubPopoverViewController *controller)
{
    if (m_controller == controller)
        return;
    delete m_controller;
    m_controller = controller;
    if (controller)
        layout()->addWidget(controller);
}

QPoint HubPopover::placement(const QSize &size, const QRect &anchor, const QRect &screen)
{
    // Centred under the icon: QRect::center() rounds an even width down.
    int x = anchor.x() + (anchor.width() - size.width()) / 2;
    // A panel in the lower half of the screen is at the bottom: open upward.
    const bool upward = screen.isValid() && anchor.center().y() > screen.center().y();
    int y = upward ? anchor.top() - gap - size.height() : anchor.bottom() + 1 + gap;
    if (screen.isValid()) {
        x = std::clamp(x, screen.left(),
                       std::max(screen.left(), screen.right() + 1 - size.width()));
        y = std::clamp(y, screen.top(),
                       std::max(screen.top(), screen.bottom() + 1 - size.height()));
    }
    return {x, y};
}

void HubPopover::show(const QRect &anchor, const QRect &bounds)
{
    m_anchor = anchor;
    m_bounds = bounds;
    updateSize();
    QWidget::show();
    raise();
    activateWindow();
    setFocus(Qt::PopupFocusReason);
}

void HubPopover::updateSize()
{
    if (!m_controller)
        return;
    m_controller->setFixedSize(m_controller->preferredContentSize());
    adjustSize();
    const QScreen *screen = QGuiApplication::screenAt(m_anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    move(placement(size(), m_anchor,
                   m_bounds.isValid() ? m_bounds : (screen ? screen->geometry() : QRect())));
}

void HubPopover::performClose()
{
    hide();
}

bool HubPopover::takeOutsideClose()
{
    const bool recent = m_outsideClose.isValid() && m_outsideClose.elapsed() < outsideClickWindowMs;
    m_outsideClose.invalidate();
    return recent;
}

void HubPopover::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_outsideClose.invalidate();
    m_shown.start();
    if (auto callback = onDidShow)
        callback();
}

void HubPopover::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (auto callback = onDidClose)
        callback();
}

void HubPopover::mousePressEvent(QMouseEvent *event)
{
    // A popup gets the press that lands outside it, and closes on it; but not on the
    // second press of the double click on the tray icon that opened it.
    if (!rect().contains(event->position().toPoint())) {
        const QRect icon = m_anchor.adjusted(-iconReach, -iconReach, iconReach, iconReach);
        if (event->button() == Qt::LeftButton && m_shown.isValid() &&
            m_shown.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
            icon.contains(event->globalPosition().toPoint()))
            return;
        m_outsideClose.start();
        const bool context =
            event->button() == Qt::RightButton ||
            (event->button() == Qt::LeftButton && event->modifiers() & Qt::ControlModifier);
        if (context && onContextClickOutside) {
            // After the popup has closed on this press, so the menu can take the pointer.
            QTimer::singleShot(0, this, [this, at = event->globalPosition().toPoint()] {
                if (auto callback = onContextClickOutside)
                    callback(at);
            });
        }
    }
    QWidget::mousePressEvent(event);
}

void HubPopover::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // Where the popup is a window of its own, losing the keyboard is the click elsewhere.
    if (event->type() == QEvent::ActivationChange && windowType() != Qt::Popup && isVisible() &&
        !isActiveWindow())
        performClose();
}

void HubPopover::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        performClose();
        return;
    }
    // The first key gives the first button the focus and then does what it does there,
    // as if the button had had the focus from the start.
    if (focusWidget() == this && m_controller) {
        m_controller->focusFirstButton();
        if (QWidget *button = focusWidget(); button && button != this) {
            QCoreApplication::sendEvent(button, event);
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void HubPopover::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
