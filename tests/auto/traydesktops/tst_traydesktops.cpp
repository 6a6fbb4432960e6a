// The hub as people meet it on real desktop panels (XEmbed: tint2; StatusNotifierItem:
// Xfce's and LXQt's), under Xvfb with openbox, with two ZelDemo siblings: the glyph seen
// on the panel, the popup, the anchor a sibling gets, and the hub's menu as the host draws
// it, read back with tesseract. Screenshots stay in the build folder.
#include "ChildProcess.h"
#include "X11Session.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using Geometry = X11Session::Geometry;

double luminance(QRgb c)
{
    const auto linear = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool overlaps(int a, int aLength, int b, int bLength)
{
    return a < b + bLength && b < a + aLength;
}

QString describe(const Geometry &g)
{
    return QStringLiteral("%1x%2+%3+%4").arg(g.width).arg(g.height).arg(g.x).arg(g.y);
}

// The glyph on a panel: the rightmost run of columns in the panel strip holding pixels of
// its colour, about square and of an icon's size (words are wider, single digits smaller).
std::optional<Geometry> findGlyph(const QImage &shot, const Geometry &strip, QRgb color)
{
    std::optional<Geometry> found;
    int start = -1, last = -2, top = 0, bottom = 0;
    const auto close = [&] {
        const int w = last - start + 1, h = bottom - top + 1;
        if (start >= 0 && w >= 11 && w <= 26 && h >= 11 && h <= 26 && std::abs(w - h) <= 3)
            found = Geometry{start, top, w, h};
    };
    for (int x = strip.x; x < strip.x + strip.width; ++x) {
        int colTop = -1, colBottom = -1;
        for (int y = strip.y; y < strip.y + strip.height; ++y)
            if ((shot.pixel(x, y) & 0xffffff) == (color & 0xffffff)) {
                colTop = colTop < 0 ? y : colTop;
                colBottom = y;
            }
        if (colTop < 0)
            continue;
        if (x - last > 3) {
            close();
            start = x, top = colTop, bottom = colBottom;
        }
        top = std::min(top, colTop), bottom = std::max(bottom, colBottom), last = x;
    }
    close();
    return found;
}

QRgb commonest(const QImage &shot, const Geometry &g)
{
    QHash<QRgb, int> counts;
    for (int y = g.y; y < g.y + g.height; ++y)
        for (int x = g.x; x < g.x + g.width; ++x)
            ++counts[shot.pixel(x, y)];
    return std::max_element(counts.cbegin(), counts.cend()).key();
}

} // namespace

class tst_TrayDesktops : public QObject
{
    Q_OBJECT
private slots:
    void hubOnARealPanel_data();
    void hubOnARealPanel();
    void cleanup();

private:
    QString screenshot(const QString &name);
    void click(int x, int y, int button);
    std::optional<Geometry> waitForPopup();
    // Reads the screen until the words of the hub's menu are there; the box of `verb`.
    std::optional<Geometry> waitForMenu(const QString &shotName, const QString &verb = "Hide");
    // The glyph where it stays once the tray has laid its icons out again.
    bool waitForStillGlyph(Geometry &icon, const std::function<Geometry()> &area, QRgb glyph);
    QString hubItemService() const;
    QString menuCall(const QStringList &args) const;

    std::unique_ptr<X11Session> m_x;
    std::unique_ptr<ChildProcess> m_hub;
    std::vector<std::unique_ptr<ChildProcess>> m_demos;
    QString m_row;
};

void tst_TrayDesktops::cleanup()
{
    if (QTest::currentTestFailed() && m_hub)
        for (const QString &line : m_hub->errLines())
            qInfo("hub: %s", qPrintable(line));
    m_demos.clear();
    m_hub.reset();
    m_x.reset();
}

QString tst_TrayDesktops::screenshot(const QString &name)
{
    const QString path = QDir(QCoreApplication::applicationDirPath())
                             .filePath(QStringLiteral("traydesktops-%1-%2.png").arg(m_row, name));
    if (!m_x->screenshot(path))
        return {};
    qInfo("screenshot: %s", qPrintable(path));
    return path;
}

void tst_TrayDesktops::click(int x, int y, int button)
{
    m_x->xdotool(
        {"mousemove", QString::number(x), QString::number(y), "click", QString::number(button)});
}

std::optional<Geometry> tst_TrayDesktops::waitForPopup()
{
    std::optional<Geometry> popup;
    X11Session::waitFor(
        [&] {
            const QStringList windows = m_x->visibleNamed("ZelHub");
            popup = windows.isEmpty() ? std::nullopt : m_x->geometry(windows.last());
            return popup && popup->width > 20;
        },
        10000);
    return popup;
}

std::optional<Geometry> tst_TrayDesktops::waitForMenu(const QString &shotName, const QString &verb)
{
    std::optional<Geometry> hide;
    bool negate = true;
    X11Session::waitFor(
        [&] {
            negate = !negate;
            const QList<X11Session::Word> words = m_x->readWords(screenshot(shotName), negate);
            bool quit = false;
            for (qsizetype i = 0; i + 2 < words.size(); ++i) {
                if (words[i].text == verb && words[i + 1].text == u"Zel" &&
                    words[i + 2].text == u"Icons")
                    hide = words[i].box;
                quit |= words[i].text == u"Quit" && words[i + 1].text == u"ZelHub";
            }
            return hide && quit;
        },
        20000);
    return hide;
}

bool tst_TrayDesktops::waitForStillGlyph(Geometry &icon, const std::function<Geometry()> &area,
                                         QRgb glyph)
{
    return X11Session::waitFor(
        [&] {
            const Geometry before = icon;
            const auto found = findGlyph(QImage(screenshot("tray")), area(), glyph);
            if (found)
                icon = *found;
            return found && found->x == before.x && found->y == before.y;
        },
        10000);
}

QString tst_TrayDesktops::hubItemService() const
{
    const QString prefix = QStringLiteral("org.kde.StatusNotifierItem-%1-").arg(m_hub->pid());
    for (const QString &name :
         QDBusConnection::sessionBus().interface()->registeredServiceNames().value())
        if (name.startsWith(prefix))
            return name;
    return {};
}

QString tst_TrayDesktops::menuCall(const QStringList &args) const
{
    QProcess gdbus;
    gdbus.start("gdbus",
                QStringList{"call", "--session", "-d", hubItemService(), "-o", "/MenuBar", "-m"} +
                    args);
    gdbus.waitForFinished(10000);
    return QString::fromUtf8(gdbus.readAllStandardOutput()).trimmed();
}

void tst_TrayDesktops::hubOnARealPanel_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<bool>("xembed");
    QTest::addColumn<bool>("panelLater");
    QTest::newRow("tint2") << "tint2" << true << false;
    QTest::newRow("xfce4-panel") << "xfce4-panel" << false << false;
    // The tray comes after the hub has said there is none.
    QTest::newRow("lxqt-panel") << "lxqt-panel" << false << true;
}

void tst_TrayDesktops::hubOnARealPanel()
{
    QFETCH(QString, panel);
    QFETCH(bool, xembed);
    QFETCH(bool, panelLater);
    m_row = QTest::currentDataTag();
    for (const QString &tool : {u"Xvfb"_qs, u"openbox"_qs, panel, u"xdotool"_qs, u"xprop"_qs,
                                u"import"_qs, u"tesseract"_qs, u"gdbus"_qs})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(tool + u" is not installed"_qs));
    QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + u"/com.brannel.ZelHub.ini"_qs);
    m_x = std::make_unique<X11Session>();
    if (!m_x->start(false))
        QSKIP("Xvfb could not be started");
    QVERIFY2(m_x->startDesktop(panel, !panelLater), qPrintable(m_x->error()));

    m_hub = std::make_unique<ChildProcess>("hub/ZelHub", QStringList{});
    QProcessEnvironment env = m_x->clientEnvironment();
    env.insert("QT_LOGGING_RULES", "zelhub.ui.debug=true");
    m_hub->setEnvironment(env);
    QVERIFY(m_hub->start());
    if (panelLater) {
        QCOMPARE(
            m_hub->waitForErrLine("ZelHub: no system tray", 20000),
            u"ZelHub: no system tray is available yet; the hub's icon appears when one starts."_qs);
        QVERIFY2(m_x->startPanel(), qPrintable(m_x->error()));
        QCOMPARE(m_hub->waitForErrLine("ZelHub: a system tray", 30000),
                 u"ZelHub: a system tray is there now; the hub's icon is in it."_qs);
    }
    const Geometry wa = *m_x->workArea();
    const bool panelAtTop = wa.y > 0;
    const Geometry strip = panelAtTop ? Geometry{0, 0, 1024, wa.y}
                                      : Geometry{0, wa.y + wa.height, 1024, 768 - wa.y - wa.height};
    // On an XEmbed tray the glyph is in the hub's own window: the panel's clock, in the same
    // colour, looks like one at some minutes.
    const auto glyphArea = [&] {
        for (const QString &id : xembed ? m_x->visibleWindows("ZelHub") : QStringList{})
            if (const auto g = m_x->geometry(id); g && g->y >= strip.y && g->height < 40)
                return *g;
        return xembed ? Geometry{} : strip;
    };

    // The glyph on the panel, in the colour the hub chose for it.
    // The hub may take a look at the panel before it settles on a colour.
    Geometry icon;
    QImage shot;
    QRgb glyph = 0;
    double ratio = 0;
    const bool seen = X11Session::waitFor(
        [&] {
            const QStringList colours = m_hub->errLines().filter("glyph colour");
            if (colours.isEmpty())
                return false;
            glyph = QColor(colours.last().section(u'"', 1, 1)).rgb();
            shot = QImage(screenshot("tray"));
            const auto found = findGlyph(shot, glyphArea(), glyph);
            if (!found)
                return false;
            icon = *found;
            const Geometry around{icon.x - 3, icon.y - 3, icon.width + 6, icon.height + 6};
            ratio = contrast(glyph, commonest(shot, around));
            return ratio >= 3.0;
        },
        30000);
    QVERIFY2(ratio > 0, qPrintable(u"no glyph on the panel "_qs + describe(strip)));
    const Geometry around{icon.x - 3, icon.y - 3, icon.width + 6, icon.height + 6};
    qInfo("%s: glyph %s on panel %s, contrast %.2f:1, glyph %s", qPrintable(m_row),
          qPrintable(QColor(glyph).name()), qPrintable(QColor(commonest(shot, around)).name()),
          ratio, qPrintable(describe(icon)));
    QVERIFY2(seen && ratio >= 3.0, qPrintable(QString::number(ratio)));
    QVERIFY2(std::abs(icon.width - icon.height) <= 2, qPrintable(describe(icon)));

    for (const QString &id : {u"amber"_qs, u"birch"_qs}) {
        auto demo = std::make_unique<ChildProcess>("examples/ZelDemo/ZelDemo",
                                                   QStringList{"--id", id, "--name", id.toUpper()});
        demo->setEnvironment(m_x->clientEnvironment());
        QVERIFY(demo->start());
        QVERIFY(!demo->waitForLine("ready ", 20000).isEmpty());
        m_demos.push_back(std::move(demo));
    }
    QString line;
    do
        line = m_hub->waitForErrLine("[ZelHub] registered ", 20000);
    while (!line.isEmpty() && !line.endsWith(u" 2 app(s) now"_qs));
    QVERIFY(!line.isEmpty());
    // Where the siblings' icons joined the tray, the hub's may have moved.
    QVERIFY(waitForStillGlyph(icon, glyphArea, glyph));
    const int clickX = icon.x + icon.width / 2, clickY = icon.y + icon.height / 2;

    // A left click: the popup, beside the panel and over the icon.
    click(clickX, clickY, 1);
    const std::optional<Geometry> popup = waitForPopup();
    QVERIFY(popup);
    screenshot("popup");
    QVERIFY2(popup->y >= wa.y && popup->y + popup->height <= wa.y + wa.height,
             qPrintable(describe(*popup) + u" in "_qs + describe(wa)));
    QVERIFY2(overlaps(popup->x, popup->width, icon.x, icon.width),
             qPrintable(describe(*popup) + u" icon "_qs + describe(icon)));

    // The first sibling in it: its anchor is at the icon.
    click(popup->x + 1 + 12 + 9, popup->y + 1 + 12 + 9, 1);
    const QStringList anchor = m_demos[0]->waitForLine("activate ").section(u'=', 1).split(u',');
    QCOMPARE(anchor.size(), 2);
    // XEmbed: the bottom centre of the icon's window, which holds the glyph.
    const Geometry window = glyphArea();
    QVERIFY(!xembed || window.width > 0);
    const double expectedX = xembed ? window.x + window.width / 2.0 : clickX;
    const double expectedY =
        xembed ? 768 - (window.y + window.height) : 768 - (panelAtTop ? wa.y : wa.y + wa.height);
    qInfo("%s: anchor %s,%s, expected about %.1f,%.1f", qPrintable(m_row), qPrintable(anchor[0]),
          qPrintable(anchor[1]), expectedX, expectedY);
    QVERIFY(std::abs(anchor[0].toDouble() - expectedX) <= (xembed ? 2 : 1));
    QVERIFY(std::abs(anchor[1].toDouble() - expectedY) <= (xembed ? 2 : 1));
    QVERIFY(X11Session::waitFor([&] { return m_x->visibleNamed("ZelHub").isEmpty(); }, 10000));
    for (const QString &window : m_x->visibleNamed(u"AMBER"_qs))
        m_x->xdotool({"windowclose", window});

    // A right click: the hub's menu, drawn by the host from the bus where it reads menus.
    std::unique_ptr<ChildProcess> monitor;
    if (!xembed) {
        monitor = std::make_unique<ChildProcess>(
            "/usr/bin/dbus-monitor",
            QStringList{"--session", "type='method_call',interface='com.canonical.dbusmenu'",
                        "type='signal',interface='com.canonical.dbusmenu'"});
        QVERIFY(monitor->start());
        QVERIFY(!monitor->waitForLine("signal").isEmpty());
        const QString layout =
            menuCall({"com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"});
        for (const QString &item :
             {u"{'enabled': <false>, 'label': <'ZelHub'>"_qs, u"'type': <'separator'>"_qs,
              u"{'enabled': <false>, 'label': <'2 Zel apps'>"_qs,
              u"{'enabled': <true>, 'label': <'Hide Zel Icons'>"_qs,
              u"{'enabled': <true>, 'label': <'Quit ZelHub'>, 'shortcut': <[['Control', 'q']]>"_qs})
            QVERIFY2(layout.contains(item), qPrintable(layout));
    }
    click(clickX, clickY, 3);
    if (monitor)
        QVERIFY(X11Session::waitFor(
            [&] { return monitor->lines().filter("member=GetLayout").size() > 0; }, 10000));
    const std::optional<Geometry> hide = waitForMenu("menu");
    QVERIFY(hide);
    // Beside the panel, never over the icon.
    QVERIFY2(!overlaps(hide->y, hide->height, strip.y, strip.height), qPrintable(describe(*hide)));
    click(hide->x + hide->width / 2, hide->y + hide->height / 2, 1);
    for (const auto &demo : m_demos)
        QVERIFY(demo->waitForLine("hideIcon").startsWith(u"hideIcon hubAnchor="_qs));

    // Hosts that cache the menu hear that its Hide/Show item changed.
    if (monitor)
        QVERIFY(X11Session::waitFor(
            [&] { return !monitor->lines().filter("member=LayoutUpdated").isEmpty(); }, 10000));
    if (xembed) {
        // Ctrl+Q with the menu open quits, showing the siblings' icons again. The
        // siblings' icons have left the tray, so the hub's has moved.
        QVERIFY(waitForStillGlyph(icon, glyphArea, glyph));
        click(icon.x + icon.width / 2, icon.y + icon.height / 2, 3);
        QVERIFY(waitForMenu("menu-again", "Show"));
        m_x->xdotool({"key", "ctrl+q"});
    } else {
        QVERIFY(menuCall({"com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"})
                    .contains(u"'label': <'Show Zel Icons'>"_qs));
        menuCall({"com.canonical.dbusmenu.Event", "--", "4", "clicked", "<0>", "0"});
        for (const auto &demo : m_demos)
            QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
        menuCall({"com.canonical.dbusmenu.Event", "--", "4", "clicked", "<0>", "0"});
        menuCall({"com.canonical.dbusmenu.Event", "--", "6", "clicked", "<0>", "0"});
    }
    for (const auto &demo : m_demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(m_hub->finish(20000));
    QCOMPARE(m_hub->process().exitCode(), 0);
}

QTEST_MAIN(tst_TrayDesktops)
#include "tst_traydesktops.moc"
