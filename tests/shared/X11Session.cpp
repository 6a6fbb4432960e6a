#include "X11Session.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

namespace {

// The first four whole numbers in the text, as x, y, width, height.
std::optional<X11Session::Geometry> fourNumbers(const QString &text)
{
    static const QRegularExpression number(u"-?\\d+"_qs);
    QList<int> n;
    for (auto it = number.globalMatch(text); it.hasNext() && n.size() < 4;)
        n << it.next().captured().toInt();
    if (n.size() < 4)
        return std::nullopt;
    return X11Session::Geometry{n[0], n[1], n[2], n[3]};
}

} // namespace

X11Session::~X11Session()
{
    for (QProcess *process : {&m_panel, &m_windowManager, &m_xvfb}) {
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
        process->waitForFinished(5000);
    }
}

QStringList X11Session::missingTools(bool withTray)
{
    QStringList missing;
    for (const QString &tool : QStringList{"Xvfb", "xdotool", "xprop", withTray ? "trayer" : ""})
        if (!tool.isEmpty() && QStandardPaths::findExecutable(tool).isEmpty())
            missing << tool;
    return missing;
}

bool X11Session::start(bool withTray)
{
    // Display numbers are shared with every X server on the machine. Without one, the
    // server takes the first that no other holds, by its lock or by its sockets (one that
    // is ending drops its lock before its abstract socket, and clients try that first),
    // and -displayfd writes it once the server accepts clients.
    m_xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0",
                          QStringLiteral("%1x%2x24").arg(screenWidth).arg(screenHeight),
                          "-nolisten", "tcp"});
    QByteArray number;
    while (!number.contains('\n') && m_xvfb.waitForReadyRead(30000))
        number += m_xvfb.readAllStandardOutput();
    if (!number.contains('\n'))
        return false;
    m_display = u':' + QString::fromLatin1(number.trimmed());
    return !withTray || launch(m_panel, "trayer",
                               {"--edge", "top", "--align", "right", "--widthtype", "request",
                                "--height", QString::number(panelHeight), "--SetDockType", "true"},
                               clientEnvironment(), [] { return true; });
}

bool X11Session::startDesktop()
{
    // A panel started before openbox manages the screen (and sets the work area) may set its
    // struts where nobody counts them, or give up waiting for a window manager.
    return launch(m_windowManager, "openbox", {}, clientEnvironment(),
                  [&] { return workArea().has_value(); });
}

bool X11Session::startPanel(const QString &panel)
{
    QProcessEnvironment env = clientEnvironment();
    env.remove("QT_QPA_PLATFORM");
    // lxqt-panel finds its default configuration only there.
    env.insert("XDG_CONFIG_DIRS", "/etc/xdg:/usr/share");
    return launch(m_panel, panel, {}, env,
                  [&] { return workArea() && workArea()->height < screenHeight; });
}

bool X11Session::launch(QProcess &process, const QString &program, const QStringList &args,
                        const QProcessEnvironment &env, const std::function<bool()> &ready)
{
    // Straight to the test's own output, so that they never block on a full pipe while the
    // test is busy elsewhere, and what they said is there when they fail.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setProcessEnvironment(env);
    process.start(program, args);
    waitFor([&] { return process.state() == QProcess::NotRunning || ready(); }, 40000);
    const bool up = process.state() != QProcess::NotRunning && ready();
    if (!up)
        qWarning("%s ended or was not ready in 40 s", qPrintable(program));
    return up;
}

QString X11Session::run(const QString &program, const QStringList &args, int timeoutMs,
                        bool *ok) const
{
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start(program, args);
    const bool done = p.waitForFinished(timeoutMs);
    if (ok)
        *ok = done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

std::optional<X11Session::Geometry> X11Session::workArea() const
{
    return fourNumbers(run("xprop", {"-root", "_NET_WORKAREA"}).section(u'=', 1));
}

QProcessEnvironment X11Session::clientEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QStringList X11Session::search(const QStringList &how) const
{
    return xdotool(QStringList{"search", "--onlyvisible"} + how).split(u'\n', Qt::SkipEmptyParts);
}

std::optional<X11Session::Geometry> X11Session::geometry(const QString &window) const
{
    // WINDOW=…, then X=, Y=, WIDTH= and HEIGHT= in that order.
    return fourNumbers(xdotool({"getwindowgeometry", "--shell", window}).section(u'\n', 1));
}

QStringList X11Session::windowTypes(const QString &window) const
{
    // "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_TOOLTIP, _NET_WM_WINDOW_TYPE_NORMAL"
    return run("xprop", {"-id", window, "_NET_WM_WINDOW_TYPE"})
        .section(u" = "_qs, 1)
        .split(u", "_qs, Qt::SkipEmptyParts);
}

bool X11Session::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    for (const QDeadlineTimer deadline(timeoutMs); !done(); QTest::qWait(50))
        if (deadline.hasExpired())
            return false;
    return true;
}
