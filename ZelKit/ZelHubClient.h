#pragma once

#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelKitExport.h>
#include <ZelKit/platform/ZelNotification.h>

#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointF>
#include <QString>

#include <functional>
#include <optional>

class DistributedNotificationCenter;

// A sibling application's side of the hub: announces the application ("register"),
// answers every "discover", withdraws ("unregister") and turns the hub's "hideIcon",
// "showIcon" and "activate" into callbacks. Use it from the main thread.
class ZELKIT_EXPORT ZelHubClient : public QObject
{
    Q_OBJECT
public:
    // The one client of the process, created on first use on the default center. It
    // subscribes to nothing and posts nothing until start(), and lives until the process
    // ends.
    static ZelHubClient *shared();

    // Callbacks run on the main thread; each is copied before it is called, so it may
    // replace or clear itself while it runs.
    std::function<void()> onHideIcon;
    std::function<void()> onShowIcon;
    // The hub's anchor (bottom-left origin, see ZelScreenAnchor), or none.
    std::function<void(std::optional<QPointF> anchor)> onActivate;

    // Read at every post; setting one sends nothing by itself. A symbol name wins over
    // the image, which is sent as PNG at the primary screen's pixel density.
    std::optional<QImage> statusBarImage;
    std::optional<QString> statusBarSymbolName;
    std::optional<QString> statusBarTitle;

    // The latest anchor the hub sent with "hideIcon" or "activate".
    std::optional<QPointF> hubAnchor() const { return m_hubAnchor; }
    // The xdg-activation token that came with the latest "activate", none when it had
    // none. A Wayland compositor gives focus to a window shown with it (see
    // WindowActivation::showActive); it is good for that one activation only.
    std::optional<QString> activationToken() const { return m_activationToken; }

    // Stores the configuration, subscribes, claims the bundle identifier on the bus (kept
    // until the client is destroyed or the process ends) and posts "register". Call once,
    // and again only after stop().
    void start(const ZelAppConfig &config);
    // Replaces each field whose argument is present (never clears one), then posts
    // "register".
    void updateStatusInfo(std::optional<QImage> image = std::nullopt,
                          std::optional<QString> symbol = std::nullopt,
                          std::optional<QString> title = std::nullopt);
    // Posts "unregister" and unsubscribes; the bundle identifier stays claimed, since the
    // application still runs and may register again.
    void stop();

    // Entry points of the transport; they may be called on any thread and do their
    // effect on the main thread, at once when called there.
    void handleDiscover(const ZelNotification &notification);
    void handleHide(const ZelNotification &notification);
    void handleShow(const ZelNotification &notification);
    void handleActivate(const ZelNotification &notification);

    // The status image as PNG: deviceIndependentSize() × factor pixels, truncated;
    // none when that is empty or encoding fails.
    static std::optional<QByteArray> renderStatusImagePNG(const QImage &image, qreal factor);
    // The primary screen's device pixel ratio; 2.0 without a GUI application or screen.
    static qreal statusImageScaleFactor();

protected:
    // For tests and embedders that bring their own transport; shared() uses the default
    // center.
    explicit ZelHubClient(DistributedNotificationCenter *center, QObject *parent = nullptr);
    // Posts nothing; the center forgets the client by itself, and the bundle identifier
    // is given back so that a client gone without stop() is not taken for running.
    ~ZelHubClient() override;

private:
    bool isAddressedToThisApp(const ZelNotification &notification) const;
    void postAppInfo(const QString &name);
    std::optional<QByteArray> statusImagePNGData() const;
    void runOnMainThread(std::function<void()> effect);
    void storeAnchor(std::optional<QPointF> anchor);
    static QString bundleIdentifier();

    std::optional<QPointF> m_hubAnchor;
    std::optional<QString> m_activationToken;
    // Written by start() on the main thread, read by handlers on any thread.
    mutable QMutex m_configMutex;
    std::optional<ZelAppConfig> m_config;
    QString m_claimedBusName;
    DistributedNotificationCenter *const m_center;
};
