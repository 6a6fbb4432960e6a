#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <functional>
#include <optional>

// The hub's icon in the tray, whichever protocol the desktop's tray host speaks.
// Callers see clicks and, where the host tells, where the icon is; nothing else of
// the backend.
class QMenu;

class ZELKIT_EXPORT ZelStatusItem : public QObject
{
    Q_OBJECT
public:
    enum class Button
    {
        Left,
        Right
    };
    struct Click
    {
        Button button = Button::Left;
        // Control held at the click (a Control-left-click opens the menu).
        Qt::KeyboardModifiers modifiers;
        // Where the host says the click happened, in Qt global coordinates, when it says.
        std::optional<QPoint> position;
        // The host's xdg-activation token for this click, when it gave one: whoever the
        // click brings forward needs it to take the focus on Wayland.
        QString activationToken;
        // The host told a position, but relative to its icon (waybar): useless on the screen.
        bool positionRelativeToIcon = false;
    };

    // The backend for this desktop.
    static ZelStatusItem *create(QObject *parent = nullptr);

    // A tray host shows the item ("the item has a button").
    virtual bool isAvailable() const = 0;
    virtual void setIcon(const QIcon &icon) = 0;
    virtual void setToolTip(const QString &text) = 0;
    virtual void setVisible(bool visible) = 0;
    // The icon's rectangle in Qt global coordinates; empty where the host does not tell.
    virtual QRect geometry() const = 0;
    // A themed icon hosts may draw (and recolour) in place of the icon, where they look
    // icons up by name; empty for none.
    virtual void setIconName(const QString &) {}
    // The item's menu, for hosts that draw it themselves; the caller pops it up on the
    // other hosts. Not owned.
    virtual void setMenu(QMenu *) {}
    // The colour the host asks its icons to be drawn in, where it says.
    virtual std::optional<QColor> hostForeground() const { return std::nullopt; }

    std::function<void(const Click &)> onClicked;
    std::function<void(bool available)> onAvailabilityChanged;

protected:
    using QObject::QObject;
    void reportClick(const Click &click)
    {
        if (auto callback = onClicked)
            callback(click);
    }
    void reportAvailability(bool available)
    {
        if (auto callback = onAvailabilityChanged)
            callback(available);
    }
};
