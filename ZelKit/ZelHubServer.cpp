#include "ZelHubServer.h"

#include "ZelHubProtocol.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/RunningApplications.h"
#include "platform/ZelLog.h"

#include <QBuffer>
#include <QCollator>
#include <QImageReader>
#include <QPixmap>

#include <algorithm>

namespace {
QString idKey(const QString &id)
{
    return id.normalized(QString::NormalizationForm_C);
}
} // namespace

ZelHubServer::ZelHubServer(QObject *parent)
    : ZelHubServer(DistributedNotificationCenter::defaultCenter(), RunningApplications::system(),
                   parent)
{}

ZelHubServer::ZelHubServer(DistributedNotificationCenter *center, RunningApplications *running,
                           QObject *parent)
    : QObject(parent), m_center(center), m_running(running)
{}

// Observations are not removed here: the owner calls stop(). The center holds the
// server weakly, so a server destroyed without stop() is still never called back.
ZelHubServer::~ZelHubServer() = default;

void ZelHubServer::start()
{
    m_center->addObserver(this, ZelHubProtocol::register_,
                          [this](const ZelNotification &n) { handleRegister(n); });
    m_center->addObserver(this, ZelHubProtocol::unregister,
                          [this](const ZelNotification &n) { handleUnregister(n); });
    ZelLog::write(QStringLiteral("[ZelHub] server started \u2014 discovering Zel apps"));
    discover();
}

void ZelHubServer::stop()
{
    m_center->removeObserver(this);
}

void ZelHubServer::discover()
{
    m_center->postNotification(ZelHubProtocol::discover, std::nullopt);
}

QImage ZelHubServer::decodeStatusImage(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > maxStatusImageBytes)
        return {};
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header's size is checked before a single pixel is allocated.
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || size.width() > maxStatusImagePixels ||
        size.height() > maxStatusImagePixels)
        return {};
    QImage image;
    if (!reader.read(&image) || image.isNull() || image.width() > maxStatusImagePixels ||
        image.height() > maxStatusImagePixels)
        return {};
    return image;
}

void ZelHubServer::handleRegister(const ZelNotification &notification)
{
    // Runs on the delivering thread: read the message, touch no state.
    if (!notification.userInfo)
        return;
    const QVariantMap &info = *notification.userInfo;
    const auto id = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppID);
    if (!id || id->isEmpty())
        return;

    Registration r;
    r.app.id = *id;
    r.app.name = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppName).value_or(*id);
    r.app.bundleID =
        ZelHubProtocol::stringValue(info, ZelHubProtocol::keyBundleID).value_or(QString());
    r.symbolName = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusSymbolName);
    if (const auto data = ZelHubProtocol::dataValue(info, ZelHubProtocol::keyStatusImageData))
        r.decodedImage = decodeStatusImage(*data);
    r.title = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusTitle);

    // The context object makes Qt drop the work when the server is gone.
    QMetaObject::invokeMethod(
        this, [this, r = std::move(r)] { applyRegistration(r); }, Qt::QueuedConnection);
}

void ZelHubServer::applyRegistration(const Registration &r)
{
    // Icons are made here, on the main thread: the icon theme and pixmaps are not
    // thread-safe. Each registration builds a new icon, so an image always counts as new.
    std::optional<QIcon> image;
    if (r.symbolName && QIcon::hasThemeIcon(*r.symbolName)) {
        QIcon symbol = QIcon::fromTheme(*r.symbolName);
        symbol.detach();
        image = symbol;
    } else if (!r.decodedImage.isNull()) {
        image = QIcon(QPixmap::fromImage(r.decodedImage));
    }
    if (image)
        image->setIsMask(true);

    const auto existing = std::find_if(m_apps.begin(), m_apps.end(), [&](const ZelHubApp &a) {
        return ZelHubProtocol::stringsEqual(a.id, r.app.id);
    });
    const QString key = idKey(r.app.id);
    qsizetype position = m_apps.size();
    if (existing != m_apps.end()) {
        const auto stored = m_statusInfos.constFind(key);
        const std::optional<QIcon> storedImage =
            stored != m_statusInfos.constEnd() ? stored->image : std::nullopt;
        const std::optional<QString> storedTitle =
            stored != m_statusInfos.constEnd() ? stored->title : std::nullopt;
        const bool sameImage = storedImage.has_value() == image.has_value() &&
                               (!image || storedImage->cacheKey() == image->cacheKey());
        const bool sameTitle = storedTitle.has_value() == r.title.has_value() &&
                               (!r.title || ZelHubProtocol::stringsEqual(*storedTitle, *r.title));
        if (*existing == r.app && sameImage && sameTitle)
            return;
        position = existing - m_apps.begin();
        m_apps.removeAt(position);
    }
    m_statusInfos.insert(key, ZelStatusInfo{image, r.title});
    insertSorted(r.app, position);
    ZelLog::write(QStringLiteral("[ZelHub] registered ") + r.app.name + QStringLiteral(" (") +
                  r.app.id + QStringLiteral(") \u2014 ") + QString::number(m_apps.size()) +
                  QStringLiteral(" app(s) now"));
    reportChange();
}

void ZelHubServer::insertSorted(const ZelHubApp &app, qsizetype position)
{
    // The list is sorted before every registration, so a stable sort of the changed
    // list is the same as one insertion: after the names that sort before it, and
    // among equal names at the place the entry held (after them, when it is new).
    if (m_collator.locale() != QLocale()) {
        // The user's current locale, also after a change; a new locale resets the
        // collator's options.
        m_collator.setLocale(QLocale());
        m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    }
    const auto before = [this](const ZelHubApp &a, const ZelHubApp &b) {
        return m_collator.compare(a.name, b.name) < 0;
    };
    const auto first = std::lower_bound(m_apps.cbegin(), m_apps.cend(), app, before);
    const auto last = std::upper_bound(first, m_apps.cend(), app, before);
    const qsizetype lo = first - m_apps.cbegin();
    const qsizetype hi = last - m_apps.cbegin();
    m_apps.insert(std::clamp(position, lo, hi), app);
}

void ZelHubServer::reportChange()
{
    // A copy, so that the callback may replace itself.
    if (auto callback = onRegistryChanged)
        callback();
}

void ZelHubServer::handleUnregister(const ZelNotification &notification)
{
    if (!notification.userInfo)
        return;
    // An empty id is not refused here; it simply matches nothing.
    const auto id = ZelHubProtocol::stringValue(*notification.userInfo, ZelHubProtocol::keyAppID);
    if (!id)
        return;
    QMetaObject::invokeMethod(
        this, [this, id = *id] { applyUnregistration(id); }, Qt::QueuedConnection);
}

void ZelHubServer::applyUnregistration(const QString &id)
{
    const qsizetype before = m_apps.size();
    m_apps.removeIf([&](const ZelHubApp &a) { return ZelHubProtocol::stringsEqual(a.id, id); });
    m_statusInfos.remove(idKey(id));
    if (m_apps.size() != before)
        reportChange();
}

void ZelHubServer::pruneDeadApps()
{
    const qsizetype before = m_apps.size();
    m_apps.removeIf([&](const ZelHubApp &a) {
        return !a.bundleID.isEmpty() && !m_running->isRunning(a.bundleID);
    });
    if (m_apps.size() != before)
        reportChange();
}

ZelStatusInfo ZelHubServer::statusInfo(const ZelHubApp &app) const
{
    const auto stored = m_statusInfos.constFind(idKey(app.id));
    if (stored != m_statusInfos.constEnd())
        return *stored;
    return ZelStatusInfo{m_running->icon(app.bundleID), std::nullopt};
}

void ZelHubServer::postCommand(const QString &name, const ZelHubApp *target,
                               std::optional<QPointF> anchor,
                               const std::optional<QString> &activationToken)
{
    QVariantMap info;
    if (target)
        info.insert(ZelHubProtocol::keyTargetID, target->id);
    if (anchor)
        ZelHubProtocol::insertAnchor(info, *anchor);
    if (activationToken && !activationToken->isEmpty())
        info.insert(ZelHubProtocol::keyActivationToken, *activationToken);
    m_center->postNotification(name, info);
}

void ZelHubServer::hideAll(std::optional<QPointF> anchor)
{
    postCommand(ZelHubProtocol::hideIcon, nullptr, anchor);
}

void ZelHubServer::hide(const ZelHubApp &app, std::optional<QPointF> anchor)
{
    postCommand(ZelHubProtocol::hideIcon, &app, anchor);
}

void ZelHubServer::showAll()
{
    postCommand(ZelHubProtocol::showIcon, nullptr, std::nullopt);
}

void ZelHubServer::show(const ZelHubApp &app)
{
    postCommand(ZelHubProtocol::showIcon, &app, std::nullopt);
}

void ZelHubServer::activate(const ZelHubApp &app, std::optional<QPointF> anchor,
                            const std::optional<QString> &activationToken)
{
    postCommand(ZelHubProtocol::activate, &app, anchor, activationToken);
}
