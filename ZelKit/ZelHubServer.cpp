#include "ZelHubServer.h"

#include "ZelHubProtocol.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/RunningApplications.h"
#include "platform/ZelLog.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>
#include <QScreen>
#include <QtMath>

#include <algorithm>

namespace {

QString idKey(const QString &id)
{
    return id.normalized(QString::NormalizationForm_C);
}

// The status image is kept at the size the grid draws it on the densest screen in use.
qreal largestDevicePixelRatio()
{
    qreal ratio = 1;
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        for (const QScreen *screen : QGuiApplication::screens())
            ratio = std::max(ratio, screen->devicePixelRatio());
    return ratio;
}

} // namespace

ZelHubServer::ZelHubServer(QObject *parent)
    : ZelHubServer(DistributedNotificationCenter::defaultCenter(), RunningApplications::system(),
                   parent)
{}

ZelHubServer::ZelHubServer(DistributedNotificationCenter *center, RunningApplications *running,
                           QObject *parent)
    : QObject(parent), m_collator(m_collatorLocale), m_center(center), m_running(running)
{
    // Case-insensitive from the start, whatever the locale ("Zed" and "zed" compare the
    // same, so the earlier one stays first).
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    m_decodeTurn.setSingleShot(true);
    connect(&m_decodeTurn, &QTimer::timeout, this, &ZelHubServer::applyPending);
    // Decoding is bounded in memory too: a few images at a time.
    m_decoders.setMaxThreadCount(2);
    if (QCoreApplication *app = QCoreApplication::instance())
        app->installEventFilter(this);
}

// Observations are not removed here: the owner calls stop(). The center holds the
// server weakly, so a server destroyed without stop() is still never called back.
ZelHubServer::~ZelHubServer()
{
    // A decode still running posts its result to this object; none may outlive it.
    m_decoders.clear();
    m_decoders.waitForDone();
}

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

QImage ZelHubServer::decodeStatusImage(const QByteArray &data, int maxSide)
{
    if (data.isEmpty() || data.size() > maxStatusImageBytes || maxSide < 1)
        return {};
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    // The protocol says PNG: no other decoder ever sees the bytes, whatever they claim.
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    // The header's size is checked before a single pixel is allocated.
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || size.width() > maxStatusImagePixels ||
        size.height() > maxStatusImagePixels)
        return {};
    QImage image;
    if (!reader.read(&image) || image.isNull() || image.width() > maxStatusImagePixels ||
        image.height() > maxStatusImagePixels)
        return {};
    if (image.width() > maxSide || image.height() > maxSide)
        image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

void ZelHubServer::handleRegister(const ZelNotification &notification)
{
    // Runs on the delivering thread: read the message, touch no state. Every text is
    // bounded by stringValue() before anything else looks at it.
    if (!notification.userInfo)
        return;
    const QVariantMap &info = *notification.userInfo;
    const auto id = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppID);
    if (!id || id->isEmpty())
        return;

    Pending p;
    p.key = idKey(*id);
    Registration &r = p.registration.emplace();
    r.app.id = *id;
    r.app.name = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppName).value_or(*id);
    r.app.bundleID =
        ZelHubProtocol::stringValue(info, ZelHubProtocol::keyBundleID).value_or(QString());
    r.symbolName = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusSymbolName);
    r.title = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusTitle);
    auto data = ZelHubProtocol::dataValue(info, ZelHubProtocol::keyStatusImageData);

    // The context object makes Qt drop the work when the server is gone.
    QMetaObject::invokeMethod(
        this,
        [this, p = std::move(p), data = std::move(data)]() mutable {
            enqueue(std::move(p), std::move(data));
        },
        Qt::QueuedConnection);
}

void ZelHubServer::enqueue(Pending p, std::optional<QByteArray> imageData)
{
    p.serial = m_nextSerial++;
    if (p.registration) {
        // The icon theme is asked on the main thread only; it is not thread-safe.
        const auto &symbol = p.registration->symbolName;
        p.symbolKnown = symbol && QIcon::hasThemeIcon(*symbol);
        const qsizetype bytes = imageData ? imageData->size() : 0;
        // A flood of images waits within a bound too; beyond it they count as refused.
        if (!p.symbolKnown && bytes > 0 && bytes <= maxStatusImageBytes &&
            m_decodingBytes + bytes <= maxDecodingBytes) {
            // Decoded off the main thread, so that no image stalls the hub; the
            // registrations after it wait for it, so the order stays as received.
            p.decoding = true;
            m_decodingBytes += bytes;
            const int maxSide = qCeil(statusImagePoints * largestDevicePixelRatio());
            m_decoders.start([this, serial = p.serial, data = *std::move(imageData), maxSide] {
                const QImage image = decodeStatusImage(data, maxSide);
                QMetaObject::invokeMethod(
                    this,
                    [this, serial, image, bytes = data.size()] {
                        imageDecoded(serial, image, bytes);
                    },
                    Qt::QueuedConnection);
            });
        }
    }
    m_pending.push_back(std::move(p));
    applyPending();
}

void ZelHubServer::imageDecoded(quint64 serial, const QImage &image, qsizetype bytes)
{
    m_decodingBytes -= bytes;
    // Serials are consecutive from the front; a decode given up on is gone already.
    if (m_pending.empty() || serial < m_pending.front().serial)
        return;
    Pending &p = m_pending.at(size_t(serial - m_pending.front().serial));
    p.image = image;
    p.decoding = false;
    applyPending();
}

void ZelHubServer::applyPending()
{
    while (!m_pending.empty()) {
        Pending &head = m_pending.front();
        if (head.decoding) {
            if (!head.turnEnds)
                head.turnEnds = QDeadlineTimer(decodeTimeoutMs);
            if (!head.turnEnds->hasExpired()) {
                m_decodeTurn.start(int(std::max<qint64>(1, head.turnEnds->remainingTime())));
                return;
            }
            // Too slow: the app goes on without an image, as with one that is refused.
        }
        // Taken off the queue first: a callback may run the event loop.
        const Pending p = std::move(head);
        m_pending.pop_front();
        if (p.registration)
            applyRegistration(p);
        else
            applyUnregistration(p.key);
    }
    m_decodeTurn.stop();
}

void ZelHubServer::applyRegistration(const Pending &p)
{
    const Registration &r = *p.registration;
    const bool resorted = followLocale();
    // Icons are made here, on the main thread: the icon theme and pixmaps are not
    // thread-safe. Each registration builds a new icon, so an image always counts as new.
    std::optional<QIcon> image;
    if (p.symbolKnown) {
        QIcon symbol = QIcon::fromTheme(*r.symbolName);
        symbol.detach();
        image = symbol;
    } else if (!p.image.isNull()) {
        image = QIcon(QPixmap::fromImage(p.image));
    }
    if (image)
        image->setIsMask(true);

    const auto slot = std::find_if(m_slots.cbegin(), m_slots.cend(),
                                   [&](const Slot &s) { return s.key == p.key; });
    qsizetype position = m_apps.size();
    if (slot != m_slots.cend()) {
        position = slot - m_slots.cbegin();
        const auto stored = m_statusInfos.constFind(p.key);
        const std::optional<QIcon> storedImage =
            stored != m_statusInfos.constEnd() ? stored->image : std::nullopt;
        const std::optional<QString> storedTitle =
            stored != m_statusInfos.constEnd() ? stored->title : std::nullopt;
        const bool sameImage = storedImage.has_value() == image.has_value() &&
                               (!image || storedImage->cacheKey() == image->cacheKey());
        const bool sameTitle = storedTitle.has_value() == r.title.has_value() &&
                               (!r.title || ZelHubProtocol::stringsEqual(*storedTitle, *r.title));
        if (m_apps.at(position) == r.app && sameImage && sameTitle) {
            if (resorted)
                reportChange();
            return;
        }
        removeAt(position);
    } else if (m_apps.size() >= maxApps) {
        if (!m_fullLogged)
            ZelLog::write(QStringLiteral("[ZelHub] registry full \u2014 ignoring new Zel apps"));
        m_fullLogged = true;
        if (resorted)
            reportChange();
        return;
    }
    m_statusInfos.insert(p.key, ZelStatusInfo{image, r.title});
    insertSorted(r.app, p.key, position);
    ZelLog::write(QStringLiteral("[ZelHub] registered ") + r.app.name + QStringLiteral(" (") +
                  r.app.id + QStringLiteral(") \u2014 ") + QString::number(m_apps.size()) +
                  QStringLiteral(" app(s) now"));
    reportChange();
}

bool ZelHubServer::followLocale()
{
    // The user's current locale, also after a change: every key is made again and the
    // list sorted once, stably, so that equal names keep their order.
    if (m_collatorLocale == QLocale())
        return false;
    m_collatorLocale = QLocale();
    m_collator.setLocale(m_collatorLocale);
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<qsizetype> order(m_slots.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = qsizetype(i);
        m_slots[i].sortKey = sortKey(m_apps.at(qsizetype(i)).name);
    }
    std::stable_sort(order.begin(), order.end(), [this](qsizetype a, qsizetype b) {
        return m_slots[size_t(a)].sortKey.compare(m_slots[size_t(b)].sortKey) < 0;
    });
    if (std::is_sorted(order.begin(), order.end()))
        return false;
    QList<ZelHubApp> apps;
    std::vector<Slot> sortedSlots;
    apps.reserve(m_apps.size());
    sortedSlots.reserve(m_slots.size());
    for (const qsizetype i : order) {
        apps.append(m_apps.at(i));
        sortedSlots.push_back(std::move(m_slots[size_t(i)]));
    }
    m_apps = std::move(apps);
    m_slots = std::move(sortedSlots);
    return true;
}

bool ZelHubServer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::LocaleChange && followLocale())
        reportChange();
    return QObject::eventFilter(watched, event);
}

QCollatorSortKey ZelHubServer::sortKey(const QString &name) const
{
    // Qt's key for the C locale ignores the case setting (its compare() does not), so
    // the name is folded first there.
    const bool c = m_collatorLocale.language() == QLocale::C;
    return m_collator.sortKey(c ? name.toCaseFolded() : name);
}

void ZelHubServer::insertSorted(const ZelHubApp &app, const QString &nfcID, qsizetype position)
{
    // The list is sorted before every registration, so a stable sort of the changed
    // list is the same as one insertion: after the names that sort before it, and
    // among equal names at the place the entry held (after them, when it is new).
    QCollatorSortKey key = sortKey(app.name);
    const auto first = std::lower_bound(
        m_slots.cbegin(), m_slots.cend(), key,
        [](const Slot &s, const QCollatorSortKey &k) { return s.sortKey.compare(k) < 0; });
    const auto last =
        std::upper_bound(first, m_slots.cend(), key, [](const QCollatorSortKey &k, const Slot &s) {
            return k.compare(s.sortKey) < 0;
        });
    const qsizetype at = std::clamp(position, qsizetype(first - m_slots.cbegin()),
                                    qsizetype(last - m_slots.cbegin()));
    m_apps.insert(at, app);
    m_slots.insert(m_slots.begin() + at, Slot{nfcID, std::move(key)});
}

void ZelHubServer::removeAt(qsizetype index)
{
    m_apps.removeAt(index);
    m_slots.erase(m_slots.begin() + index);
    if (m_apps.size() < maxApps)
        m_fullLogged = false;
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
    Pending p;
    p.key = idKey(*id);
    QMetaObject::invokeMethod(
        this, [this, p = std::move(p)]() mutable { enqueue(std::move(p), std::nullopt); },
        Qt::QueuedConnection);
}

void ZelHubServer::applyUnregistration(const QString &key)
{
    const auto slot =
        std::find_if(m_slots.cbegin(), m_slots.cend(), [&](const Slot &s) { return s.key == key; });
    m_statusInfos.remove(key);
    if (slot == m_slots.cend())
        return;
    removeAt(slot - m_slots.cbegin());
    reportChange();
}

void ZelHubServer::pruneDeadApps()
{
    const qsizetype before = m_apps.size();
    for (qsizetype i = 0; i < m_apps.size();) {
        const ZelHubApp &app = m_apps.at(i);
        if (app.bundleID.isEmpty() || m_running->isRunning(app.bundleID)) {
            ++i;
            continue;
        }
        // Its status info goes with it, so that no lookup outlives the bound of the
        // registry.
        m_statusInfos.remove(m_slots[size_t(i)].key);
        removeAt(i);
    }
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
