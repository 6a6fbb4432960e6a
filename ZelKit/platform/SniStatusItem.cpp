#include "SniStatusItem.h"

#include "DBusMenuExporter.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QtEndian>

#include <atomic>
#include <utility>

Q_LOGGING_CATEGORY(lcZelSni, "zelkit.sni", QtWarningMsg)

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
// A watcher that does not answer within this time is treated as having no host, so that
// the tray icon falls back instead of staying invisible.
constexpr int watcherTimeoutMs = 5000;
// Sizes panels of the common heights pick from when the host does not scale itself.
constexpr int iconSizes[] = {18, 22, 36, 44};
// Beyond every icon size a bar gives its tray.
constexpr int relativeBound = 64;

} // namespace

struct SniPixmap
{
    int width = 0;
    int height = 0;
    // ARGB32, network byte order, row after row.
    QByteArray bytes;
};
using SniPixmapList = QList<SniPixmap>;

struct SniToolTip
{
    QString iconName;
    SniPixmapList pixmaps;
    QString title;
    QString text;
};

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)

QDBusArgument &operator<<(QDBusArgument &argument, const SniPixmap &pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SniPixmap &pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const SniToolTip &toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SniToolTip &toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

namespace {

// Linux tray hosts do not tint masks, so a mask icon is drawn in the text colour.
QImage iconImage(const QIcon &icon, int size)
{
    QImage image = icon.pixmap(QSize(size, size), 1.0).toImage();
    if (image.isNull())
        return {};
    if (image.size() != QSize(size, size)) {
        // Pixmap icons never grow; hosts expect the size they were offered.
        QImage canvas(size, size, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        const QImage scaled =
            image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&canvas);
        painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
        painter.end();
        image = canvas;
    }
    if (icon.isMask()) {
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), QGuiApplication::palette().color(QPalette::WindowText));
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

SniPixmap networkOrderPixmap(const QImage &argb)
{
    SniPixmap pixmap;
    pixmap.width = argb.width();
    pixmap.height = argb.height();
    pixmap.bytes.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto *out = reinterpret_cast<uchar *>(pixmap.bytes.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4)
            qToBigEndian(line[x], out);
    }
    return pixmap;
}

SniPixmapList iconPixmaps(const QIcon &icon)
{
    SniPixmapList pixmaps;
    if (icon.isNull())
        return pixmaps;
    for (int size : iconSizes) {
        const QImage image = iconImage(icon, size);
        if (!image.isNull())
            pixmaps.append(networkOrderPixmap(image));
    }
    return pixmaps;
}

void registerTypes()
{
    static std::atomic_bool done = false;
    if (done.exchange(true))
        return;
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmapList>();
    qDBusRegisterMetaType<SniToolTip>();
}

QString itemId()
{
    const QString desktop = QGuiApplication::desktopFileName();
    return desktop.isEmpty() ? QCoreApplication::applicationName() : desktop;
}

} // namespace

// The item's bus face. Properties are read by the host whenever a New... signal says they
// changed.
class SniItemAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ overlayIconName)
    Q_PROPERTY(SniPixmapList OverlayIconPixmap READ overlayIconPixmap)
    Q_PROPERTY(QString AttentionIconName READ attentionIconName)
    Q_PROPERTY(SniPixmapList AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ attentionMovieName)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    // GNOME's host reads these on every NewIcon, and shows no icon when they are missing.
    Q_PROPERTY(QString IconAccessibleDesc READ title)
    Q_PROPERTY(QString AttentionAccessibleDesc READ title)
public:
    explicit SniItemAdaptor(SniStatusItem *item) : QDBusAbstractAdaptor(item), m_item(item)
    {
        // Only the item's own signals go out; hosts re-read on these.
        setAutoRelaySignals(false);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return itemId(); }
    QString title() const { return QGuiApplication::applicationDisplayName(); }
    // Hosts keep an item registered by a unique name while its connection lives; a hidden
    // one asks them to stop showing it.
    QString status() const
    {
        return m_item->m_visible ? QStringLiteral("Active") : QStringLiteral("Passive");
    }
    int windowId() const { return 0; }
    QString iconThemePath() const { return {}; }
    QString iconName() const { return m_item->m_iconName; }
    SniPixmapList iconPixmap() const { return m_pixmaps; }
    QString overlayIconName() const { return {}; }
    SniPixmapList overlayIconPixmap() const { return {}; }
    QString attentionIconName() const { return {}; }
    SniPixmapList attentionIconPixmap() const { return {}; }
    QString attentionMovieName() const { return {}; }
    SniToolTip toolTip() const { return {QString(), {}, m_item->m_toolTip, QString()}; }
    bool itemIsMenu() const { return false; }
    // Hosts that draw menus themselves read it there; the others call ContextMenu.
    QDBusObjectPath menu() const
    {
        return QDBusObjectPath(m_item->m_menuExporter && m_item->m_menuExporter->isExported()
                                   ? SniStatusItem::menuPath
                                   : QStringLiteral("/NO_DBUSMENU"));
    }

    void setIcon(const QIcon &icon) { m_pixmaps = iconPixmaps(icon); }

public Q_SLOTS:
    void Activate(int x, int y) { m_item->hostClicked(ZelStatusItem::Button::Left, x, y); }
    // The hub has nothing else for a middle click than what a left click does.
    void SecondaryActivate(int x, int y) { m_item->hostClicked(ZelStatusItem::Button::Left, x, y); }
    void ContextMenu(int x, int y) { m_item->hostClicked(ZelStatusItem::Button::Right, x, y); }
    // Wayland hosts hand over the token of the click just before Activate.
    void ProvideXdgActivationToken(const QString &token) { m_item->m_activationToken = token; }
    void Scroll(int delta, const QString &orientation)
    {
        qCDebug(lcZelSni) << "scroll ignored" << delta << orientation;
    }

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString &status);

private:
    SniStatusItem *m_item;
    SniPixmapList m_pixmaps;
};

SniStatusItem::SniStatusItem(QDBusConnection bus, QObject *parent)
    : ZelStatusItem(parent), m_bus(std::move(bus))
{
    static std::atomic_int itemCount = 0;
    registerTypes();
    m_serviceName = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                        .arg(QCoreApplication::applicationPid())
                        .arg(++itemCount);
    m_adaptor = new SniItemAdaptor(this);
    m_objectExported = m_bus.registerObject(itemPath, this, QDBusConnection::ExportAdaptors);
    if (!m_objectExported)
        qCWarning(lcZelSni) << "could not export the status item at" << itemPath
                            << "(one item per connection)";
    if (qGuiApp)
        connect(qGuiApp, &QGuiApplication::applicationDisplayNameChanged, m_adaptor,
                &SniItemAdaptor::NewTitle);

    // Watch before asking, so that a watcher starting in between is not missed.
    m_watcherWatch.setConnection(m_bus);
    m_watcherWatch.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    m_watcherWatch.addWatchedService(watcherService);
    connect(&m_watcherWatch, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &oldOwner, const QString &newOwner) {
                if (!oldOwner.isEmpty())
                    watcherVanished();
                if (!newOwner.isEmpty())
                    watcherAppeared();
            });
    for (const char *member : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        m_bus.connect(watcherService, watcherPath, watcherInterface, QLatin1String(member), this,
                      SLOT(hostsChanged()));
    if (QDBusConnectionInterface *daemon = m_bus.interface();
        daemon && daemon->isServiceRegistered(watcherService))
        watcherAppeared();
}

SniStatusItem::~SniStatusItem()
{
    if (m_objectExported)
        m_bus.unregisterObject(itemPath);
    if (m_nameOwned && m_bus.interface())
        m_bus.interface()->unregisterService(m_serviceName);
}

bool SniStatusItem::isAvailable() const
{
    return m_registered && isHostPresent();
}

void SniStatusItem::setIcon(const QIcon &icon)
{
    m_adaptor->setIcon(icon);
    Q_EMIT m_adaptor->NewIcon();
}

void SniStatusItem::setIconName(const QString &name)
{
    if (name == m_iconName)
        return;
    m_iconName = name;
    Q_EMIT m_adaptor->NewIcon();
}

void SniStatusItem::setMenu(QMenu *menu)
{
    delete m_menuExporter;
    m_menuExporter = menu ? new DBusMenuExporter(m_bus, menuPath, menu, this) : nullptr;
}

void SniStatusItem::setToolTip(const QString &text)
{
    if (text == m_toolTip)
        return;
    m_toolTip = text;
    Q_EMIT m_adaptor->NewToolTip();
}

void SniStatusItem::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    const State before = state();
    m_visible = visible;
    Q_EMIT m_adaptor->NewStatus(m_adaptor->status());
    if (!visible) {
        dropRegistration();
        if (m_nameOwned && m_bus.interface())
            m_bus.interface()->unregisterService(m_serviceName);
        m_nameOwned = false;
    }
    updateRegistration();
    publish(before);
}

std::optional<QPoint> SniStatusItem::hostToGlobal(int x, int y)
{
    // Hosts give global coordinates of the same desktop; those that do not know the
    // position send the origin.
    if (x == 0 && y == 0)
        return std::nullopt;
    return QPoint(x, y);
}

void SniStatusItem::hostsChanged()
{
    if (m_watcherPresent)
        queryHost();
}

void SniStatusItem::watcherAppeared()
{
    const State before = state();
    ++m_watcherGeneration;
    dropRegistration();
    m_watcherPresent = true;
    m_hostKnown = false;
    m_hostRegistered = false;
    qCDebug(lcZelSni) << "watcher appeared";
    queryHost();
    publish(before);
}

void SniStatusItem::watcherVanished()
{
    const State before = state();
    ++m_watcherGeneration;
    dropRegistration();
    m_watcherPresent = false;
    m_hostKnown = false;
    m_hostRegistered = false;
    qCDebug(lcZelSni) << "watcher vanished";
    publish(before);
}

void SniStatusItem::queryHost()
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    message << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(message, watcherTimeoutMs), this);
    const quint64 generation = m_watcherGeneration;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                if (generation != m_watcherGeneration)
                    return;
                const QDBusPendingReply<QDBusVariant> reply = *call;
                if (!reply.isError()) {
                    setHost(true, reply.value().variant().toBool());
                    return;
                }
                qCDebug(lcZelSni) << "watcher did not tell about hosts" << reply.error().message();
                // A busy watcher answers late: a host it has named stays until it says the
                // host has gone. Only a first question left unanswered means none.
                if (!m_hostKnown)
                    setHost(true, false);
            });
}

void SniStatusItem::setHost(bool known, bool registered)
{
    const State before = state();
    m_hostKnown = known;
    m_hostRegistered = registered;
    updateRegistration();
    publish(before);
}

void SniStatusItem::updateRegistration()
{
    if (!m_visible || !m_watcherPresent || !m_objectExported || m_registered || m_registering)
        return;
    QDBusConnectionInterface *daemon = m_bus.interface();
    if (!m_nameOwned && daemon) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            daemon->registerService(m_serviceName, QDBusConnectionInterface::DontQueueService,
                                    QDBusConnectionInterface::DontAllowReplacement);
        m_nameOwned =
            reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    }
    // The item is registered by the connection's unique name, as Qt's tray icon does, even
    // with a name of our own: GNOME's host watches a well-known name apart from the item and,
    // when it sees the name while still reading the item, drops the item for good.
    m_registeredAs = m_bus.baseService();
    QDBusMessage message =
        QDBusMessage::createMethodCall(watcherService, watcherPath, watcherInterface,
                                       QStringLiteral("RegisterStatusNotifierItem"));
    message << m_registeredAs;
    m_registering = true;
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(message, watcherTimeoutMs), this);
    const quint64 generation = m_registrationGeneration;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                if (generation != m_registrationGeneration)
                    return;
                const State before = state();
                m_registering = false;
                const QDBusPendingReply<> reply = *call;
                if (reply.isError()) {
                    qCWarning(lcZelSni) << "the watcher refused the status item"
                                        << reply.error().name() << reply.error().message();
                } else {
                    m_registered = true;
                    qCDebug(lcZelSni) << "registered as" << m_registeredAs;
                }
                publish(before);
            });
}

void SniStatusItem::dropRegistration()
{
    ++m_registrationGeneration;
    m_registering = false;
    m_registered = false;
}

void SniStatusItem::hostClicked(Button button, int x, int y)
{
    Click click;
    click.button = button;
    click.modifiers = QGuiApplication::queryKeyboardModifiers();
    click.position = hostToGlobal(x, y);
    click.activationToken = std::exchange(m_activationToken, QString());
    // This host's release at hand reports where on its icon the click was, not where on
    // the screen; any position that small from it is taken for that.
    if (click.position && x >= 0 && y >= 0 && x < relativeBound && y < relativeBound &&
        hostIsWaybar()) {
        click.position.reset();
        click.positionRelativeToIcon = true;
    }
    // The host waits for our reply; a menu opened by the click runs its own event loop,
    // so the click is handled after the reply has gone out.
    QMetaObject::invokeMethod(
        this, [this, click] { reportClick(click); }, Qt::QueuedConnection);
}

bool SniStatusItem::hostIsWaybar() const
{
    // The bar hosts the watcher itself.
    QDBusConnectionInterface *daemon = m_bus.interface();
    const QDBusReply<uint> pid = daemon ? daemon->servicePid(watcherService) : QDBusReply<uint>();
    if (!pid.isValid())
        return false;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid.value()));
    return comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "waybar";
}

void SniStatusItem::publish(State before)
{
    const State now = state();
    if (now.hostPresent != before.hostPresent || now.hostKnown != before.hostKnown) {
        if (auto callback = onHostPresenceChanged)
            callback(now.hostPresent);
    }
    if (now.available != before.available)
        reportAvailability(now.available);
}

#include "SniStatusItem.moc"
