// ZelDemo as a person sees it: on an X server (Xvfb) with a real XEmbed tray host
// (trayer), driven with xdotool. Skipped where those programs are missing.
#include "BusMonitor.h"
#include "ChildProcess.h"
#include "X11Session.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

#include <memory>

namespace {

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
    if (const QStringList missing = X11Session::missingTools(); !missing.isEmpty())
        QSKIP(qPrintable(missing.join(u", ") + u" not installed"_qs));
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
    std::optional<X11Session::Geometry> g;
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

    // Right click opens the tray menu; its last item is "Quit". A click that comes while
    // the tray host is still embedding the icon is lost, and so are keys that come before
    // the menu has taken the keyboard: then close the menu and start over.
    const auto menuOpen = [&] { return m_x->visibleWindows("ZelDemo").size() > 1; };
    bool quit = false;
    for (int attempt = 0; attempt < 3 && !quit; ++attempt) {
        if (menuOpen()) {
            m_x->xdotool({"key", "Escape"});
            X11Session::waitFor([&] { return !menuOpen(); }, 4000);
        }
        m_x->xdotool({"mousemove", "--window", icon, "8", "8", "click", "3"});
        if (!X11Session::waitFor(menuOpen, 4000))
            continue;
        m_x->xdotool({"key", "--delay", "50", "Up", "Return"});
        quit = demo->finish(5000);
    }
    QVERIFY(quit);
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
