// ZelDemo as a person sees it: on an X server (Xvfb) with a real XEmbed tray host
// (trayer), driven with xdotool. Skipped where those programs are missing.
#include "BusMonitor.h"
#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

struct Geometry
{
    int x = 0, y = 0, width = 0, height = 0;
};

class X11Session
{
public:
    bool start()
    {
        // -displayfd picks a free display and writes its number once it accepts clients.
        m_xvfb.start("Xvfb",
                     {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
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
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        m_trayer.setProcessEnvironment(env);
        m_trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request",
                                  "--height", "24", "--SetDockType", "true"});
        return m_trayer.waitForStarted(10000);
    }
    ~X11Session()
    {
        for (QProcess *p : {&m_trayer, &m_xvfb}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000)) {
                    p->kill();
                    p->waitForFinished(5000);
                }
            }
        }
    }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        return env;
    }

    QString xdotool(const QStringList &args) const
    {
        QProcess p;
        p.setProcessEnvironment(clientEnvironment());
        p.start("xdotool", args);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    // Visible windows of the class, in xdotool's order.
    QStringList visibleWindows(const QString &className) const
    {
        return xdotool({"search", "--onlyvisible", "--class", className})
            .split(u'\n', Qt::SkipEmptyParts);
    }
    QStringList visibleNamed(const QString &name) const
    {
        return xdotool({"search", "--onlyvisible", "--name", "^" + name + "$"})
            .split(u'\n', Qt::SkipEmptyParts);
    }

    std::optional<Geometry> geometry(const QString &window) const
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

    QString display;

private:
    QProcess m_xvfb;
    QProcess m_trayer;
};

int zelctl(const QStringList &args)
{
    return QProcess::execute(ChildProcess::buildPath("examples/zelctl/zelctl"), args);
}

} // namespace

class tst_ZelDemoTray : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void trayIconFollowsTheHub();
    void activateOpensWindowAtAnchorAndEscapeClosesIt();
    void quitFromTrayMenu();

private:
    std::unique_ptr<ChildProcess> startDemo();
    QString waitForTrayIcon();

    std::unique_ptr<X11Session> m_x;
};

void tst_ZelDemoTray::initTestCase()
{
    for (const char *tool : {"Xvfb", "trayer", "xdotool"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
    m_x = std::make_unique<X11Session>();
    QVERIFY(m_x->start());
}

std::unique_ptr<ChildProcess> tst_ZelDemoTray::startDemo()
{
    auto demo = std::make_unique<ChildProcess>(
        "examples/ZelDemo/ZelDemo",
        QStringList{"--id", "tray", "--name", "Tray Demo", "--title", "Inbox"});
    demo->setEnvironment(m_x->clientEnvironment());
    if (!demo->start() || demo->waitForLine("ready ").isEmpty())
        return nullptr;
    return demo;
}

QString tst_ZelDemoTray::waitForTrayIcon()
{
    // The demo's only visible window is its icon, once the tray host has embedded it.
    QString icon;
    QDeadlineTimer deadline(20000);
    while (icon.isEmpty() && !deadline.hasExpired()) {
        const QStringList windows = m_x->visibleWindows("ZelDemo");
        if (!windows.isEmpty())
            icon = windows.first();
        else
            QTest::qWait(50);
    }
    return icon;
}

void tst_ZelDemoTray::trayIconFollowsTheHub()
{
    auto demo = startDemo();
    QVERIFY(demo);
    const QString icon = waitForTrayIcon();
    QVERIFY(!icon.isEmpty());
    const auto g = m_x->geometry(icon);
    QVERIFY(g);
    // In trayer's panel at the top right of the 1024 × 768 screen.
    QVERIFY2(g->y < 24 && g->x > 512, qPrintable(QStringLiteral("%1,%2").arg(g->x).arg(g->y)));

    QCOMPARE(zelctl({"hide", "tray"}), 0);
    QVERIFY(demo->waitForLine("hideIcon").size());
    QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").isEmpty(), 10000);
    QCOMPARE(zelctl({"show"}), 0);
    QVERIFY(demo->waitForLine("showIcon").size());
    QVERIFY(!waitForTrayIcon().isEmpty());
}

void tst_ZelDemoTray::activateOpensWindowAtAnchorAndEscapeClosesIt()
{
    auto demo = startDemo();
    QVERIFY(demo);
    // The protocol's anchor grows upward from the bottom of the 768 point high screen.
    QCOMPARE(zelctl({"activate", "tray", "--anchor", "600,700"}), 0);
    QCOMPARE(demo->waitForLine("activate "), u"activate anchor=600.0,700.0"_qs);
    QVERIFY(!demo->waitForLine("window ").isEmpty());

    QStringList windows;
    QTRY_VERIFY_WITH_TIMEOUT(!(windows = m_x->visibleNamed("Tray Demo")).isEmpty(), 10000);
    std::optional<Geometry> g;
    // No window manager: the window lands exactly where the demo put it.
    QTRY_VERIFY_WITH_TIMEOUT((g = m_x->geometry(windows.first())) && g->y == 768 - 700, 10000);
    QVERIFY2(qAbs(g->x + g->width / 2 - 600) <= 1, qPrintable(QString::number(g->x)));

    // Keyboard: Escape closes it, the demo keeps running.
    m_x->xdotool({"windowfocus", "--sync", windows.first()});
    m_x->xdotool({"key", "--window", windows.first(), "Escape"});
    QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleNamed("Tray Demo").isEmpty(), 10000);
    QCOMPARE(demo->process().state(), QProcess::Running);
}

void tst_ZelDemoTray::quitFromTrayMenu()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    auto demo = startDemo();
    QVERIFY(demo);
    const QString icon = waitForTrayIcon();
    QVERIFY(!icon.isEmpty());

    // Right click opens the tray menu; its last item is "Quit".
    m_x->xdotool({"mousemove", "--window", icon, "8", "8", "click", "3"});
    QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").size() > 1, 10000);
    m_x->xdotool({"key", "Up", "Return"});

    QVERIFY(demo->finish(20000));
    QCOMPARE(demo->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo->process().exitCode(), 0);
    QCOMPARE(demo->lines().last(), u"stopped"_qs);
    bool unregistered = false;
    QDeadlineTimer deadline(10000);
    while (!unregistered && !deadline.hasExpired())
        for (const auto &s : monitor.waitFor(2, 200))
            unregistered |=
                s.member == u"unregister" && s.entries.value("appID") == u"string \"tray\""_qs;
    QVERIFY(unregistered);
}

QTEST_MAIN(tst_ZelDemoTray)
#include "tst_zeldemotray.moc"
