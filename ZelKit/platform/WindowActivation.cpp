#include "WindowActivation.h"

#include <QGuiApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace {

// Asks for focus once the window is on screen: compositors ignore an activation request
// for a surface they have not mapped yet (KWin, wlroots). Wayland maps a surface with its
// first frame, which the widget paints and commits while it handles its first exposure,
// so the request is queued to run after that.
class ActivateWhenExposed : public QObject
{
public:
    explicit ActivateWhenExposed(QWidget *window) : QObject(window), m_window(window) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && m_window && m_window->windowHandle() &&
            m_window->windowHandle()->isExposed()) {
            QMetaObject::invokeMethod(
                m_window, [window = m_window] { window->activateWindow(); }, Qt::QueuedConnection);
            deleteLater();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QWidget> m_window;
};

} // namespace

void WindowActivation::showActive(QWidget *window, const std::optional<QString> &token)
{
    if (!window)
        return;
    // Qt's xdg-shell integration presents the token in XDG_ACTIVATION_TOKEN with the
    // window's next activation request and then clears the variable, so exactly this
    // window spends it; Qt 6.4 has no public call that takes a token. On X11 the variable
    // means nothing, and set there it would only leak into the processes we start.
    if (token && !token->isEmpty() && QGuiApplication::platformName().startsWith(u"wayland"))
        qputenv("XDG_ACTIVATION_TOKEN", token->toUtf8());
    window->show();
    window->raise();
    QWindow *handle = window->windowHandle();
    if (!handle || handle->isExposed()) {
        window->activateWindow();
        return;
    }
    handle->installEventFilter(new ActivateWhenExposed(window));
}
