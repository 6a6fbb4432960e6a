#include "ZelHubClient.h"

#include "ZelHubProtocol.h"
#include "platform/ApplicationBusName.h"
#include "platform/DistributedNotificationCenter.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QThread>

#include <cmath>

ZelHubClient *ZelHubClient::shared()
{
    // Never destroyed: the process may end without stop(), and a client torn down after
    // the application object would talk to a bus connection that is already gone.
    static ZelHubClient *const client = [] {
        auto *c = new ZelHubClient(DistributedNotificationCenter::defaultCenter());
        if (QCoreApplication *app = QCoreApplication::instance())
            c->moveToThread(app->thread());
        return c;
    }();
    return client;
}

ZelHubClient::ZelHubClient(DistributedNotificationCenter *center, QObject *parent)
    : QObject(parent), m_center(center)
{}

ZelHubClient::~ZelHubClient()
{
    if (!m_claimedBusName.isEmpty())
        ApplicationBusName::release(m_claimedBusName);
}

void ZelHubClient::start(const ZelAppConfig &config)
{
    {
        QMutexLocker lock(&m_configMutex);
        m_config = config;
    }
    // The handlers capture this; the center holds the client weakly and forgets it when
    // it is destroyed, so no observation outlives the client. A second start() without
    // stop() must not subscribe twice, or every command would reach us twice.
    m_center->removeObserver(this);
    m_center->addObserver(this, ZelHubProtocol::discover,
                          [this](const ZelNotification &n) { handleDiscover(n); });
    m_center->addObserver(this, ZelHubProtocol::hideIcon,
                          [this](const ZelNotification &n) { handleHide(n); });
    m_center->addObserver(this, ZelHubProtocol::showIcon,
                          [this](const ZelNotification &n) { handleShow(n); });
    m_center->addObserver(this, ZelHubProtocol::activate,
                          [this](const ZelNotification &n) { handleActivate(n); });

    // Owning the bundle identifier is how the hub tells that this application still
    // runs; the bus gives it back by itself when the process ends.
    const QString bundleID = bundleIdentifier();
    if (bundleID != m_claimedBusName) {
        if (!m_claimedBusName.isEmpty())
            ApplicationBusName::release(m_claimedBusName);
        m_claimedBusName.clear();
        if (ApplicationBusName::request(bundleID))
            m_claimedBusName = bundleID;
    }

    postAppInfo(ZelHubProtocol::register_);
}

void ZelHubClient::updateStatusInfo(std::optional<QImage> image, std::optional<QString> symbol,
                                    std::optional<QString> title)
{
    if (image)
        statusBarImage = std::move(image);
    if (symbol)
        statusBarSymbolName = std::move(symbol);
    if (title)
        statusBarTitle = std::move(title);
    postAppInfo(ZelHubProtocol::register_);
}

void ZelHubClient::stop()
{
    postAppInfo(ZelHubProtocol::unregister);
    m_center->removeObserver(this);
    // The bundle identifier stays claimed: the application still runs, and an update
    // after stop() registers it again, which the hub's prune must not undo.
}

QString ZelHubClient::bundleIdentifier()
{
    return QGuiApplication::desktopFileName();
}

bool ZelHubClient::isAddressedToThisApp(const ZelNotification &notification) const
{
    std::optional<QString> ownID;
    {
        QMutexLocker lock(&m_configMutex);
        if (m_config)
            ownID = m_config->id;
    }
    return ZelHubProtocol::isAddressedTo(notification.userInfo, ownID);
}

void ZelHubClient::postAppInfo(const QString &name)
{
    std::optional<ZelAppConfig> config;
    {
        QMutexLocker lock(&m_configMutex);
        config = m_config;
    }
    if (!config)
        return;

    QVariantMap info;
    info.insert(ZelHubProtocol::keyAppID, config->id);
    info.insert(ZelHubProtocol::keyAppName, config->name);
    info.insert(ZelHubProtocol::keyBundleID, bundleIdentifier());
    if (statusBarSymbolName) {
        info.insert(ZelHubProtocol::keyStatusSymbolName, *statusBarSymbolName);
    } else if (const auto png = statusImagePNGData()) {
        info.insert(ZelHubProtocol::keyStatusImageData, *png);
    }
    if (statusBarTitle)
        info.insert(ZelHubProtocol::keyStatusTitle, *statusBarTitle);
    m_center->postNotification(name, info);
}

std::optional<QByteArray> ZelHubClient::statusImagePNGData() const
{
    if (!statusBarImage)
        return std::nullopt;
    return renderStatusImagePNG(*statusBarImage, statusImageScaleFactor());
}

qreal ZelHubClient::statusImageScaleFactor()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return 2.0;
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->devicePixelRatio() : 2.0;
}

std::optional<QByteArray> ZelHubClient::renderStatusImagePNG(const QImage &image, qreal factor)
{
    if (image.isNull() || !(factor > 0))
        return std::nullopt;
    const QSizeF points = image.deviceIndependentSize();
    const double width = std::trunc(points.width() * factor);
    const double height = std::trunc(points.height() * factor);
    // QImage cannot hold more than int pixels a side; such a status image is refused.
    if (width < 1 || height < 1 || width > 32767 || height > 32767)
        return std::nullopt;

    QImage bitmap(int(width), int(height), QImage::Format_RGBA8888);
    if (bitmap.isNull())
        return std::nullopt;
    bitmap.fill(Qt::transparent);
    {
        // The bitmap's size in points is the image's: one point covers factor × factor
        // pixels, so the image fills the bitmap whatever its own pixel density.
        QPainter painter(&bitmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(0, 0, width, height), image, QRectF(image.rect()));
    }

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!bitmap.save(&buffer, "PNG") || bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

void ZelHubClient::runOnMainThread(std::function<void()> effect)
{
    const QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        effect();
        return;
    }
    // The client as context is the weak reference: Qt drops the call when it is gone.
    QMetaObject::invokeMethod(this, std::move(effect), Qt::QueuedConnection);
}

void ZelHubClient::storeAnchor(std::optional<QPointF> anchor)
{
    // A message without a usable anchor keeps the one we had.
    if (anchor)
        m_hubAnchor = anchor;
}

void ZelHubClient::handleDiscover(const ZelNotification &)
{
    runOnMainThread([this] { postAppInfo(ZelHubProtocol::register_); });
}

void ZelHubClient::handleHide(const ZelNotification &notification)
{
    if (!isAddressedToThisApp(notification))
        return;
    const auto anchor = ZelHubProtocol::readAnchor(notification.userInfo);
    runOnMainThread([this, anchor] {
        storeAnchor(anchor);
        if (auto callback = onHideIcon)
            callback();
    });
}

void ZelHubClient::handleShow(const ZelNotification &notification)
{
    if (!isAddressedToThisApp(notification))
        return;
    runOnMainThread([this] {
        if (auto callback = onShowIcon)
            callback();
    });
}

void ZelHubClient::handleActivate(const ZelNotification &notification)
{
    if (!isAddressedToThisApp(notification))
        return;
    const auto anchor = ZelHubProtocol::readAnchor(notification.userInfo);
    const auto token = ZelHubProtocol::readActivationToken(notification.userInfo);
    runOnMainThread([this, anchor, token] {
        storeAnchor(anchor);
        // Unlike the anchor, a token belongs to its one click: an activation without one
        // must not hand on an older, spent token.
        m_activationToken = token;
        if (auto callback = onActivate)
            callback(anchor);
    });
}
