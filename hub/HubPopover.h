#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QWidget>

#include <functional>

class HubPopoverViewController;

// The transient popup that holds the grid: frameless, below the tray icon (above it when
// the panel is at the bottom of the screen), kept on screen, closed by a click elsewhere
// or Escape.
class HubPopover : public QWidget
{
    Q_OBJECT
public:
    explicit HubPopover(QWidget *parent = nullptr);

    void setContentViewController(HubPopoverViewController *controller);
    HubPopoverViewController *contentViewController() const { return m_controller; }

    // Shows the popup at `anchor` (the tray icon's rectangle, or a point as a 1 × 1
    // rectangle), in Qt global coordinates, sized to the content's preferred size, within
    // `bounds` (default: the anchor's screen).
    void show(const QRect &anchor, const QRect &bounds = {});
    // Fits the popup to the content's preferred size again, keeping its edge at the icon.
    void updateSize();
    void performClose();

    // True when a click outside closed the popup a moment ago, and forgets it: the tray
    // host may report that same click on its icon next, which must not open the popup
    // again at once. Whatever the host reports after it is a new gesture.
    bool takeOutsideClose();

    // A right click or a Control-click outside that closed the popup, at its global
    // position: the person may have asked for the menu on the tray icon.
    std::function<void(QPoint)> onContextClickOutside;
    std::function<void()> onDidShow;
    std::function<void()> onDidClose;

    // Where a popup of `size` goes for an icon at `anchor` on a screen of `screen`.
    static QPoint placement(const QSize &size, const QRect &anchor, const QRect &screen);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    HubPopoverViewController *m_controller = nullptr;
    QRect m_anchor;
    QRect m_bounds;
    QElapsedTimer m_outsideClose;
    QElapsedTimer m_shown;
};
