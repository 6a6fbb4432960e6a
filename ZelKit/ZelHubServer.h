#pragma once

#include <ZelKit/ZelHubApp.h>
#include <ZelKit/ZelKitExport.h>
#include <ZelKit/platform/ZelNotification.h>

#include <QCollator>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointF>

#include <functional>
#include <optional>

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

    // Any process of the user can register, so a status image is untrusted: bytes and
    // pixels beyond what a status icon could ever need are refused as "no image".
    static constexpr qsizetype maxStatusImageBytes = 1024 * 1024;
    static constexpr int maxStatusImagePixels = 1024;
    static QImage decodeStatusImage(const QByteArray &data);

private:
    struct Registration
    {
        ZelHubApp app;
        std::optional<QString> symbolName;
        QImage decodedImage;
        std::optional<QString> title;
    };
    void applyRegistration(const Registration &registration);
    void applyUnregistration(const QString &id);
    void insertSorted(const ZelHubApp &app, qsizetype position);
    void reportChange();
    void postCommand(const QString &name, const ZelHubApp *target, std::optional<QPointF> anchor,
                     const std::optional<QString> &activationToken = std::nullopt);

    QList<ZelHubApp> m_apps;
    QCollator m_collator;
    QHash<QString, ZelStatusInfo> m_statusInfos; // keyed by the id's NFC form
    DistributedNotificationCenter *const m_center;
    RunningApplications *const m_running;
};
