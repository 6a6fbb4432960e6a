// The hub as people meet it on real desktop panels (XEmbed: tint2; StatusNotifierItem:
// Xfce's and LXQt's), under Xvfb with openbox, with two ZelDemo siblings: the glyph seen
// on the panel, the popup, the anchor a sibling gets, and the hub's menu as the host draws
// it, read back with tesseract. Screenshots stay in the build folder.
#include "ChildProcess.h"
#include "TestImages.h"
#include "X11Session.h"

#include <QImage>
#include <QLineF>
#include <QStandardPaths>
#include <QTest>

#include <cmath>
#include <memory>
#include <vector>

namespace {

// The glyph on a panel: the rightmost run of columns in the area holding pixels of its
// colour, about square and of an icon's size (words are wider, single digits smaller).
QRect findGlyph(const QImage &shot, const QRect &area, QRgb color)
{
    QRect found, run;
    const auto close = [&] {
        if (std::min(run.width(), run.height()) >= 11 &&
            std::max(run.width(), run.height()) <= 26 && std::abs(run.width() - run.height()) <= 3)
            found = run;
    };
    for (int x = area.left(); x <= area.right(); ++x) {
        QRect column;
        for (int y = area.top(); y <= area.bottom(); ++y)
            if ((shot.pixel(x, y) & 0xffffff) == (color & 0xffffff))
                column |= QRect(x, y, 1, 1);
        if (!column.isNull() && !run.isNull() && x - run.right() > 3) {
            close();
            run = {};
        }
        run |= column;
    }
    close();
    return found;
}

QRgb commonest(const QImage &shot, const QRect &area)
{
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[shot.pixel(x, y)];
    return std::max_element(counts.cbegin(), counts.cend()).key();
}

} // namespace

class tst_TrayDesktops : public QObject
{
    Q_OBJECT
private slots:
    void hubOnARealPanel_data()
    {
        QTest::addColumn<bool>("xembed");
        QTest::addColumn<bool>("panelLater");
        QTest::newRow("tint2") << true << false;
        QTest::newRow("xfce4-panel") << false << false;
        // The tray comes after the hub has said there is none.
        QTest::newRow("lxqt-panel") << false << true;
    }
    void hubOnARealPanel();
};

void tst_TrayDesktops::hubOnARealPanel()
{
    QFETCH(bool, xembed);
    QFETCH(bool, panelLater);
    const QString row = QTest::currentDataTag();
    for (const QString &tool : {row, u"Xvfb"_qs, u"openbox"_qs, u"xdotool"_qs, u"xprop"_qs,
                                u"import"_qs, u"tesseract"_qs, u"gdbus"_qs, u"dbus-monitor"_qs})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(tool + u" is not installed"_qs));
    QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + u"/com.brannel.ZelHub.ini"_qs);
    X11Session x;
    if (!x.start(false))
        QSKIP("Xvfb could not be started");
    QVERIFY(x.startDesktop() && (panelLater || x.startPanel(row)));
    const auto screenshot = [&](const QString &name) {
        const QString path = ChildProcess::buildPath(u"traydesktops-%1-%2.png"_qs.arg(row, name));
        bool taken = false;
        x.run("import", {"-window", "root", path}, 20000, &taken);
        qInfo("screenshot: %s", qPrintable(path));
        return taken ? path : QString();
    };
    const auto click = [&](QPoint at, int button) {
        x.xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click",
                   QString::number(button)});
    };
    // What hosts ask of the hub's menu, from its start on.
    ChildProcess monitor("/usr/bin/dbus-monitor",
                         {"--session", "interface='com.canonical.dbusmenu'"});
    QVERIFY(monitor.start() && !monitor.waitForLine("signal").isEmpty());
    const auto count = [&](const QString &member) {
        return monitor.lines().filter("member=" + member).size();
    };
    QProcessEnvironment env = x.clientEnvironment();
    env.insert("QT_LOGGING_RULES", "zelhub.ui.debug=true");
    const auto hub = std::make_unique<ChildProcess>("hub/ZelHub", QStringList{});
    hub->setEnvironment(env);
    QVERIFY(hub->start());
    if (panelLater) {
        QCOMPARE(
            hub->waitForErrLine("ZelHub: no system tray", 20000),
            u"ZelHub: no system tray is available yet; the hub's icon appears when one starts."_qs);
        QVERIFY(x.startPanel(row));
        QCOMPARE(hub->waitForErrLine("ZelHub: a system tray", 30000),
                 u"ZelHub: a system tray is there now; the hub's icon is in it."_qs);
    }
    const QRect work = QRect(*x.workArea());
    const QRect panel = work.top() > 0 ? QRect(0, 0, 1024, work.top())
                                       : QRect(0, work.bottom() + 1, 1024, 767 - work.bottom());
    // On an XEmbed tray the glyph is in the hub's own window: the panel's clock, in the same
    // colour, looks like one at some minutes.
    const auto glyphArea = [&] {
        for (const QString &id : xembed ? x.visibleWindows("ZelHub") : QStringList{})
            if (const auto g = x.geometry(id); g && g->y >= panel.top() && g->height < 40)
                return QRect(*g);
        return xembed ? QRect() : panel;
    };
    // The glyph, seen with enough contrast where the tray keeps it (it moves as the
    // siblings' icons come and go).
    QRect icon;
    const auto waitForGlyph = [&] {
        QRgb glyph = 0, behind = 0;
        const bool settled = X11Session::waitFor(
            [&] {
                // The hub may take a look at the panel before it settles on a colour.
                const QStringList colours = hub->errLines().filter("glyph colour");
                glyph = colours.isEmpty() ? 0 : QColor(colours.last().section(u'"', 1, 1)).rgb();
                const QImage shot(screenshot("tray"));
                const QRect found =
                    colours.isEmpty() ? QRect() : findGlyph(shot, glyphArea(), glyph);
                behind = found.isNull() ? 0 : commonest(shot, found.adjusted(-3, -3, 3, 3));
                return !found.isNull() && std::exchange(icon, found) == found &&
                       contrast(glyph, behind) >= 3.0;
            },
            30000);
        qInfo() << row << "glyph" << QColor(glyph).name() << "on" << QColor(behind).name()
                << "contrast" << contrast(glyph, behind) << icon;
        return settled;
    };
    // Reads the screen until the words of the hub's menu are there; the box of `verb`.
    const auto waitForMenu = [&](const QString &shotName, const QString &verb) {
        QRect box;
        bool negate = true;
        X11Session::waitFor(
            [&] {
                // Menu text is small: tesseract reads it at twice the size, and light text on
                // a dark menu better negated, which every other look is.
                const QString shot = screenshot(shotName), big = shot + u".x2.png"_qs;
                negate = !negate;
                x.run("convert", {shot, "-resize", "200%", "-colorspace", "Gray",
                                  negate ? "-negate" : "-flatten", "-threshold", "50%", big});
                // Per word (level 5): level, page, block, paragraph, line, word, x, y, width,
                // height, confidence, text.
                QStringList text;
                QList<QRect> boxes;
                for (const QString &line : x.run("tesseract", {big, "-", "tsv"}, 60000).split('\n'))
                    if (const QStringList w = line.split(u'\t'); w.size() == 12 && w[0] == u"5") {
                        text << w[11].trimmed();
                        boxes << QRect(w[6].toInt(), w[7].toInt(), w[8].toInt(), w[9].toInt());
                    }
                for (qsizetype i = text.indexOf(verb); i >= 0; i = text.indexOf(verb, i + 1))
                    if (text.mid(i, 3) == QStringList{verb, "Zel", "Icons"})
                        box = {boxes[i].topLeft() / 2, boxes[i].size() / 2};
                return !box.isNull() && text.join(u' ').contains(u"Quit ZelHub"_qs);
            },
            20000);
        return box;
    };
    QVERIFY(waitForGlyph());

    std::vector<std::unique_ptr<ChildProcess>> demos;
    for (const QString &id : {u"amber"_qs, u"birch"_qs}) {
        demos.push_back(std::make_unique<ChildProcess>(
            "examples/ZelDemo/ZelDemo", QStringList{"--id", id, "--name", id.toUpper()}));
        demos.back()->setEnvironment(env);
        QVERIFY(demos.back()->start() && !demos.back()->waitForLine("ready ", 20000).isEmpty());
    }
    QVERIFY(X11Session::waitFor(
        [&] { return hub->errLines().join(u'\n').contains(u" 2 app(s) now"_qs); }, 20000));
    QVERIFY(waitForGlyph());
    const QPoint at(icon.x() + icon.width() / 2, icon.y() + icon.height() / 2);

    // A left click: the popup, beside the panel and over the icon.
    click(at, 1);
    QRect popup;
    QVERIFY(X11Session::waitFor(
        [&] {
            const QStringList windows = x.visibleNamed("ZelHub");
            const auto g = windows.isEmpty() ? std::nullopt : x.geometry(windows.last());
            popup = g ? QRect(*g) : QRect();
            return popup.width() > 20;
        },
        10000));
    screenshot("popup");
    qInfo() << "popup" << popup << "work area" << work << "icon" << icon;
    QVERIFY(work.contains(popup));
    QVERIFY(popup.left() <= icon.right() && icon.left() <= popup.right());

    // The first sibling in it: its anchor is at the icon, y counted up from the bottom.
    // XEmbed: the bottom centre of the icon's window; else the click's x on the panel's
    // inner edge.
    click(popup.topLeft() + QPoint(22, 22), 1);
    const QStringList anchor = demos[0]->waitForLine("activate ").section(u'=', 1).split(u',');
    const QRect window = glyphArea();
    const QPointF expected =
        xembed ? QPointF(window.x() + window.width() / 2.0, 768 - window.y() - window.height())
               : QPointF(at.x(), 768 - (panel.top() == 0 ? panel.bottom() + 1 : panel.top()));
    qInfo() << "anchor" << anchor << "expected" << expected;
    QVERIFY(QLineF({anchor.value(0).toDouble(), anchor.value(1).toDouble()}, expected).length() <=
            (xembed ? 2 : 1));
    QVERIFY(X11Session::waitFor([&] { return x.visibleNamed("ZelHub").isEmpty(); }, 10000));
    for (const QString &id : x.visibleNamed("AMBER"))
        x.xdotool({"windowclose", id});

    // A right click: the hub's menu, drawn by the host from what it read on the bus.
    click(at, 3);
    QVERIFY(xembed || X11Session::waitFor([&] { return count("GetLayout") > 0; }, 10000));
    const QStringList menu{"call", "--session", "-d", "com.brannel.ZelHub", "-o", "/MenuBar", "-m"};
    const QRect hide = waitForMenu("menu", "Hide");
    QVERIFY(!hide.isNull() && !hide.intersects(panel));
    // The same menu as a foreign reader gets it.
    const QString layout = x.run(
        "gdbus", menu + QStringList{"com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"});
    for (const QString &item :
         {u"{'enabled': <false>, 'label': <'ZelHub'>"_qs, u"'type': <'separator'>"_qs,
          u"{'enabled': <false>, 'label': <'2 Zel apps'>"_qs,
          u"{'enabled': <true>, 'label': <'Hide Zel Icons'>"_qs,
          u"{'enabled': <true>, 'label': <'Quit ZelHub'>, 'shortcut': <[['Control', 'q']]>"_qs})
        QVERIFY2(layout.contains(item), qPrintable(layout));
    const qsizetype updates = count("LayoutUpdated");
    click(hide.center(), 1);
    for (const auto &demo : demos)
        QVERIFY(demo->waitForLine("hideIcon").startsWith(u"hideIcon hubAnchor="_qs));
    // Hosts that cache the menu hear that its Hide/Show item changed.
    QVERIFY(xembed || X11Session::waitFor([&] { return count("LayoutUpdated") > updates; }, 10000));

    // Once more where the hub's icon is now that the siblings' have left the tray: the menu
    // offers to show them, and quitting (Ctrl+Q with the menu open, or the host's choice)
    // shows them again.
    QVERIFY(waitForGlyph());
    click(icon.center(), 3);
    QVERIFY(!waitForMenu("menu-again", "Show").isNull());
    if (xembed)
        x.xdotool({"key", "ctrl+q"});
    else
        x.run("gdbus",
              menu + QStringList{"com.canonical.dbusmenu.Event", "--", "6", "clicked", "<0>", "0"});
    for (const auto &demo : demos)
        QCOMPARE(demo->waitForLine("showIcon"), u"showIcon"_qs);
    QVERIFY(hub->finish(20000));
    QCOMPARE(hub->process().exitCode(), 0);
}

QTEST_MAIN(tst_TrayDesktops)
#include "tst_traydesktops.moc"
