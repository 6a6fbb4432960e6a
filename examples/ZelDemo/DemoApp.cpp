#include "DemoApp.h"

#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelLaunchAtLogin.h>
#include <ZelKit/ZelSandboxMigration.h>
#include <ZelKit/ZelScreenAnchor.h>
#include <ZelKit/ZelStandardMenu.h>
#include <ZelKit/ZelUpdater.h>
#include <ZelKit/platform/WindowActivation.h>

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

namespace {

// Scripts follow the demo line by line, so each line is flushed at once.
void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString pointText(std::optional<QPointF> point)
{
    if (!point)
        return QStringLiteral("none");
    return ZelHubProtocol::coordinateText(point->x()) + u',' +
           ZelHubProtocol::coordinateText(point->y());
}

// A Close button, default and on Escape, for the demo's small windows.
void addCloseButton(QWidget *window, QVBoxLayout *layout)
{
    auto *close = new QPushButton(QCoreApplication::translate("DemoApp", "Close"));
    close->setDefault(true);
    QObject::connect(close, &QPushButton::clicked, window, &QWidget::close);
    layout->addWidget(close, 0, Qt::AlignRight);
    auto *escape = new QShortcut(QKeySequence::Cancel, window);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

// Keeps a window, frame and all, inside the work area: the frame is known only once the
// window manager has put it around the shown window, so the first placement goes by the
// window's own size and is corrected, once, when the frame arrives. Without a window
// manager (or on Wayland, where the compositor places windows) there is nothing to correct.
class WorkAreaPlacement : public QObject
{
    Q_OBJECT
public:
    static void place(QWidget *window, std::optional<QPointF> anchor)
    {
        auto *placement =
            window->findChild<WorkAreaPlacement *>(QString(), Qt::FindDirectChildrenOnly);
        if (!placement) {
            placement = new WorkAreaPlacement(window);
            window->installEventFilter(placement);
        }
        placement->m_anchor = anchor;
        placement->m_framePending = !hasFrame(window);
        window->move(DemoApp::windowPosition(window->frameGeometry().size(), anchor));
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = static_cast<QWidget *>(parent());
        if (watched == window && m_framePending &&
            (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
            hasFrame(window)) {
            m_framePending = false;
            const QRect frame = window->frameGeometry();
            const QPoint at = DemoApp::windowPosition(frame.size(), m_anchor);
            if (at != frame.topLeft())
                window->move(at);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    explicit WorkAreaPlacement(QWidget *window) : QObject(window) {}
    static bool hasFrame(QWidget *window) { return window->frameGeometry() != window->geometry(); }

    std::optional<QPointF> m_anchor;
    bool m_framePending = false;
};

QColor colourFor(const QString &id)
{
    const QByteArray hash = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1);
    return QColor::fromHsv(quint8(hash.at(0)) * 359 / 255, 160, 200);
}

QString initialOf(const QString &name)
{
    const QString trimmed = name.trimmed();
    return trimmed.isEmpty() ? QStringLiteral("?") : trimmed.left(1).toUpper();
}

} // namespace

DemoApp::DemoApp(const DemoOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_icon(makeIcon())
{}

DemoApp::~DemoApp()
{
    stop();
    delete m_window;
    delete m_preferences;
}

QString DemoApp::defaultAppID(const QString &id)
{
    // Bus name elements allow letters, digits, '_' and '-' and must not start with a digit.
    QString element;
    for (QChar c : id) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
        element += ok ? c : u'_';
    }
    if (element.isEmpty() || element.front().isDigit())
        element.prepend(u'_');
    return QStringLiteral("com.brannel.ZelDemo.") + element.left(200);
}

QIcon DemoApp::makeIcon() const
{
    if (m_options.image)
        return QIcon(QPixmap::fromImage(*m_options.image));
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colourFor(m_options.id));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
    QFont font = painter.font();
    font.setPixelSize(38);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, initialOf(m_options.name));
    return QIcon(pixmap);
}

QImage DemoApp::makeStatusImage() const
{
    // 16 points drawn at 2 pixels per point: a disc in the demo's colour with the
    // initial cut out, so it reads on light and dark panels alike.
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2.0);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colourFor(m_options.id));
    painter.drawEllipse(QRectF(1, 1, 14, 14));
    // Text is drawn with the pen; under Clear only its coverage matters.
    painter.setPen(Qt::black);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    QFont font = painter.font();
    font.setPixelSize(10);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, initialOf(m_options.name));
    return image;
}

void DemoApp::buildMenu(const ZelAppConfig &config)
{
    m_menu = std::make_unique<QMenu>();
    QAction *open = m_menu->addAction(tr("Open %1").arg(m_options.name));
    connect(open, &QAction::triggered, this, [this] { openWindow(std::nullopt, std::nullopt); });
    // The framework's block ends the menu: preferences, update check, more apps, launch
    // at login and "Quit <name>", which ends the event loop; main() then unregisters.
    m_standardMenu =
        std::make_unique<ZelStandardMenu>(config, nullptr, [this] { openPreferences(); });
    m_standardMenu->append(m_menu.get(), true);
}

void DemoApp::start()
{
    // Once per launch, before anything reads the defaults or the support folder.
    ZelSandboxMigration::migrateFromContainerIfNeeded(QGuiApplication::desktopFileName());

    ZelAppConfig config{m_options.id, m_options.name, m_options.baseURL};
    ZelApp::configure(config);

    buildMenu(config);
    m_tray = new QSystemTrayIcon(m_icon, this);
    m_tray->setToolTip(m_options.title ? m_options.name + QStringLiteral(" — ") + *m_options.title
                                       : m_options.name);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    openWindow(std::nullopt, std::nullopt);
            });
    // Without a tray host (a bare X server, offscreen) the demo still takes part in the hub.
    m_tray->show();

    ZelHubClient *client = ZelHubClient::shared();
    client->onHideIcon = [this] { handleHideIcon(); };
    client->onShowIcon = [this] { handleShowIcon(); };
    client->onActivate = [this](std::optional<QPointF> anchor) { handleActivate(anchor); };
    if (m_options.symbol)
        client->statusBarSymbolName = m_options.symbol;
    client->statusBarImage = m_options.image ? *m_options.image : makeStatusImage();
    client->statusBarTitle = m_options.title;
    client->start(config);
    m_started = true;
    say(QStringLiteral("ready id=%1 bundleID=%2")
            .arg(m_options.id, QGuiApplication::desktopFileName()));
    if (m_options.checkForUpdates) {
        say(QStringLiteral("checkForUpdates url=") + config.versionURL().toString());
        m_standardMenu->handleCheckForUpdates();
    }
}

void DemoApp::stop()
{
    if (!m_started)
        return;
    m_started = false;
    ZelHubClient *client = ZelHubClient::shared();
    client->stop();
    // The client outlives us; its callbacks must not reach a demo that is gone.
    client->onHideIcon = nullptr;
    client->onShowIcon = nullptr;
    client->onActivate = nullptr;
    say(QStringLiteral("stopped"));
}

void DemoApp::quit()
{
    stop();
    QCoreApplication::quit();
}

void DemoApp::handleHideIcon()
{
    if (m_tray)
        m_tray->hide();
    say(QStringLiteral("hideIcon hubAnchor=") + pointText(ZelHubClient::shared()->hubAnchor()));
}

void DemoApp::handleShowIcon()
{
    if (m_tray)
        m_tray->show();
    say(QStringLiteral("showIcon"));
}

void DemoApp::handleActivate(std::optional<QPointF> anchor)
{
    // The token lets our window take focus on Wayland, where the compositor, not we,
    // decides where it opens; on X11 (XWayland too) it opens at the anchor.
    const std::optional<QString> token = ZelHubClient::shared()->activationToken();
    say(QStringLiteral("activate anchor=") + pointText(anchor) +
        (token ? QStringLiteral(" token=") + *token : QString()));
    openWindow(anchor, token);
}

QPoint DemoApp::windowPosition(QSize frameSize, std::optional<QPointF> anchor)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    if (!anchor)
        return screen->availableGeometry().center() -
               QPoint(frameSize.width() / 2, frameSize.height() / 2);

    const QPointF global = ZelScreenAnchor::toGlobal(*anchor);
    if (QScreen *under = QGuiApplication::screenAt(global.toPoint()))
        screen = under;
    const QRect area = screen->availableGeometry();
    // Top centre at the anchor, the point just below the hub's icon; a bottom panel's
    // anchor pushes the window up, so it sits above the panel instead.
    int x = int(std::lround(global.x() - frameSize.width() / 2.0));
    int y = int(std::lround(global.y()));
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - frameSize.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - frameSize.height()));
    return {x, y};
}

void DemoApp::openWindow(std::optional<QPointF> anchor, std::optional<QString> token)
{
    if (!m_window) {
        auto *window = new QWidget;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(m_options.name);
        window->setWindowIcon(m_icon);
        auto *layout = new QVBoxLayout(window);
        auto *title = new QLabel(QStringLiteral("<b>%1</b>").arg(m_options.name.toHtmlEscaped()));
        layout->addWidget(title);
        layout->addWidget(new QLabel(tr("A sibling of the Zel hub (id %1).").arg(m_options.id)));
        addCloseButton(window, layout);
        window->resize(window->sizeHint().expandedTo(QSize(260, 0)));
        window->installEventFilter(this);
        m_window = window;
    }
    WorkAreaPlacement::place(m_window, anchor);
    const QPoint at = m_window->frameGeometry().topLeft();
    say(QStringLiteral("window at=%1,%2 size=%3x%4")
            .arg(at.x())
            .arg(at.y())
            .arg(m_window->width())
            .arg(m_window->height()));
    WindowActivation::showActive(m_window, token);
}

bool DemoApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::WindowActivate)
        say(QStringLiteral("windowActive"));
    return QObject::eventFilter(watched, event);
}

void DemoApp::openPreferences()
{
    if (!m_preferences) {
        auto *window = new QWidget;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(tr("%1 Preferences").arg(m_options.name));
        window->setWindowIcon(m_icon);
        auto *layout = new QVBoxLayout(window);
        // Shows the login item as the framework reads it; the menu item changes it.
        auto *login = new QCheckBox(tr("Launch at login (change it from the tray menu)"));
        login->setChecked(ZelLaunchAtLogin::isEnabled());
        login->setEnabled(false);
        layout->addWidget(login);
        layout->addWidget(new QLabel(
            tr("Update manifest: %1")
                .arg(ZelApp::requireConfig("DemoApp::openPreferences").versionURL().toString())));
        addCloseButton(window, layout);
        window->adjustSize();
        m_preferences = window;
    }
    WorkAreaPlacement::place(m_preferences, std::nullopt);
    WindowActivation::showActive(m_preferences, std::nullopt);
    say(QStringLiteral("preferences"));
}

#include "DemoApp.moc"
