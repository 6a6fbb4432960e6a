#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <functional>
#include <optional>

// A private X server (Xvfb, 1024 × 768) with, optionally, an XEmbed tray host (trayer)
// docked at the top right, and xdotool to look at and drive the windows on it. Everything
// it started is ended when it goes.
class X11Session
{
public:
    struct Geometry
    {
        int x = 0, y = 0, width = 0, height = 0;
    };

    static constexpr int screenWidth = 1024;
    static constexpr int screenHeight = 768;
    static constexpr int panelHeight = 24;

    X11Session() = default;
    X11Session(const X11Session &) = delete;
    X11Session &operator=(const X11Session &) = delete;
    ~X11Session();

    // The programs the session needs, missing from PATH; empty when all are there.
    static QStringList missingTools(bool withTray = true);

    bool start(bool withTray = true);
    // After start(false): openbox managing the screen, then a desktop's panel (tint2,
    // xfce4-panel, lxqt-panel) instead of trayer, now or later with startPanel(), which
    // returns once the panel has reserved its place on the screen. When either fails,
    // error() says why, with what openbox and the panel wrote.
    bool startDesktop(const QString &panel, bool withPanel = true);
    bool startPanel();
    QString error() const { return m_error; }
    // The work area the panels leave free (_NET_WORKAREA), x, y, width, height.
    std::optional<Geometry> workArea() const;
    // Words tesseract reads on the screen, with where they are; `negate` for light text
    // on a dark menu.
    struct Word
    {
        QString text;
        Geometry box;
    };
    QList<Word> readWords(const QString &screenshotPath, bool negate = false) const;
    bool startTray();
    void stopTray();
    bool hasTray() const { return m_trayer.state() != QProcess::NotRunning; }

    // The test's own environment with DISPLAY set and Qt on xcb.
    QProcessEnvironment clientEnvironment() const;

    // Runs xdotool; its standard output, trimmed.
    QString xdotool(const QStringList &args) const { return run("xdotool", args); }
    // Visible windows of the class (or with exactly the name, WM_NAME), in xdotool's order.
    QStringList visibleWindows(const QString &className) const;
    QStringList visibleNamed(const QString &name) const;
    std::optional<Geometry> geometry(const QString &window) const;
    // Its _NET_WM_WINDOW_TYPE atoms, e.g. "_NET_WM_WINDOW_TYPE_TOOLTIP" (xprop).
    QStringList windowTypes(const QString &window) const;
    // A picture of the whole screen (imagemagick's import); false when it could not be taken.
    bool screenshot(const QString &path) const;
    // Runs the event loop until `done` holds (true) or timeoutMs passed (false). It looks
    // every 50 ms, since a look usually runs xdotool or xprop, and the clients under test
    // need the machine more.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs);

    QString display;

private:
    static void end(QProcess &process);
    QString run(const QString &program, const QStringList &args) const;
    bool fail(const QString &what);

    QProcess m_xvfb;
    QProcess m_trayer;
    QProcess m_windowManager;
    QString m_panel, m_error;
    // What openbox and the panel write: a file, so that they never block on a full pipe
    // while the test is busy elsewhere.
    QTemporaryFile m_log;
};
