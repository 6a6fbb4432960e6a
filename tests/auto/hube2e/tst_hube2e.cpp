// The hub and its siblings as a person sees them: ZelHub and ZelDemo as real processes on
// an X server (Xvfb) with a real XEmbed tray host (trayer), driven with xdotool. No
// StatusNotifierWatcher runs on the test's bus, so both take the system tray. Skipped
// where those programs are missing.
#include "BusMonitor.h"
#include "ChildProcess.h"
#include "X11Session.h"

#include <ZelKit/ZelHubProtocol.h>

#include <QSettings>
#include <QTest>

#include <memory>
#include <vector>

namespace {

using Geometry = X11Session::Geometry;

// Named so that the hub's order (by name) is the order of this list.
const QStringList demoNames = {"Amber Notes", "Birch Timer", "Cedar Clock"};

// The bottom centre of the icon in the protocol's convention (origin bottom left, y up).
QString expectedAnchor(const Geometry &icon)
{
    return ZelHubProtocol::coordinateText(icon.x + icon.width / 2.0) + u',' +
           ZelHubProtocol::coordinateText(X11Session::screenHeight - double(icon.y + icon.height));
}

QString describe(const Geometry &g)
{
    return QStringLiteral("%1x%2+%3+%4").arg(g.width).arg(g.height).arg(g.x).arg(g.y);
}

} // namespace

class tst_HubE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void choosingASiblingOpensItsWindowAtTheTrayIcon();
    void menuHidesTheIconsAcrossRestartsAndQuitShowsThem();
    void siblingQuitsFromItsTrayMenu();
    void secondHubRefusesToRun();
    void runsWithoutATrayHost();

private:
    std::unique_ptr<ChildProcess> startHub(const X11Session &x);
    bool startDemos(int n);
    // A tray icon of the class where it stays, once the tray has laid its icons out.
    QString waitForTrayIcon(const QString &className, Geometry *geometry);
    // The class's visible windows a person acts on (popup, menu): not `icon`, not a tool tip.
    QStringList openWindows(const QString &className, const QString &icon);
    // The hub's popup is titled "ZelHub"; a menu has no title of its own.
    QString waitForOpen(const QString &className, const QString &icon, bool popup,
                        Geometry *geometry = nullptr);
    bool waitUntilClosed(const QString &icon);
    bool waitForRegistrations(int n);
    void click(const Geometry &g, int button);
    // Without a window manager a popup's grab takes the keyboard; `window` gets the focus.
    void keys(const QStringList &names, const QString &window = {});
    // The last item of a menu, with the mouse: no keyboard grab to wait for.
    void clickLastItem(const QString &menu);
    QString preferenceFile() const;
    bool iconsHiddenStored() const;

    std::unique_ptr<X11Session> m_x;
    std::unique_ptr<ChildProcess> m_hub;
    std::vector<std::unique_ptr<ChildProcess>> m_demos;
};

void tst_HubE2E::initTestCase()
{
    if (const QStringList missing = X11Session::missingTools(); !missing.isEmpty())
        QSKIP(qPrintable(missing.join(u", ") + u" not installed"_qs));
    m_x = std::make_unique<X11Session>();
    QVERIFY(m_x->start());
}

void tst_HubE2E::init()
{
    // Every case starts with the icons shown, whatever an earlier one chose.
    QFile::remove(preferenceFile());
}

void tst_HubE2E::cleanup()
{
    // What the hub saw of the clicks tells why a gesture did not do what it should.
    if (QTest::currentTestFailed() && m_hub)
        for (const QString &line : m_hub->errLines())
            qInfo("hub: %s", qPrintable(line));
    // The siblings go first, so that a hub which quits has no one left to show.
    m_demos.clear();
    m_hub.reset();
    if (m_x)
        QVERIFY(X11Session::waitFor(
            [&] {
                return m_x->visibleWindows("ZelDemo").isEmpty() &&
                       m_x->visibleWindows("ZelHub").isEmpty();
            },
            10000));
}

QString tst_HubE2E::preferenceFile() const
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + u"/com.brannel.ZelHub.ini"_qs;
}

bool tst_HubE2E::iconsHiddenStored() const
{
    return QSettings(preferenceFile(), QSettings::IniFormat).value("ZelHub.iconsHidden").toBool();
}

std::unique_ptr<ChildProcess> tst_HubE2E::startHub(const X11Session &x)
{
    auto hub = std::make_unique<ChildProcess>("hub/ZelHub", QStringList{});
    QProcessEnvironment env = x.clientEnvironment();
    env.insert("QT_LOGGING_RULES", "zelhub.ui.debug=true");
    hub->setEnvironment(env);
    if (!hub->start() || hub->waitForErrLine("[ZelHub] server started", 20000).isEmpty())
        return nullptr;
    return hub;
}

bool tst_HubE2E::startDemos(int n)
{
    for (int i = 0; i < n; ++i) {
        const QString name = demoNames.at(i);
        auto demo = std::make_unique<ChildProcess>(
            "examples/ZelDemo/ZelDemo",
            QStringList{"--id", name.section(u' ', 0, 0).toLower(), "--name", name});
        demo->setEnvironment(m_x->clientEnvironment());
        if (!demo->start() || demo->waitForLine("ready ", 20000).isEmpty())
            return false;
        m_demos.push_back(std::move(demo));
    }
    // Once the tray has taken their icons, so that the hub's icon is where it stays.
    return X11Session::waitFor([&] { return m_x->visibleWindows("ZelDemo").size() == n; }, 20000);
}

QString tst_HubE2E::waitForTrayIcon(const QString &className, Geometry *geometry)
{
    // The tray lays its icons out after it embeds one: the same place twice in a row is
    // where the icon stays.
    QString last, found;
    Geometry lastGeometry, g;
    X11Session::waitFor(
        [&] {
            lastGeometry = g;
            last = std::exchange(found, QString());
            for (const QString &window : m_x->visibleWindows(className)) {
                const auto at = m_x->geometry(window);
                if (at && at->y + at->height <= X11Session::panelHeight && at->width > 0) {
                    found = window;
                    g = *at;
                    break;
                }
            }
            return !found.isEmpty() && found == last && describe(g) == describe(lastGeometry);
        },
        20000);
    *geometry = g;
    return found == last ? found : QString();
}

QStringList tst_HubE2E::openWindows(const QString &className, const QString &icon)
{
    QStringList open;
    for (const QString &window : m_x->visibleWindows(className))
        if (window != icon && !m_x->windowTypes(window).contains("_NET_WM_WINDOW_TYPE_TOOLTIP"))
            open << window;
    return open;
}

QString tst_HubE2E::waitForOpen(const QString &className, const QString &icon, bool popup,
                                Geometry *geometry)
{
    QString found;
    X11Session::waitFor(
        [&] {
            for (const QString &window : openWindows(className, icon)) {
                const auto g = m_x->geometry(window);
                if (g && m_x->visibleNamed("ZelHub").contains(window) == popup) {
                    if (geometry)
                        *geometry = *g;
                    found = window;
                }
            }
            return !found.isEmpty();
        },
        10000);
    return found;
}

bool tst_HubE2E::waitUntilClosed(const QString &icon)
{
    return X11Session::waitFor([&] { return openWindows("ZelHub", icon).isEmpty(); }, 10000);
}

bool tst_HubE2E::waitForRegistrations(int n)
{
    const QString count = QStringLiteral(" %1 app(s) now").arg(n);
    QString line;
    do
        line = m_hub->waitForErrLine("[ZelHub] registered ", 20000);
    while (!line.isEmpty() && !line.endsWith(count));
    return !line.isEmpty();
}

void tst_HubE2E::click(const Geometry &g, int button)
{
    // No --sync: xdotool waits for ever for a move to where the pointer already is.
    m_x->xdotool({"mousemove", QString::number(g.x + g.width / 2),
                  QString::number(g.y + g.height / 2), "click", QString::number(button)});
}

void tst_HubE2E::keys(const QStringList &names, const QString &window)
{
    if (!window.isEmpty())
        m_x->xdotool({"windowfocus", "--sync", window});
    m_x->xdotool(QStringList{"key", "--delay", "50"} + names);
}

void tst_HubE2E::clickLastItem(const QString &menu)
{
    const auto g = m_x->geometry(menu);
    if (g)
        click({g->x, g->y + g->height - 16, g->width, 8}, 1);
}

void tst_HubE2E::choosingASiblingOpensItsWindowAtTheTrayIcon()
{
    QVERIFY(startDemos(3));
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    QVERIFY(waitForRegistrations(3));
    Geometry icon;
    const QString iconWindow = waitForTrayIcon("ZelHub", &icon);
    QVERIFY(!iconWindow.isEmpty());

    // The grid's layout: frame 1, margin 12, icons of 18 with gaps of 12 (Xvfb's ratio is 1).
    click(icon, 1);
    Geometry popup;
    QVERIFY(!waitForOpen("ZelHub", iconWindow, true, &popup).isEmpty());
    QVERIFY2(popup.y >= icon.y + icon.height, qPrintable(describe(popup)));
    click({popup.x + 1 + 12 + 2 * 30, popup.y + 1 + 12, 18, 18}, 1);
    QCOMPARE(m_demos.at(2)->waitForLine("activate "),
             u"activate anchor="_qs + expectedAnchor(icon));
    QVERIFY(waitUntilClosed(iconWindow));
    for (int other : {0, 1})
        QVERIFY(!m_demos.at(other)->lines().join(u'\n').contains("activate "));

    // The sibling's window hangs from the icon's bottom edge, kept on screen.
    QStringList windows;
    std::optional<Geometry> g;
    QVERIFY(X11Session::waitFor(
        [&] {
            windows = m_x->visibleNamed(demoNames.at(2));
            g = windows.isEmpty() ? std::nullopt : m_x->geometry(windows.first());
            return g && g->y == icon.y + icon.height;
        },
        10000));
    const int iconCentre = icon.x + icon.width / 2;
    QVERIFY2(g->x <= iconCentre && iconCentre <= g->x + g->width, qPrintable(describe(*g)));
    // Escape closes it, the sibling keeps running.
    keys({"Escape"}, windows.first());
    QVERIFY(
        X11Session::waitFor([&] { return m_x->visibleNamed(demoNames.at(2)).isEmpty(); }, 10000));
    QCOMPARE(m_demos.at(2)->process().state(), QProcess::Running);

    // The press on the icon closes the popup; the release of that click must not open it
    // again, and the next gesture is the person's own.
    click(icon, 1);
    QVERIFY(!waitForOpen("ZelHub", iconWindow, true).isEmpty());
    // A second click, not the second half of a double click (Qt's 400 ms).
    QTest::qWait(500);
    click(icon, 1);
    QVERIFY(waitUntilClosed(iconWindow));
    click(icon, 3);
    const QString menu = waitForOpen("ZelHub", iconWindow, false);
    QVERIFY(!menu.isEmpty());
    QCOMPARE(openWindows("ZelHub", iconWindow), QStringList{menu});
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
    click(icon, 1);
    const QString popupWindow = waitForOpen("ZelHub", iconWindow, true);
    QVERIFY(!popupWindow.isEmpty());
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
}

void tst_HubE2E::menuHidesTheIconsAcrossRestartsAndQuitShowsThem()
{
    QVERIFY(startDemos(3));
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    QVERIFY(waitForRegistrations(3));
    Geometry icon;
    QString iconWindow = waitForTrayIcon("ZelHub", &icon);
    QVERIFY(!iconWindow.isEmpty());

    // The first item that can be chosen is "Hide Zel Icons".
    click(icon, 3);
    QString menu = waitForOpen("ZelHub", iconWindow, false);
    QVERIFY(!menu.isEmpty());
    keys({"Down", "Return"});
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("hideIcon"), u"hideIcon hubAnchor="_qs + expectedAnchor(icon));
    QVERIFY(X11Session::waitFor([&] { return m_x->visibleWindows("ZelDemo").isEmpty(); }, 10000));
    QVERIFY(iconsHiddenStored());

    // A hub that ends shows the icons; the next one hides them again once they register.
    m_hub->process().terminate();
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitCode(), 0);
    QVERIFY(X11Session::waitFor([&] { return m_x->visibleWindows("ZelDemo").size() == 3; }, 20000));
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    for (const auto &demo : m_demos)
        QVERIFY(demo->waitForLine("hideIcon", 20000).startsWith(u"hideIcon hubAnchor="_qs));
    QVERIFY(X11Session::waitFor([&] { return m_x->visibleWindows("ZelDemo").isEmpty(); }, 10000));

    // "Quit ZelHub" is the last item; the choice stays stored for the next launch.
    iconWindow = waitForTrayIcon("ZelHub", &icon);
    QVERIFY(!iconWindow.isEmpty());
    click(icon, 3);
    menu = waitForOpen("ZelHub", iconWindow, false);
    QVERIFY(!menu.isEmpty());
    clickLastItem(menu);
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitCode(), 0);
    QVERIFY(X11Session::waitFor([&] { return m_x->visibleWindows("ZelDemo").size() == 3; }, 20000));
    QVERIFY(iconsHiddenStored());
}

void tst_HubE2E::siblingQuitsFromItsTrayMenu()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    QVERIFY(startDemos(1));
    Geometry icon;
    const QString iconWindow = waitForTrayIcon("ZelDemo", &icon);
    QVERIFY(!iconWindow.isEmpty());
    // Its menu's last item is "Quit Amber Notes".
    click(icon, 3);
    clickLastItem(waitForOpen("ZelDemo", iconWindow, false));
    ChildProcess &demo = *m_demos.front();
    QVERIFY(demo.finish(20000));
    QCOMPARE(demo.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.process().exitCode(), 0);
    QCOMPARE(demo.lines().last(), u"stopped"_qs);
    QVERIFY(X11Session::waitFor(
        [&] {
            for (const auto &s : monitor.signalsSeen())
                if (s.member == u"unregister" && s.entries.value("appID") == u"string \"amber\"")
                    return true;
            return false;
        },
        10000));
}

void tst_HubE2E::secondHubRefusesToRun()
{
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    ChildProcess second("hub/ZelHub", {});
    second.setEnvironment(m_x->clientEnvironment());
    QVERIFY(second.start());
    QVERIFY(second.finish(20000));
    QCOMPARE(second.waitForErrLine("ZelHub", 0), u"ZelHub is already running."_qs);
    QCOMPARE(second.process().exitCode(), 1);
    QCOMPARE(m_hub->process().state(), QProcess::Running);
}

void tst_HubE2E::runsWithoutATrayHost()
{
    X11Session bare;
    QVERIFY(bare.start(false));
    m_hub = startHub(bare);
    QVERIFY(m_hub);
    QCOMPARE(
        m_hub->waitForErrLine("ZelHub: no system tray", 20000),
        u"ZelHub: no system tray is available yet; the hub's icon appears when one starts."_qs);
    QCOMPARE(m_hub->process().state(), QProcess::Running);
    // Said once: nothing more of it until the hub ends.
    m_hub->process().terminate();
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitCode(), 0);
    QCOMPARE(m_hub->waitForErrLine("ZelHub: no system tray", 0), QString());
    m_hub.reset();
}

QTEST_MAIN(tst_HubE2E)
#include "tst_hube2e.moc"
