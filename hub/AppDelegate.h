#pragma once

#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/ZelStatusItem.h>

#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class HubPopover;
class HubPopoverViewController;

// Everything the user sees of the hub: the tray icon, the popup grid of siblings and the
// context menu; keeps the user's choice whether the siblings hide their own icons.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    using StatusItemFactory = std::function<ZelStatusItem *(QObject *parent)>;

    // `makeStatusItem` defaults to the tray backend that suits the desktop.
    explicit AppDelegate(StatusItemFactory makeStatusItem = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // A click on the tray icon; none when the action came without one.
    void statusClicked(const std::optional<ZelStatusItem::Click> &click);
    void toggleHidden();
    void popoverDidShow();
    void popoverDidClose();

    // The count line of the context menu for n registered apps.
    static QString countLine(qsizetype n);

    ZelStatusItem *statusItem() const { return m_statusItem; }
    ZelHubServer &server() { return m_server; }
    HubPopover *bubble() const { return m_bubble; }
    HubPopoverViewController *bubbleVC();
    bool bubbleOpen() const { return m_bubbleOpen; }
    bool iconsHidden() const { return m_iconsHidden; }
    // The context menu: popped up by the hub where the host leaves it to the item, drawn
    // by the host from the same actions where it reads the item's menu.
    QMenu *contextMenu() const { return m_menu; }
    // The glyph's colour now, for the panel it sits on.
    QColor glyphColor() const;
    // The bottom centre of the tray icon in the protocol's convention, where known.
    std::optional<QPointF> statusAnchor() const;

    static inline const QString hiddenKey = QStringLiteral("ZelHub.iconsHidden");

private:
    void setUpStatusItem();
    void setUpPopover();
    void togglePopover();
    void showContextMenu();
    void refreshPopover();
    void registryChanged();
    void activateApp(const ZelHubApp &app);
    ZelStatusInfo iconInfo(const ZelHubApp &app) const;
    // The tray icon's rectangle in Qt global coordinates, or the click's point.
    std::optional<QRect> iconRect() const;
    // Against the host's bar, where a host tells no position on the screen.
    static std::optional<QPoint> barPoint();
    // Where a popup goes: the icon's screen, or the work area beside the panel where the
    // host told only the click's point.
    QRect popupBounds() const;
    void reportMissingTray();
    void setUpContextMenu();
    void updateContextMenu();
    void updateGlyph();
    // The colour of the panel under the tray icon, read from the screen.
    std::optional<QColor> panelColor() const;
    bool eventFilter(QObject *watched, QEvent *event) override;

    StatusItemFactory m_makeStatusItem;
    ZelStatusItem *m_statusItem = nullptr;
    ZelHubServer m_server;
    HubPopover *m_bubble = nullptr;
    HubPopoverViewController *m_bubbleVC = nullptr;
    bool m_bubbleOpen = false;
    bool m_iconsHidden = false;
    QMenu *m_menu = nullptr;
    QAction *m_countAction = nullptr;
    QAction *m_hideAction = nullptr;
    QColor m_glyphColor;
    // Where the last click happened, in Qt global coordinates: the host's word for it, or
    // the cursor then.
    std::optional<QPoint> m_clickPosition;
    bool m_missingTrayReported = false;
    // Since the popup last opened: a click within a double-click time is the same gesture.
    QElapsedTimer m_bubbleOpened;
    // The host's token of the last left click, for the sibling it brings forward.
    QString m_activationToken;
    bool m_trayArrivalReported = false;
    bool m_registryChangeQueued = false;
};
