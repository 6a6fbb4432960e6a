// The hub as a person sees it: ZelHub and a few ZelDemo siblings as real processes on an
// X server (Xvfb) with a real XEmbed tray host (trayer), driven with xdotool. No
// StatusNotifierWatcher runs on the test's bus, so the hub takes the system tray.
// Skipped where those programs are missing.
#include "ChildProcess.h"
#include "X11Session.h"

#include <ZelKit/ZelHubProtocol.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The grid's layout: margin, icon side and spacing, in pixels (Xvfb has a ratio of 1).
constexpr int padding = 12;
constexpr int iconSide = 18;
constexpr int spacing = 12;
// The popup's one-pixel frame.
constexpr int frame = 1;

struct DemoIdentity
{
    QString id;
    QString name;
    QStringList extra;
};

// Named so that the hub's order (by name) is the order of this list.
const QList<DemoIdentity> threeDemos = {
    {"amber", "Amber Notes", {"--symbol", "text-x-generic"}},
    {"birch", "Birch Timer", {"--symbol", "appointment-soon"}},
    {"cedar", "Cedar Clock", {}},
};

QString anchorText(double x, double y)
{
    return ZelHubProtocol::coordinateText(x) + u',' + ZelHubProtocol::coordinateText(y);
}

// The bottom centre of the icon in the protocol's convention (origin bottom left, y up).
QString expectedAnchor(const X11Session::Geometry &icon)
{
    return anchorText(icon.x + icon.width / 2.0,
                      X11Session::screenHeight - double(icon.y + icon.height));
}

int linesStartingWith(ChildProcess &process, const QString &prefix)
{
    const QStringList lines = process.lines();
    return int(std::count_if(lines.cbegin(), lines.cend(),
                             [&](const QString &line) { return line.startsWith(prefix); }));
}

QString describe(const X11Session::Geometry &g)
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

    void glyphAppearsInTheTray();
    void leftClickOpensThePopupWithOneIconPerSibling();
    void clickOnTheTrayIconAgainClosesThePopup();
    void clickOnAnIconActivatesThatSiblingAtTheTrayIcon();
    void keyboardChoosesAnIconAndEscapeCloses();
    void menuHidesTheIconsAcrossRestartsAndQuitShowsThem();
    void secondHubRefusesToRun();
    void runsWithoutATrayHost();

private:
    std::unique_ptr<ChildProcess> startHub(const X11Session &x);
    ChildProcess *startDemo(const DemoIdentity &identity);
    bool startDemos(const QList<DemoIdentity> &identities);
    // The hub's window in the tray: inside the panel at the top of the screen.
    QString waitForHubIcon(X11Session::Geometry *geometry = nullptr);
    // The hub's visible windows a person acts on: the popup and the menu, not the tray
    // icon and not a tool tip.
    QStringList openHubWindows(const QString &icon);
    // The popup is titled "ZelHub"; the menu has no title of its own.
    QString waitForPopup(const QString &icon, X11Session::Geometry *geometry = nullptr);
    QString waitForMenu(const QString &icon, X11Session::Geometry *geometry = nullptr);
    bool waitUntilClosed(const QString &icon);
    // The hub's log says it holds n siblings.
    bool waitForRegistrations(int n);
    void click(const X11Session::Geometry &g, int button);
    void keys(const QStringList &names);
    QString screenshot(const QString &name);
    QString preferenceFile() const;

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
        QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").isEmpty() &&
                                     m_x->visibleWindows("ZelHub").isEmpty(),
                                 10000);
}

QString tst_HubE2E::preferenceFile() const
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + u"/com.brannel.ZelHub.ini"_qs;
}

std::unique_ptr<ChildProcess> tst_HubE2E::startHub(const X11Session &x)
{
    auto hub = std::make_unique<ChildProcess>("hub/ZelHub", QStringList{});
    QProcessEnvironment env = x.clientEnvironment();
    env.insert("QT_LOGGING_RULES", "zelhub.ui.debug=true");
    hub->setEnvironment(env);
    if (!hub->start() || hub->waitForErrLine("[ZelHub] server started").isEmpty())
        return nullptr;
    return hub;
}

ChildProcess *tst_HubE2E::startDemo(const DemoIdentity &identity)
{
    auto demo = std::make_unique<ChildProcess>(
        "examples/ZelDemo/ZelDemo",
        QStringList{"--id", identity.id, "--name", identity.name} + identity.extra);
    demo->setEnvironment(m_x->clientEnvironment());
    if (!demo->start() || demo->waitForLine("ready ").isEmpty())
        return nullptr;
    m_demos.push_back(std::move(demo));
    // Once the tray has taken its icon, so that the hub's icon has moved to where it stays.
    QDeadlineTimer deadline(20000);
    while (m_x->visibleWindows("ZelDemo").size() < qsizetype(m_demos.size())) {
        if (deadline.hasExpired())
            return nullptr;
        QTest::qWait(50);
    }
    return m_demos.back().get();
}

bool tst_HubE2E::startDemos(const QList<DemoIdentity> &identities)
{
    for (const DemoIdentity &identity : identities)
        if (!startDemo(identity))
            return false;
    return true;
}

QString tst_HubE2E::waitForHubIcon(X11Session::Geometry *geometry)
{
    // The tray lays its icons out after it embeds one: the same place twice in a row is
    // where the icon stays.
    QString last;
    std::optional<X11Session::Geometry> lastGeometry;
    QDeadlineTimer deadline(20000);
    do {
        QString found;
        std::optional<X11Session::Geometry> g;
        for (const QString &window : m_x->visibleWindows("ZelHub")) {
            g = m_x->geometry(window);
            if (g && g->y + g->height <= X11Session::panelHeight && g->width > 0) {
                found = window;
                break;
            }
        }
        if (!found.isEmpty() && found == last && lastGeometry && g->x == lastGeometry->x &&
            g->y == lastGeometry->y && g->width == lastGeometry->width &&
            g->height == lastGeometry->height) {
            if (geometry)
                *geometry = *g;
            return found;
        }
        last = found;
        lastGeometry = found.isEmpty() ? std::nullopt : g;
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return {};
}

QStringList tst_HubE2E::openHubWindows(const QString &icon)
{
    QStringList open;
    for (const QString &window : m_x->visibleWindows("ZelHub"))
        if (window != icon && !m_x->windowTypes(window).contains("_NET_WM_WINDOW_TYPE_TOOLTIP"))
            open << window;
    return open;
}

QString tst_HubE2E::waitForPopup(const QString &icon, X11Session::Geometry *geometry)
{
    QDeadlineTimer deadline(10000);
    do {
        for (const QString &window : openHubWindows(icon)) {
            if (!m_x->visibleNamed("ZelHub").contains(window))
                continue;
            if (const auto g = m_x->geometry(window)) {
                if (geometry)
                    *geometry = *g;
                return window;
            }
        }
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return {};
}

QString tst_HubE2E::waitForMenu(const QString &icon, X11Session::Geometry *geometry)
{
    QDeadlineTimer deadline(10000);
    do {
        for (const QString &window : openHubWindows(icon)) {
            if (m_x->visibleNamed("ZelHub").contains(window))
                continue;
            if (const auto g = m_x->geometry(window)) {
                if (geometry)
                    *geometry = *g;
                return window;
            }
        }
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return {};
}

bool tst_HubE2E::waitUntilClosed(const QString &icon)
{
    return X11Session::waitFor([&] { return openHubWindows(icon).isEmpty(); }, 10000);
}

bool tst_HubE2E::waitForRegistrations(int n)
{
    const QString count = QStringLiteral(" %1 app(s) now").arg(n);
    QString line;
    do
        line = m_hub->waitForErrLine("[ZelHub] registered ");
    while (!line.isEmpty() && !line.endsWith(count));
    return !line.isEmpty();
}

void tst_HubE2E::click(const X11Session::Geometry &g, int button)
{
    // No --sync: xdotool waits for ever for a move to where the pointer already is.
    m_x->xdotool({"mousemove", QString::number(g.x + g.width / 2),
                  QString::number(g.y + g.height / 2), "click", QString::number(button)});
}

void tst_HubE2E::keys(const QStringList &names)
{
    // Without a window manager the popup's grab takes the keyboard; xdotool's delay keeps
    // the keys apart.
    m_x->xdotool(QStringList{"key", "--delay", "50"} + names);
}

QString tst_HubE2E::screenshot(const QString &name)
{
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    if (!m_x->screenshot(path))
        return {};
    qInfo("screenshot: %s", qPrintable(path));
    return path;
}

void tst_HubE2E::glyphAppearsInTheTray()
{
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    X11Session::Geometry icon;
    QVERIFY(!waitForHubIcon(&icon).isEmpty());
    // In trayer's 24 pixel panel at the top right, at about the panel's height.
    QVERIFY2(icon.x > X11Session::screenWidth / 2, qPrintable(describe(icon)));
    QVERIFY2(icon.width >= 16 && icon.width <= 24 && icon.height >= 16 && icon.height <= 24,
             qPrintable(describe(icon)));
    QVERIFY(!screenshot("hube2e-tray.png").isEmpty());
}

void tst_HubE2E::leftClickOpensThePopupWithOneIconPerSibling()
{
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    X11Session::Geometry icon;
    const QString iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());

    // Each sibling's popup width: the grid grows by one icon and one gap per sibling.
    int lastWidth = 0;
    for (int n = 1; n <= threeDemos.size(); ++n) {
        QVERIFY(startDemo(threeDemos.at(n - 1)));
        QVERIFY(!m_hub->waitForErrLine(u"[ZelHub] registered "_qs + threeDemos.at(n - 1).name)
                     .isEmpty());
        // The sibling's own icon joined the tray and moved the hub's.
        QVERIFY(waitForHubIcon(&icon) == iconWindow);

        click(icon, 1);
        X11Session::Geometry popup;
        const QString popupWindow = waitForPopup(iconWindow, &popup);
        if (popupWindow.isEmpty())
            screenshot("hube2e-failed.png");
        QVERIFY2(!popupWindow.isEmpty(),
                 qPrintable(QStringLiteral("%1 siblings, icon at %2").arg(n).arg(describe(icon))));
        QCOMPARE(popup.width, 2 * (frame + padding) + n * iconSide + (n - 1) * spacing);
        QCOMPARE(popup.height, 2 * (frame + padding) + iconSide);
        QVERIFY(popup.width > lastWidth);
        lastWidth = popup.width;
        // Below the icon in the top panel, and on screen.
        QVERIFY2(popup.y >= icon.y + icon.height, qPrintable(describe(popup)));
        QVERIFY2(popup.x >= 0 && popup.x + popup.width <= X11Session::screenWidth,
                 qPrintable(describe(popup)));
        if (n == int(threeDemos.size()))
            QVERIFY(!screenshot("hube2e-popup.png").isEmpty());

        // A click elsewhere closes it, as Escape does. (For a moment after a click outside
        // the hub takes a click on its icon for that same click, so Escape until the last.)
        if (n < int(threeDemos.size()))
            keys({"Escape"});
        else
            m_x->xdotool({"mousemove", "200", "400", "click", "1"});
        QVERIFY(waitUntilClosed(iconWindow));
    }
}

void tst_HubE2E::clickOnTheTrayIconAgainClosesThePopup()
{
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    QVERIFY(startDemos(threeDemos.mid(0, 1)));
    X11Session::Geometry icon;
    const QString iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());

    click(icon, 1);
    QVERIFY(!waitForPopup(iconWindow).isEmpty());
    // A second click, not the second half of a double click (Qt's 400 ms): its press
    // closes the popup, and its release must not open it again.
    QTest::qWait(500);
    click(icon, 1);
    QVERIFY(waitUntilClosed(iconWindow));
    // A later gesture shows the hub has handled that click to its end: the menu comes up
    // and the popup is still closed.
    click(icon, 3);
    X11Session::Geometry menu;
    QVERIFY(!waitForMenu(iconWindow, &menu).isEmpty());
    QCOMPARE(openHubWindows(iconWindow).size(), 1);
    QVERIFY(m_x->visibleNamed("ZelHub").isEmpty());
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));

    // And the next click opens it again.
    click(icon, 1);
    X11Session::Geometry popup;
    QVERIFY(!waitForPopup(iconWindow, &popup).isEmpty());
    QCOMPARE(popup.height, 2 * (frame + padding) + iconSide);
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
}

void tst_HubE2E::clickOnAnIconActivatesThatSiblingAtTheTrayIcon()
{
    QVERIFY(startDemos(threeDemos));
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    QVERIFY(waitForRegistrations(3));
    X11Session::Geometry icon;
    const QString iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());

    for (int k = 0; k < int(m_demos.size()); ++k) {
        click(icon, 1);
        X11Session::Geometry popup;
        QVERIFY(!waitForPopup(iconWindow, &popup).isEmpty());
        QCOMPARE(popup.width, 2 * (frame + padding) + 3 * iconSide + 2 * spacing);
        const X11Session::Geometry target{popup.x + frame + padding + k * (iconSide + spacing),
                                          popup.y + frame + padding, iconSide, iconSide};
        click(target, 1);
        QCOMPARE(m_demos.at(k)->waitForLine("activate "),
                 u"activate anchor="_qs + expectedAnchor(icon));
        QVERIFY(waitUntilClosed(iconWindow));
        for (int other = 0; other < int(m_demos.size()); ++other)
            QCOMPARE(linesStartingWith(*m_demos.at(other), "activate "), other <= k ? 1 : 0);
        // The sibling's window opens at the tray icon, under the panel.
        QVERIFY(!m_demos.at(k)->waitForLine("window ").isEmpty());
    }
}

void tst_HubE2E::keyboardChoosesAnIconAndEscapeCloses()
{
    QVERIFY(startDemos(threeDemos));
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    X11Session::Geometry icon;
    const QString iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());
    QVERIFY(waitForRegistrations(3));

    click(icon, 1);
    QVERIFY(!waitForPopup(iconWindow).isEmpty());
    keys({"Right", "Return"});
    QCOMPARE(m_demos.at(1)->waitForLine("activate "),
             u"activate anchor="_qs + expectedAnchor(icon));
    QVERIFY(waitUntilClosed(iconWindow));
    QCOMPARE(linesStartingWith(*m_demos.at(0), "activate "), 0);
    QCOMPARE(linesStartingWith(*m_demos.at(2), "activate "), 0);

    click(icon, 1);
    QVERIFY(!waitForPopup(iconWindow).isEmpty());
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
    QCOMPARE(m_hub->process().state(), QProcess::Running);

    // A click right after Escape opens it again, although it may come quickly enough to
    // make a double click with the one that opened it.
    click(icon, 1);
    QVERIFY(!waitForPopup(iconWindow).isEmpty());
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
    click(icon, 1);
    QVERIFY(!waitForPopup(iconWindow).isEmpty());
    keys({"Escape"});
    QVERIFY(waitUntilClosed(iconWindow));
}

void tst_HubE2E::menuHidesTheIconsAcrossRestartsAndQuitShowsThem()
{
    QVERIFY(startDemos(threeDemos));
    QTRY_COMPARE_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").size(), 3, 20000);
    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    X11Session::Geometry icon;
    QString iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());
    QVERIFY(waitForRegistrations(3));

    click(icon, 3);
    X11Session::Geometry menu;
    QVERIFY(!waitForMenu(iconWindow, &menu).isEmpty());
    // Under the icon and on screen.
    QVERIFY2(menu.y >= icon.y + icon.height, qPrintable(describe(menu)));
    QVERIFY2(menu.x >= 0 && menu.x + menu.width <= X11Session::screenWidth,
             qPrintable(describe(menu)));
    QVERIFY(!screenshot("hube2e-menu.png").isEmpty());
    // The first item that can be chosen is "Hide Zel Icons".
    keys({"Down", "Return"});
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("hideIcon"), u"hideIcon hubAnchor="_qs + expectedAnchor(icon));
    QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").isEmpty(), 10000);
    QVERIFY(waitUntilClosed(iconWindow));
    {
        QSettings stored(preferenceFile(), QSettings::IniFormat);
        QCOMPARE(stored.value("ZelHub.iconsHidden").toString(), u"true"_qs);
    }

    // A hub that ends shows the icons; the next one hides them again once they register.
    m_hub->process().terminate();
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_hub->process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").size(), 3, 20000);

    m_hub = startHub(*m_x);
    QVERIFY(m_hub);
    for (const auto &demo : m_demos)
        QVERIFY(demo->waitForLine("hideIcon").startsWith(u"hideIcon hubAnchor="_qs));
    QTRY_VERIFY_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").isEmpty(), 10000);

    // "Quit ZelHub" is the last item.
    iconWindow = waitForHubIcon(&icon);
    QVERIFY(!iconWindow.isEmpty());
    click(icon, 3);
    QVERIFY(!waitForMenu(iconWindow).isEmpty());
    keys({"Up", "Return"});
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_hub->process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_x->visibleWindows("ZelDemo").size(), 3, 20000);
    // Quitting leaves the choice stored for the next launch.
    QSettings stored(preferenceFile(), QSettings::IniFormat);
    QCOMPARE(stored.value("ZelHub.iconsHidden").toString(), u"true"_qs);
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
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 1);
    QCOMPARE(m_hub->process().state(), QProcess::Running);
}

void tst_HubE2E::runsWithoutATrayHost()
{
    X11Session bare;
    QVERIFY(bare.start(false));
    m_hub = startHub(bare);
    QVERIFY(m_hub);
    QElapsedTimer clock;
    clock.start();
    const QString line =
        u"ZelHub: no system tray is available yet; the hub's icon appears when one starts."_qs;
    QCOMPARE(m_hub->waitForErrLine("ZelHub: no system tray", 20000), line);
    qInfo("the missing tray was reported after %lld ms", qlonglong(clock.elapsed()));
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
