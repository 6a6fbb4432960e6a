#include "X11Session.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

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
    // -displayfd picks a free display and writes its number once it accepts clients.
    m_xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0",
                          QStringLiteral("%1x%2x24").arg(screenWidth).arg(screenHeight),
                          "-nolisten", "tcp"});
    if (!m_xvfb.waitForStarted(10000))
        return false;
    QByteArray number;
    QDeadlineTimer deadline(20000);
    while (!number.contains('\n') && !deadline.hasExpired()) {
        m_xvfb.waitForReadyRead(100);
        number += m_xvfb.readAllStandardOutput();
    }
    if (!number.contains('\n'))
        return false;
    display = u':' + QString::fromLatin1(number.trimmed());
    return !withTray || startTray();
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
    if (!start(false))
        return false;
    m_panel = panel;
    m_windowManager.setProcessEnvironment(clientEnvironment());
    m_windowManager.start("openbox", {});
    return m_windowManager.waitForStarted(10000) && (!withPanel || startPanel());
}

bool X11Session::startPanel()
{
    QProcessEnvironment env = clientEnvironment();
    env.remove("QT_QPA_PLATFORM");
    // lxqt-panel finds its default configuration only there.
    env.insert("XDG_CONFIG_DIRS", "/etc/xdg:/usr/share");
    m_trayer.setProcessEnvironment(env);
    m_trayer.start(m_panel, {});
    return m_trayer.waitForStarted(10000);
}

std::optional<X11Session::Geometry> X11Session::workArea() const
{
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start("xprop", {"-root", "_NET_WORKAREA"});
    p.waitForFinished(10000);
    const QString text = QString::fromUtf8(p.readAllStandardOutput());
    const QStringList numbers = text.mid(text.indexOf(u'=') + 1).split(u',');
    if (!text.contains(u'=') || numbers.size() < 4)
        return std::nullopt;
    return Geometry{numbers[0].trimmed().toInt(), numbers[1].trimmed().toInt(),
                    numbers[2].trimmed().toInt(), numbers[3].trimmed().toInt()};
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

QString X11Session::xdotool(const QStringList &args) const
{
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start("xdotool", args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
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
    QProcess p;
    p.setProcessEnvironment(clientEnvironment());
    p.start("xprop", {"-id", window, "_NET_WM_WINDOW_TYPE"});
    p.waitForFinished(10000);
    // "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_TOOLTIP, _NET_WM_WINDOW_TYPE_NORMAL"
    const QString text = QString::fromUtf8(p.readAllStandardOutput());
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0)
        return {};
    QStringList types;
    for (const QString &atom : text.mid(equals + 1).split(u',', Qt::SkipEmptyParts))
        types << atom.trimmed();
    return types;
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
