#include "X11Session.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
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
    end(m_trayer);
    end(m_windowManager);
    end(m_xvfb);
}

void X11Session::end(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QStringList X11Session::missingTools(bool withTray)
{
    QStringList tools{"Xvfb", "xdotool", "xprop"};
    if (withTray)
        tools << "trayer";
    QStringList missing;
    for (const QString &tool : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing << tool;
    return missing;
}

bool X11Session::start(bool withTray)
{
    // Display numbers are shared with every X server on the machine, and one that is
    // ending drops its lock before its abstract socket: a server started on its number
    // then says "server already running" yet comes up, and clients, which try the abstract
    // socket first, reach the other one (openbox then fails to open the display, and no
    // panel's place is ever counted). Such a server is ended and the next number tried.
    // -displayfd writes the number once the server accepts clients.
    QDeadlineTimer deadline(30000);
    for (int n = 100 + QCoreApplication::applicationPid() % 400; !deadline.hasExpired(); ++n) {
        m_xvfb.start("Xvfb", {u':' + QString::number(n), "-displayfd", "1", "-screen", "0",
                              QStringLiteral("%1x%2x24").arg(screenWidth).arg(screenHeight),
                              "-nolisten", "tcp"});
        if (!m_xvfb.waitForStarted(10000))
            return false;
        QByteArray number;
        while (!number.contains('\n') && m_xvfb.state() == QProcess::Running &&
               !deadline.hasExpired()) {
            m_xvfb.waitForReadyRead(100);
            number += m_xvfb.readAllStandardOutput();
        }
        if (number.contains('\n') && !m_xvfb.readAllStandardError().contains("already running")) {
            display = u':' + QString::fromLatin1(number.trimmed());
            return !withTray || startTray();
        }
        end(m_xvfb);
    }
    return false;
}

bool X11Session::startTray()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    m_trayer.setProcessEnvironment(env);
    m_trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request",
                              "--height", QString::number(panelHeight), "--SetDockType", "true"});
    return m_trayer.waitForStarted(10000);
}

bool X11Session::startDesktop(const QString &panel, bool withPanel)
{
    m_panel = panel;
    m_log.open();
    m_windowManager.setProcessEnvironment(clientEnvironment());
    m_windowManager.setStandardOutputFile(m_log.fileName(), QIODevice::Append);
    m_windowManager.setProcessChannelMode(QProcess::MergedChannels);
    m_windowManager.start("openbox", {});
    // A panel started before openbox manages the screen (and sets the work area) may set its
    // struts where nobody counts them, or give up waiting for a window manager.
    const auto managing = [&] {
        return m_windowManager.state() == QProcess::NotRunning || workArea();
    };
    if (!waitFor(managing, 40000) || m_windowManager.state() == QProcess::NotRunning)
        return fail(u"openbox did not manage the screen"_qs);
    return !withPanel || startPanel();
}

bool X11Session::startPanel()
{
    QProcessEnvironment env = clientEnvironment();
    env.remove("QT_QPA_PLATFORM");
    // lxqt-panel finds its default configuration only there.
    env.insert("XDG_CONFIG_DIRS", "/etc/xdg:/usr/share");
    m_trayer.setProcessEnvironment(env);
    m_trayer.setStandardOutputFile(m_log.fileName(), QIODevice::Append);
    m_trayer.setProcessChannelMode(QProcess::MergedChannels);
    m_trayer.start(m_panel, {});
    const auto reserved = [&] { return workArea() && workArea()->height < screenHeight; };
    waitFor([&] { return m_trayer.state() == QProcess::NotRunning || reserved(); }, 40000);
    if (m_trayer.state() == QProcess::NotRunning)
        return fail(QStringLiteral("%1 ended (exit code %2, %3)")
                        .arg(m_panel)
                        .arg(m_trayer.exitCode())
                        .arg(m_trayer.exitStatus() == QProcess::CrashExit ? "crashed" : "exited"));
    return reserved() || fail(m_panel + u" did not reserve its place on the screen in 40 s"_qs);
}

bool X11Session::fail(const QString &what)
{
    QFile log(m_log.fileName());
    m_error = what;
    if (log.open(QIODevice::ReadOnly))
        m_error += u"; openbox and the panel wrote:\n"_qs +
                   QString::fromLocal8Bit(log.readAll().right(3000));
    return false;
}

QString X11Session::run(const QString &program, const QStringList &args) const
{
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

std::optional<X11Session::Geometry> X11Session::workArea() const
{
    return fourNumbers(run("xprop", {"-root", "_NET_WORKAREA"}).section(u'=', 1));
}

QList<X11Session::Word> X11Session::readWords(const QString &screenshotPath, bool negate) const
{
    // Menu text is small: tesseract reads it at twice the size.
    const QString big = screenshotPath + u".x2.png"_qs;
    QProcess::execute(
        "convert", QStringList{screenshotPath, "-resize", "200%"} +
                       (negate ? QStringList{"-colorspace", "Gray", "-negate", "-threshold", "50%"}
                               : QStringList{}) +
                       QStringList{big});
    QProcess p;
    p.start("tesseract", {big, "-", "tsv"});
    p.waitForFinished(60000);
    QFile::remove(big);
    QList<Word> words;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split(u'\n')) {
        const QStringList f = line.split(u'\t');
        if (f.size() < 12 || f[11].trimmed().isEmpty() || f[0] == u"level")
            continue;
        words.append({f[11].trimmed(),
                      {f[6].toInt() / 2, f[7].toInt() / 2, f[8].toInt() / 2, f[9].toInt() / 2}});
    }
    return words;
}

void X11Session::stopTray()
{
    end(m_trayer);
}

QProcessEnvironment X11Session::clientEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QStringList X11Session::visibleWindows(const QString &className) const
{
    return xdotool({"search", "--onlyvisible", "--class", className})
        .split(u'\n', Qt::SkipEmptyParts);
}

QStringList X11Session::visibleNamed(const QString &name) const
{
    return xdotool({"search", "--onlyvisible", "--name", "^" + name + "$"})
        .split(u'\n', Qt::SkipEmptyParts);
}

std::optional<X11Session::Geometry> X11Session::geometry(const QString &window) const
{
    const QString text = xdotool({"getwindowgeometry", "--shell", window});
    Geometry g;
    int found = 0;
    for (const QString &line : text.split(u'\n')) {
        const auto kv = line.split(u'=');
        if (kv.size() != 2)
            continue;
        const int v = kv.at(1).toInt();
        if (kv.at(0) == u"X")
            g.x = v, ++found;
        else if (kv.at(0) == u"Y")
            g.y = v, ++found;
        else if (kv.at(0) == u"WIDTH")
            g.width = v, ++found;
        else if (kv.at(0) == u"HEIGHT")
            g.height = v, ++found;
    }
    return found == 4 ? std::optional<Geometry>(g) : std::nullopt;
}

QStringList X11Session::windowTypes(const QString &window) const
{
    // "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_TOOLTIP, _NET_WM_WINDOW_TYPE_NORMAL"
    return run("xprop", {"-id", window, "_NET_WM_WINDOW_TYPE"})
        .section(u" = "_qs, 1)
        .split(u", "_qs, Qt::SkipEmptyParts);
}

bool X11Session::screenshot(const QString &path) const
{
    if (QStandardPaths::findExecutable("import").isEmpty())
        return false;
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start("import", {"-window", "root", path});
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool X11Session::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}
