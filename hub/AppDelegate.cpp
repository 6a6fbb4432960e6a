#include "AppDelegate.h"

#include "HubGlyph.h"
#include "HubPopover.h"
#include "HubPopoverViewController.h"

#include <ZelKit/ZelScreenAnchor.h>
#include <ZelKit/platform/WaylandSession.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QLoggingCategory>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QStyleHints>
#include <QTimer>

#include <cstdio>

Q_LOGGING_CATEGORY(lcZelHubUi, "zelhub.ui", QtWarningMsg)

namespace {

// A tray host may take a moment to answer; only then is a missing tray worth a word.
constexpr int trayGraceMs = 3000;

QColor glyphColor()
{
    return QGuiApplication::palette().color(QPalette::WindowText);
}

// Tray hosts and our grid do not tint mask images, so draw them in the text colour.
QIcon tinted(const QIcon &mask, const QColor &color)
{
    QIcon result;
    for (const int side : {18, 36, 64}) {
        QPixmap pixmap = mask.pixmap(QSize(side, side));
        if (pixmap.isNull())
            continue;
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result.isNull() ? mask : result;
}

} // namespace

AppDelegate::AppDelegate(StatusItemFactory makeStatusItem, QObject *parent)
    : QObject(parent), m_makeStatusItem(std::move(makeStatusItem))
{
    m_iconsHidden = ZelUserDefaults::standard().boolForKey(hiddenKey);
}

AppDelegate::~AppDelegate()
{
    m_server.onRegistryChanged = nullptr;
    delete m_menu;
    delete m_bubble;
}

HubPopoverViewController *AppDelegate::bubbleVC()
{
    if (!m_bubbleVC)
        m_bubbleVC = new HubPopoverViewController;
    return m_bubbleVC;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // No main window and no taskbar entry: the hub lives in the tray only.
    QApplication::setQuitOnLastWindowClosed(false);
    setUpStatusItem();
    setUpPopover();
    m_server.onRegistryChanged = [self = QPointer<AppDelegate>(this)] {
        if (self)
            self->registryChanged();
    };
    m_server.start();
}

void AppDelegate::applicationWillTerminate()
{
    // The siblings show their own icons while no hub runs; the preference stays, so the
    // next hub hides them again.
    if (m_iconsHidden)
        m_server.showAll();
    m_server.stop();
    if (m_statusItem)
        m_statusItem->setVisible(false);
}

void AppDelegate::setUpStatusItem()
{
    m_statusItem = m_makeStatusItem ? m_makeStatusItem(this) : ZelStatusItem::create(this);
    m_statusItem->setIcon(HubGlyph::icon(glyphColor()));
    m_statusItem->setToolTip(QStringLiteral("ZelHub — click to open the hub"));
    m_statusItem->onClicked = [this](const ZelStatusItem::Click &click) { statusClicked(click); };
    m_statusItem->onAvailabilityChanged = [](bool available) {
        qCDebug(lcZelHubUi) << "tray available:" << available;
    };
    m_statusItem->setVisible(true);
    QTimer::singleShot(trayGraceMs, this, &AppDelegate::reportMissingTray);
}

void AppDelegate::reportMissingTray()
{
    if (m_missingTrayReported || !m_statusItem || m_statusItem->isAvailable())
        return;
    m_missingTrayReported = true;
    std::fputs("ZelHub: no system tray is available; running without a tray icon.\n", stderr);
}

void AppDelegate::setUpPopover()
{
    if (!m_bubble) {
        m_bubble = new HubPopover;
        m_bubble->onDidShow = [this] { popoverDidShow(); };
        m_bubble->onDidClose = [this] { popoverDidClose(); };
    }
    m_bubble->setContentViewController(bubbleVC());
    bubbleVC()->onSelect = [self = QPointer<AppDelegate>(this)](const ZelHubApp &app) {
        if (self)
            self->activateApp(app);
    };
}

void AppDelegate::statusClicked(const std::optional<ZelStatusItem::Click> &click)
{
    // Asked on every click, so that only the first one after an outside close is taken
    // for it: a right click or a second left click is the person's next gesture.
    const bool endsClosingClick = m_bubble && m_bubble->takeOutsideClose();
    if (click) {
        qCDebug(lcZelHubUi) << "click" << int(click->button) << click->modifiers
                            << "popup open:" << m_bubbleOpen;
        m_clickPosition = click->position                 ? click->position
                          : click->positionRelativeToIcon ? barPoint()
                                                          : std::optional<QPoint>(QCursor::pos());
        if (click->button == ZelStatusItem::Button::Left)
            m_activationToken = click->activationToken;
        if (click->button == ZelStatusItem::Button::Right ||
            click->modifiers.testFlag(Qt::ControlModifier)) {
            showContextMenu();
            return;
        }
    }
    // Hosts report a double click as two clicks (or a click and a press outside the popup):
    // the second must not close what the first opened.
    if (m_bubbleOpen && m_bubbleOpened.isValid() &&
        m_bubbleOpened.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval()) {
        qCDebug(lcZelHubUi) << "second click of a double click";
        return;
    }
    if (endsClosingClick && !m_bubbleOpen) {
        qCDebug(lcZelHubUi) << "click taken as the one that closed the popup";
        return;
    }
    togglePopover();
}

void AppDelegate::togglePopover()
{
    if (m_bubbleOpen) {
        m_bubble->performClose();
        return;
    }
    if (!m_statusItem || !m_statusItem->isAvailable())
        return;
    m_server.pruneDeadApps();
    m_server.discover();
    refreshPopover();
    m_bubbleOpen = true;
    m_bubbleOpened.start();
    m_bubble->show(iconRect().value_or(QRect()));
}

void AppDelegate::refreshPopover()
{
    HubPopoverViewController *controller = bubbleVC();
    controller->apps = m_server.apps();
    controller->statusProvider = [self = QPointer<AppDelegate>(this)](const ZelHubApp &app) {
        if (!self)
            return HubPopoverViewController::StatusInfo{};
        const ZelStatusInfo info = self->iconInfo(app);
        return HubPopoverViewController::StatusInfo{info.image, info.title};
    };
    controller->reload();
    if (m_bubble && m_bubble->isVisible())
        m_bubble->updateSize();
}

void AppDelegate::registryChanged()
{
    refreshPopover();
    if (m_iconsHidden)
        m_server.hideAll(statusAnchor());
}

void AppDelegate::toggleHidden()
{
    m_iconsHidden = !m_iconsHidden;
    ZelUserDefaults defaults = ZelUserDefaults::standard();
    defaults.setBool(hiddenKey, m_iconsHidden);
    defaults.sync();
    if (m_iconsHidden)
        m_server.hideAll(statusAnchor());
    else
        m_server.showAll();
}

void AppDelegate::popoverDidShow()
{
    // Where it went, as the window system reports it.
    const QRect frame = m_bubble ? m_bubble->frameGeometry() : QRect();
    qCDebug(lcZelHubUi, "popup shown at %d,%d size=%dx%d", frame.x(), frame.y(), frame.width(),
            frame.height());
    m_bubbleOpen = true;
}

void AppDelegate::popoverDidClose()
{
    qCDebug(lcZelHubUi) << "popup closed";
    m_bubbleOpen = false;
}

QString AppDelegate::countLine(qsizetype n)
{
    if (n == 0)
        return QStringLiteral("No Zel apps running");
    return QString::number(n) + QStringLiteral(" Zel app") +
           (n == 1 ? QString() : QStringLiteral("s"));
}

void AppDelegate::showContextMenu()
{
    delete m_menu;
    auto *menu = new QMenu;
    m_menu = menu;
    menu->setAttribute(Qt::WA_DeleteOnClose);

    menu->addAction(QStringLiteral("ZelHub"))->setEnabled(false);
    menu->addSeparator();
    menu->addAction(countLine(m_server.apps().size()))->setEnabled(false);
    const QString hideTitle =
        m_iconsHidden ? QStringLiteral("Show Zel Icons") : QStringLiteral("Hide Zel Icons");
    connect(menu->addAction(hideTitle), &QAction::triggered, this, &AppDelegate::toggleHidden);
    menu->addSeparator();
    QAction *quit = menu->addAction(QStringLiteral("Quit ZelHub"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    // Detached again once dismissed, so that the next click reaches the click rule.
    connect(menu, &QMenu::aboutToHide, menu, &QWidget::close, Qt::QueuedConnection);
    // Under the icon where its place is known, else where the host saw the click.
    const QRect geometry = m_statusItem ? m_statusItem->geometry() : QRect();
    QPoint at = m_clickPosition.value_or(QCursor::pos());
    if (!geometry.isEmpty())
        at = QPoint(geometry.left(), geometry.bottom() + 1);
    menu->popup(at);
}

void AppDelegate::activateApp(const ZelHubApp &app)
{
    // The anchor is taken while the popup still shows, and the post goes first.
    // The host's token of the click lets the sibling's window take the focus on Wayland.
    m_server.activate(app, statusAnchor(),
                      m_activationToken.isEmpty() ? std::nullopt
                                                  : std::optional<QString>(m_activationToken));
    m_activationToken.clear();
    m_bubble->performClose();
}

ZelStatusInfo AppDelegate::iconInfo(const ZelHubApp &app) const
{
    ZelStatusInfo info = m_server.statusInfo(app);
    if (app.bundleID == QStringLiteral("com.BRN.Quillo")) {
        QIcon scriva(QStringLiteral(":/ScrivaIcon.png"));
        if (!scriva.availableSizes().isEmpty()) {
            scriva.setIsMask(true);
            info.image = tinted(scriva, glyphColor());
        }
    }
    return info;
}

std::optional<QPoint> AppDelegate::barPoint()
{
    // The host's bar is where sway's work area ends; which end of it holds the tray is not
    // told, and the right end is where bars keep it unless configured otherwise.
    const std::optional<QRect> area = WaylandSession::swayWorkArea();
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!area || !screen)
        return QCursor::pos();
    const QRect full = screen->geometry();
    if (area->bottom() < full.bottom() && area->top() == full.top())
        return QPoint(area->right(), area->bottom() + 1);
    return QPoint(area->right(), area->top() - 1);
}

std::optional<QRect> AppDelegate::iconRect() const
{
    if (!m_statusItem || !m_statusItem->isAvailable())
        return std::nullopt;
    const QRect geometry = m_statusItem->geometry();
    if (!geometry.isEmpty())
        return geometry;
    if (m_clickPosition)
        return QRect(*m_clickPosition, QSize(1, 1));
    return std::nullopt;
}

std::optional<QPointF> AppDelegate::statusAnchor() const
{
    if (!m_statusItem || !m_statusItem->isAvailable())
        return std::nullopt;
    const QRect geometry = m_statusItem->geometry();
    if (!geometry.isEmpty())
        return ZelScreenAnchor::fromGlobal(
            QPointF(geometry.x() + geometry.width() / 2.0, geometry.y() + geometry.height()));
    if (m_clickPosition)
        return ZelScreenAnchor::fromGlobal(QPointF(*m_clickPosition));
    return std::nullopt;
}
