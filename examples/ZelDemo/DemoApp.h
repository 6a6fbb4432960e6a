#pragma once

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QWidget;
class ZelStandardMenu;
struct ZelAppConfig;

struct DemoOptions
{
    QString id = QStringLiteral("demo");
    QString name = QStringLiteral("Zel Demo");
    // The bundle identifier (freedesktop application id) the demo owns on the bus.
    QString appID;
    std::optional<QString> symbol;
    std::optional<QString> title;
    std::optional<QImage> image;
    QString baseURL = QStringLiteral("http://127.0.0.1");
    // A user-initiated update check right after launch.
    bool checkForUpdates = false;
};

// A sibling tray application as a developer on ZelKit would write it: its own tray
// icon, hidden and shown at the hub's word, and a small window opened at the hub's
// icon. Every hub callback is also written to standard output, one line each.
class DemoApp : public QObject
{
    Q_OBJECT
public:
    explicit DemoApp(const DemoOptions &options, QObject *parent = nullptr);
    ~DemoApp() override;

    void start();
    // Withdraws from the hub; safe to call more than once.
    void stop();
    void quit();

    // The application id used when none is given: one per demo id, so that several
    // demos can run at once and each is seen running (or gone) on its own.
    static QString defaultAppID(const QString &id);
    // Where a window whose frame has this size opens (the frame's top left): just below
    // the anchor, kept inside the work area of its screen; centred in the primary
    // screen's work area without one.
    static QPoint windowPosition(QSize frameSize, std::optional<QPointF> anchor);

private:
    void buildMenu(const ZelAppConfig &config);
    void handleHideIcon();
    void handleShowIcon();
    void handleActivate(std::optional<QPointF> anchor);
    void openWindow(std::optional<QPointF> anchor, std::optional<QString> token);
    bool eventFilter(QObject *watched, QEvent *event) override;
    void openPreferences();
    QIcon makeIcon() const;
    QImage makeStatusImage() const;

    DemoOptions m_options;
    QIcon m_icon;
    std::unique_ptr<QMenu> m_menu;
    // Kept as long as the menu: its items act on it.
    std::unique_ptr<ZelStandardMenu> m_standardMenu;
    QSystemTrayIcon *m_tray = nullptr;
    QPointer<QWidget> m_window;
    QPointer<QWidget> m_preferences;
    bool m_started = false;
};
