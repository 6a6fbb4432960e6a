#pragma once

#include <ZelKit/ZelHubApp.h>
#include <ZelKit/ZelKitExport.h>
#include <ZelKit/platform/ZelNotification.h>

#include <QCollator>
#include <QDeadlineTimer>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QPointF>
#include <QThreadPool>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class DistributedNotificationCenter;
class RunningApplications;

// The status image and title a sibling registered; either may be absent.
struct ZELKIT_EXPORT ZelStatusInfo
{
    std::optional<QIcon> image;
    std::optional<QString> title;
};

// The hub's registry of running siblings: handles "register" and "unregister", keeps
// the apps sorted by name with their status info, prunes apps that quit, and posts the
// hub's commands. Used from the main thread; notification halves are queued onto it.
class ZELKIT_EXPORT ZelHubServer : public QObject
{
    Q_OBJECT
public:
    // On the default center and the session bus's running applications.
    explicit ZelHubServer(QObject *parent = nullptr);
    ZelHubServer(DistributedNotificationCenter *center, RunningApplications *running,
                 QObject *parent = nullptr);
    ~ZelHubServer() override;

    const QList<ZelHubApp> &apps() const { return m_apps; }

    // Called on the main thread after every change of the registry.
    std::function<void()> onRegistryChanged;

    void start();
    void stop();
    void discover();
    void pruneDeadApps();
    ZelStatusInfo statusInfo(const ZelHubApp &app) const;

    void hideAll(std::optional<QPointF> anchor);
    void hide(const ZelHubApp &app, std::optional<QPointF> anchor);
    void showAll();
    void show(const ZelHubApp &app);
    // The token, when the tray host gave one for the click, travels as "activationToken".
    void activate(const ZelHubApp &app, std::optional<QPointF> anchor,
                  const std::optional<QString> &activationToken = std::nullopt);

    void handleRegister(const ZelNotification &notification);
    void handleUnregister(const ZelNotification &notification);

    // Registrations and unregistrations received but not applied yet: they are applied
    // in the order they came, each after the status images before it are decoded.
    qsizetype pendingCount() const { return qsizetype(m_pending.size()); }

    // Any process of the user can register, so the registry is bounded: a registration
    // of a new id beyond this many apps is dropped.
    static constexpr qsizetype maxApps = 1000;

    // A status image is untrusted too: bytes and header sizes beyond what a status icon
    // could ever need are refused as "no image", and what is kept is no larger than the
    // grid draws it (statusImagePoints at the largest pixel ratio of the screens).
    static constexpr qsizetype maxStatusImageBytes = 1024 * 1024;
    static constexpr int maxStatusImagePixels = 1024;
    static constexpr int statusImagePoints = 18;
    // A decode not done this long after its registration's turn came is given up.
    static constexpr int decodeTimeoutMs = 2000;
    // Image bytes waiting for their decode at most; more images meanwhile are refused.
    static constexpr qsizetype maxDecodingBytes = 64 * 1024 * 1024;
    // PNG only, as the protocol says; scaled down to fit maxSide × maxSide pixels.
    static QImage decodeStatusImage(const QByteArray &data, int maxSide);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Registration
    {
        ZelHubApp app;
        std::optional<QString> symbolName;
        std::optional<QString> title;
    };
    // One received message, waiting for its turn; without a registration it is an
    // unregistration.
    struct Pending
    {
        quint64 serial = 0;
        QString key;
        std::optional<Registration> registration;
        bool symbolKnown = false;
        bool decoding = false;
        QImage image;
        std::optional<QDeadlineTimer> turnEnds;
    };
    // Beside each entry of m_apps: its id's NFC form and its name's collation key, so
    // that finding and sorting never normalise or collate a text twice.
    struct Slot
    {
        QString key;
        QCollatorSortKey sortKey;
    };
    void enqueue(Pending pending, std::optional<QByteArray> imageData);
    void imageDecoded(quint64 serial, const QImage &image, qsizetype bytes);
    void applyPending();
    void applyRegistration(const Pending &pending);
    void applyUnregistration(const QString &key);
    QCollatorSortKey sortKey(const QString &name) const;
    void insertSorted(const ZelHubApp &app, const QString &nfcID, qsizetype position);
    void removeAt(qsizetype index);
    bool followLocale();
    void reportChange();
    void postCommand(const QString &name, const ZelHubApp *target, std::optional<QPointF> anchor,
                     const std::optional<QString> &activationToken = std::nullopt);

    QList<ZelHubApp> m_apps;
    std::vector<Slot> m_slots;
    QLocale m_collatorLocale;
    QCollator m_collator;
    QHash<QString, ZelStatusInfo> m_statusInfos; // keyed by the id's NFC form
    std::deque<Pending> m_pending;
    quint64 m_nextSerial = 0;
    qsizetype m_decodingBytes = 0;
    QTimer m_decodeTurn;
    QThreadPool m_decoders;
    bool m_fullLogged = false;
    DistributedNotificationCenter *const m_center;
    RunningApplications *const m_running;
};
