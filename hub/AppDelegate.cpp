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
#include <QHash>
#include <QImage>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QStyleHints>
#include <QTimer>

#include <algorithm>

#include <cstdio>

Q_LOGGING_CATEGORY(lcZelHubUi, "zelhub.ui", QtWarningMsg)

namespace {

// A tray host may take a moment to answer; only then is a missing tray worth a word.
constexpr int trayGraceMs = 3000;
// How often the panel under the icon is looked at again: a panel's colour can change
// without a word to its icons.
constexpr int panelLookMs = 3000;
// The tray glyph in the icon theme, where the hub is installed: hosts that look icons up
// by name recolour a symbolic icon for their panel.
const QString symbolicIconName = QStringLiteral("com.brannel.ZelHub-symbolic");

QColor textColor()
{
    return QGuiApplication::palette().color(QPalette::WindowText);
}

// The colour most of the image has: the panel, around and between the glyph's squares.
std::optional<QColor> commonestColor(const QImage &image)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000];
    if (counts.isEmpty())
        return std::nullopt;
    const auto best = std::max_element(counts.cbegin(), counts.cend());
    return QColor::fromRgb(best.key());
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
    if (m_statusItem)
        m_statusItem->setMenu(nullptr);
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
    setUpContextMenu();
    m_statusItem->setMenu(m_menu);
    if (QIcon::hasThemeIcon(symbolicIconName))
        m_statusItem->setIconName(symbolicIconName);
    updateGlyph();
    m_statusItem->setToolTip(QStringLiteral("ZelHub — click to open the hub"));
    m_statusItem->onClicked = [this](const ZelStatusItem::Click &click) { statusClicked(click); };
    m_statusItem->onAvailabilityChanged = [this](bool available) {
        qCDebug(lcZelHubUi) << "tray available:" << available;
        if (!available)
            return;
        if (m_missingTrayReported && !m_trayArrivalReported) {
            m_trayArrivalReported = true;
            std::fputs("ZelHub: a system tray is there now; the hub's icon is in it.\n", stderr);
        }
        // A new host, a new panel: look at it once the icon is in place.
        QTimer::singleShot(500, this, &AppDelegate::updateGlyph);
    };
    m_statusItem->setVisible(true);
    QTimer::singleShot(trayGraceMs, this, &AppDelegate::reportMissingTray);
    auto *panelLook = new QTimer(this);
    connect(panelLook, &QTimer::timeout, this, &AppDelegate::updateGlyph);
    panelLook->start(panelLookMs);
}

void AppDelegate::reportMissingTray()
{
    if (m_missingTrayReported || !m_statusItem || m_statusItem->isAvailable())
        return;
    m_missingTrayReported = true;
    // A tray that starts later still gets the icon, so say no more than what holds.
    std::fputs("ZelHub: no system tray is available yet; the hub's icon appears when one "
               "starts.\n",
               stderr);
}

QColor AppDelegate::glyphColor() const
{
    if (m_statusItem)
        if (const auto foreground = m_statusItem->hostForeground())
            return *foreground;
    if (const auto panel = panelColor())
        return HubGlyph::colorOn(*panel, textColor());
    return textColor();
}

std::optional<QColor> AppDelegate::panelColor() const
{
    // A Wayland compositor shows no client another's surfaces: its panel is known only
    // by the desktop's name, and so from the start (GNOME's host may lose an icon that
    // changes while it sets the item up).
    if (WaylandSession::isWaylandSession())
        return WaylandSession::panelColor();
    if (!m_statusItem || !m_statusItem->isAvailable())
        return std::nullopt;
    QRect area = m_statusItem->geometry();
    QScreen *screen = QGuiApplication::screenAt(area.center());
    if (area.isEmpty()) {
        // The host does not say where the icon is: the panel is what lies outside the
        // work area, at the edge where the last click was, else at the top or bottom.
        screen = QGuiApplication::primaryScreen();
        if (!screen)
            return std::nullopt;
        const QRect full = screen->geometry();
        const QRect work = screen->availableGeometry();
        const QRect top(full.left(), full.top(), full.width(), work.top() - full.top());
        const QRect bottom(full.left(), work.bottom() + 1, full.width(),
                           full.bottom() - work.bottom());
        const bool clickAtBottom = m_clickPosition && m_clickPosition->y() > work.bottom();
        area = (clickAtBottom || top.isEmpty()) ? bottom : top;
    }
    if (!screen || area.isEmpty())
        return std::nullopt;
    const QImage image =
        screen
            ->grabWindow(0, area.x() - screen->geometry().x(), area.y() - screen->geometry().y(),
                         area.width(), area.height())
            .toImage();
    return commonestColor(image);
}

void AppDelegate::updateGlyph()
{
    if (!m_statusItem)
        return;
    const QColor color = glyphColor();
    if (color == m_glyphColor)
        return;
    qCDebug(lcZelHubUi) << "glyph colour" << color.name();
    m_glyphColor = color;
    // Already in the panel's colour: a mask would be drawn over in the text colour again.
    QIcon glyph = HubGlyph::icon(color);
    glyph.setIsMask(false);
    m_statusItem->setIcon(glyph);
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    // The menu, hidden or not, hears of every new application palette.
    if (watched == m_menu && (event->type() == QEvent::PaletteChange ||
                              event->type() == QEvent::ApplicationPaletteChange))
        QTimer::singleShot(0, this, &AppDelegate::updateGlyph);
    // A popped-up menu takes every key and runs no shortcuts of its own; Ctrl+Q is shown
    // beside "Quit ZelHub", so it must quit there too.
    if (watched == m_menu && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeySequence pressed(key->keyCombination());
        for (QAction *action : m_menu->actions()) {
            if (action->isEnabled() && !action->shortcut().isEmpty() &&
                action->shortcut() == pressed) {
                m_menu->close();
                action->trigger();
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::setUpPopover()
{
    if (!m_bubble) {
        m_bubble = new HubPopover;
        m_bubble->onDidShow = [this] { popoverDidShow(); };
        m_bubble->onDidClose = [this] { popoverDidClose(); };
        m_bubble->onContextClickOutside = [this](QPoint at) {
            // On the tray icon: its rectangle where known; else the place of the click that
            // opened the popup, within a panel's thickness, on the panel.
            const QRect icon = m_statusItem ? m_statusItem->geometry() : QRect();
            bool onIcon = icon.contains(at);
            if (icon.isEmpty() && m_clickPosition) {
                const QScreen *screen = QGuiApplication::screenAt(at);
                const QRect work = screen ? screen->availableGeometry() : QRect();
                const int reach =
                    screen ? std::max(24, screen->geometry().height() - work.height()) : 24;
                onIcon = !work.contains(at) && std::abs(at.x() - m_clickPosition->x()) <= reach;
            }
            if (onIcon)
                showContextMenu();
        };
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
    m_bubble->show(iconRect().value_or(QRect()), popupBounds());
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
    // The server reports every change; a flood of registrations would rebuild the grid
    // and re-send the hide once for each. Both follow once for all the changes of one
    // pass of the event loop instead, still right after a new sibling's registration.
    if (m_registryChangeQueued)
        return;
    m_registryChangeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_registryChangeQueued = false;
            updateContextMenu();
            refreshPopover();
            if (m_iconsHidden)
                m_server.hideAll(statusAnchor());
        },
        Qt::QueuedConnection);
}

void AppDelegate::toggleHidden()
{
    m_iconsHidden = !m_iconsHidden;
    ZelUserDefaults defaults = ZelUserDefaults::standard();
    defaults.setBool(hiddenKey, m_iconsHidden);
    defaults.sync();
    updateContextMenu();
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

void AppDelegate::setUpContextMenu()
{
    // One menu for the whole run, its items brought up to date before every showing:
    // hosts that draw it themselves (through the status item) hold on to its items.
    m_menu = new QMenu;
    m_menu->addAction(QStringLiteral("ZelHub"))->setEnabled(false);
    m_menu->addSeparator();
    m_countAction = m_menu->addAction(countLine(0));
    m_countAction->setEnabled(false);
    m_hideAction = m_menu->addAction(QString());
    connect(m_hideAction, &QAction::triggered, this, &AppDelegate::toggleHidden);
    m_menu->addSeparator();
    QAction *quit = m_menu->addAction(QStringLiteral("Quit ZelHub"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(m_menu, &QMenu::aboutToShow, this, &AppDelegate::updateContextMenu);
    m_menu->installEventFilter(this);
    updateContextMenu();
}

void AppDelegate::updateContextMenu()
{
    if (!m_menu)
        return;
    m_countAction->setText(countLine(m_server.apps().size()));
    m_hideAction->setText(m_iconsHidden ? QStringLiteral("Show Zel Icons")
                                        : QStringLiteral("Hide Zel Icons"));
}

void AppDelegate::showContextMenu()
{
    if (!m_menu || m_menu->isVisible())
        return;
    updateContextMenu();
    // Beside the icon, never over it: below a top panel, above a bottom one.
    const QRect anchor =
        iconRect().value_or(QRect(m_clickPosition.value_or(QCursor::pos()), QSize(1, 1)));
    QRect bounds = popupBounds();
    if (!bounds.isValid())
        if (const QScreen *screen = QGuiApplication::screenAt(anchor.center()))
            bounds = screen->geometry();
    m_menu->popup(HubPopover::placement(m_menu->sizeHint(), anchor, bounds));
}

QRect AppDelegate::popupBounds() const
{
    if (!m_statusItem || !m_statusItem->geometry().isEmpty() || !m_clickPosition)
        return {};
    // The host's point is somewhere on the panel: the popup goes in the work area beside
    // it, which Qt follows from _NET_WORKAREA; sway tells it only to its own clients.
    if (const std::optional<QRect> area = WaylandSession::swayWorkArea())
        return *area;
    const QScreen *screen = QGuiApplication::screenAt(*m_clickPosition);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
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
        // A template like every status image: the grid draws it in the text colour.
        QIcon scriva(QStringLiteral(":/ScrivaIcon.png"));
        if (!scriva.availableSizes().isEmpty()) {
            scriva.setIsMask(true);
            info.image = scriva;
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
    if (!m_clickPosition)
        return std::nullopt;
    // Only the click's point is known, on the panel: the anchor is its x on the panel's
    // inner edge, where a sibling's window opening against the panel starts.
    QPointF point(*m_clickPosition);
    if (const QRect work = popupBounds(); work.isValid()) {
        if (point.y() < work.top())
            point.setY(work.top());
        else if (point.y() > work.bottom())
            point.setY(work.bottom() + 1);
    }
    return ZelScreenAnchor::fromGlobal(point);
}
