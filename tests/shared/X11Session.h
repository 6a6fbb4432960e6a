#pragma once

#include <QProcess>
#include <QRect>
#include <QStringList>

#include <functional>
#include <optional>

// A private X server (Xvfb, 1024 × 768) with, optionally, an XEmbed tray host (trayer)
// docked at the top right, or openbox and a desktop's panel; xdotool and xprop look at
// and drive the windows on it. Everything it started ends with it.
class X11Session
{
public:
    struct Geometry
    {
        int x = 0, y = 0, width = 0, height = 0;
        operator QRect() const { return {x, y, width, height}; }
    };
    static constexpr int screenWidth = 1024, screenHeight = 768, panelHeight = 24;

    ~X11Session();
    // The programs the session needs, missing from PATH; empty when all are there.
    static QStringList missingTools(bool withTray = true);
    bool start(bool withTray = true);
    // After start(false): openbox managing the screen, then a desktop's panel (tint2,
    // xfce4-panel, lxqt-panel) instead of trayer, which returns once the panel has reserved
    // its place on the screen. Either says why when it fails, after what the program wrote.
    bool startDesktop();
    bool startPanel(const QString &panel);
    // The work area the panels leave free (_NET_WORKAREA).
    std::optional<Geometry> workArea() const;
    // The test's own environment with DISPLAY set and Qt on xcb.
    QProcessEnvironment clientEnvironment() const;
    // Runs xdotool; its standard output, trimmed.
    QString xdotool(const QStringList &args) const { return run("xdotool", args); }
    // Visible windows of the class (or with exactly the name, WM_NAME), in xdotool's order.
    QStringList visibleWindows(const QString &name) const { return search({"--class", name}); }
    QStringList visibleNamed(const QString &name) const
    {
        return search({"--name", '^' + name + '$'});
    }
    std::optional<Geometry> geometry(const QString &window) const;
    // Its _NET_WM_WINDOW_TYPE atoms, e.g. "_NET_WM_WINDOW_TYPE_TOOLTIP" (xprop).
    QStringList windowTypes(const QString &window) const;
    // Runs the event loop until `done` holds (true) or timeoutMs passed (false). It looks
    // every 50 ms, since a look usually runs xdotool or xprop, and the clients under test
    // need the machine more.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs);

    // Runs a program on the display: its standard output, trimmed; `ok` when it ran and
    // exited with 0.
    QString run(const QString &program, const QStringList &args, int timeoutMs = 10000,
                bool *ok = nullptr) const;

private:
    QStringList search(const QStringList &how) const;
    // Starts a process of the session and waits until it is `ready`, or has ended.
    bool launch(QProcess &process, const QString &program, const QStringList &args,
                const QProcessEnvironment &env, const std::function<bool()> &ready);

    QString m_display;
    QProcess m_xvfb, m_windowManager, m_panel;
};
