// The hub and its siblings as a user runs them: the ZelHub executable, ZelDemo siblings and
// zelctl on one session bus, with gdbus and dbus-monitor as foreign peers.
#include <ZelKit/ZelHubProtocol.h>

#include "BusMonitor.h"
#include "ChildProcess.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>

namespace {

const QString hubPath = u"hub/ZelHub"_qs, hubReady = u"[ZelHub] server started"_qs;
const QString demoPath = u"examples/ZelDemo/ZelDemo"_qs, zelctl = u"examples/zelctl/zelctl"_qs;

struct Result
{
    int exitCode = -1;
    QString out, err;
};

Result run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(ChildProcess::buildPath(program), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return {};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

bool gdbusEmit(const QString &member, const QStringList &args)
{
    return QProcess::execute("gdbus", QStringList{"emit", "--session", "--object-path",
                                                  "/com/brannel/zelhub", "--signal",
                                                  "com.brannel.zelhub." + member} +
                                          args) == 0;
}

// The program once it wrote `ready` on either stream.
std::unique_ptr<ChildProcess>
launch(const QString &program, const QStringList &args, const QString &ready,
       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    auto child = std::make_unique<ChildProcess>(program, args);
    child->setEnvironment(env);
    if (!child->start() ||
        !QTest::qWaitFor(
            [&] { return (child->lines() + child->errLines()).join(u'\n').contains(ready); },
            20000))
        return nullptr;
    return child;
}

// The callback lines a demo wrote since line `from`, up to a marker sent to it
// after the command; the marker's anchor (-7, -7) becomes its hubAnchor.
QStringList linesUntilMarker(ChildProcess &demo, const QString &id, qsizetype from)
{
    if (!gdbusEmit("activate",
                   {u"{'targetID': <'%1'>, 'anchorX': <'-7'>, 'anchorY': <'-7'>}"_qs.arg(id)}) ||
        demo.waitForLine("activate anchor=-7.0,-7.0").isEmpty())
        return {u"no marker"_qs};
    QStringList lines = demo.lines().mid(from);
    lines.removeIf([](const QString &l) {
        return l.startsWith("window") || l == u"activate anchor=-7.0,-7.0";
    });
    return lines;
}

} // namespace

class tst_HubE2E : public QObject
{
    Q_OBJECT
    std::unique_ptr<ChildProcess> hub, alpha, beta;
    const QString preferenceFile =
        qEnvironmentVariable("XDG_CONFIG_HOME") + u"/com.brannel.ZelHub.ini"_qs;

private slots:
    void initTestCase()
    {
        QFile::remove(preferenceFile);
        hub = launch(hubPath, {}, hubReady);
        auto scaled = QProcessEnvironment::systemEnvironment();
        scaled.insert("QT_SCALE_FACTOR", "2");
        alpha = launch(demoPath, {"--id", "alpha", "--name", "Alpha", "--title", "Inbox"},
                       u"ready "_qs, scaled);
        beta = launch(demoPath, {"--id", "beta", "--name", "Beta", "--symbol", "mail-unread"},
                      u"ready "_qs);
        QVERIFY(hub && alpha && beta);
    }
    void hubSeesEverySibling()
    {
        const auto registeredBoth = [](ChildProcess &hub) {
            QSet<QString> names;
            for (int i = 0; i < 2; ++i)
                names.insert(hub.waitForErrLine("[ZelHub] registered ").section(u' ', 2, 3));
            return names == QSet<QString>{u"Alpha (alpha)"_qs, u"Beta (beta)"_qs};
        };
        // The hub started first: each sibling's own "register" reached it.
        QVERIFY(registeredBoth(*hub));
        // No tray host runs here: said once the host had time to answer, and the hub runs on.
        QCOMPARE(
            hub->waitForErrLine("ZelHub: no system tray", 20000),
            u"ZelHub: no system tray is available yet; the hub's icon appears when one starts."_qs);
        const Result second = run(hubPath, {});
        QVERIFY2(second.err.split(u'\n').contains(u"ZelHub is already running."_qs),
                 qPrintable(second.err));
        QCOMPARE(second.exitCode, 1);

        // A hub launched with the icons hidden hides each sibling that registers, and shows
        // them when it ends; the choice stays. A new hub fills through "discover".
        QSettings(preferenceFile, QSettings::IniFormat).setValue("ZelHub.iconsHidden", true);
        for (const QString said : {"hideIcon hubAnchor=none", "showIcon"}) {
            hub->process().terminate();
            QVERIFY(hub->finish(20000));
            QCOMPARE(hub->process().exitCode(), 0);
            if (said == u"hideIcon hubAnchor=none") {
                hub = launch(hubPath, {}, hubReady);
                QVERIFY(hub && registeredBoth(*hub));
            }
            for (ChildProcess *demo : {alpha.get(), beta.get()})
                QCOMPARE(demo->waitForLine(said.section(u' ', 0, 0), 20000), said);
        }
        QVERIFY(
            QSettings(preferenceFile, QSettings::IniFormat).value("ZelHub.iconsHidden").toBool());
        QFile::remove(preferenceFile);
        hub = launch(hubPath, {}, hubReady);
        QVERIFY(hub && registeredBoth(*hub));

        // Every sibling answers "discover": alpha with its image at its screen's
        // factor 2 (16 points, 32 pixels), beta with its symbol instead of its image.
        // zelctl collects answers for as long as it is told: long enough for a busy machine.
        Result list = run(zelctl, {"list", "--wait", "5000"});
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(
            list.out.replace(QRegularExpression("<\\d+ bytes"), "<N bytes"),
            u"id=\"alpha\" name=\"Alpha\" bundleID=\"com.brannel.ZelDemo.alpha\" image=<N bytes, "
            "32x32 image> title=\"Inbox\"\nid=\"beta\" name=\"Beta\" bundleID=\"com.brannel."
            "ZelDemo.beta\" symbol=\"mail-unread\"\n"_qs);

        // The log line is written as it is, never as a format, with control characters
        // escaped so that a name cannot forge a line.
        QVERIFY(gdbusEmit("register", {u"{'appID': <'f'>, 'appName': <'%s%n Caf\u00e9 \U0001F375"
                                       "\\n[ZelHub] registered Fake\\u001b[2J\\t\\r'>}"_qs}));
        QCOMPARE(hub->waitForErrLine("[ZelHub] registered %"),
                 u"[ZelHub] registered %s%n Caf\u00e9 \U0001F375\\n[ZelHub] registered "
                 "Fake\\x1b[2J\\t\\r (f) \u2014 3 app(s) now"_qs);
        QVERIFY(gdbusEmit("unregister", {"{'appID': <'f'>}"}));
    }
    void commands_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("alphaSaw");
        QTest::addColumn<QStringList>("betaSaw");
        // Each row ends with a marker that leaves the anchor (-7, -7), which a hide
        // without an anchor keeps.
        QTest::newRow("activate one at an anchor")
            << QStringList{"activate", "beta", "--anchor", "400,500"} << QStringList()
            << QStringList{"activate anchor=400.0,500.0"};
        QTest::newRow("activate with an empty target reaches all")
            << QStringList{"activate", ""} << QStringList{"activate anchor=none"}
            << QStringList{"activate anchor=none"};
        QTest::newRow("hide all at an anchor") << QStringList{"hide", "--anchor", "10,20.25"}
                                               << QStringList{"hideIcon hubAnchor=10.0,20.25"}
                                               << QStringList{"hideIcon hubAnchor=10.0,20.25"};
        QTest::newRow("hide one without anchor keeps the last")
            << QStringList{"hide", "alpha"} << QStringList{"hideIcon hubAnchor=-7.0,-7.0"}
            << QStringList();
        QTest::newRow("show all") << QStringList{"show"} << QStringList{"showIcon"}
                                  << QStringList{"showIcon"};
        QTest::newRow("show another app")
            << QStringList{"show", "gamma"} << QStringList() << QStringList();
    }
    void commands()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, alphaSaw);
        QFETCH(QStringList, betaSaw);
        alpha->skipToEnd();
        beta->skipToEnd();
        const qsizetype fromAlpha = alpha->lines().size(), fromBeta = beta->lines().size();
        QCOMPARE(run(zelctl, args).exitCode, 0);
        QCOMPARE(linesUntilMarker(*alpha, "alpha", fromAlpha), alphaSaw);
        QCOMPARE(linesUntilMarker(*beta, "beta", fromBeta), betaSaw);
        if (betaSaw.value(0) != u"activate anchor=400.0,500.0")
            return;
        // The window's top centre is at the anchor: on the 800 × 800 screen, y 500
        // up from the bottom is 300 down from the top.
        static const QRegularExpression re("^window at=(-?\\d+),(-?\\d+) size=(\\d+)x(\\d+)$");
        const auto m = re.match(beta->lines().at(fromBeta + 1));
        QVERIFY2(m.hasMatch(), qPrintable(beta->lines().at(fromBeta + 1)));
        QVERIFY(qAbs(m.captured(1).toInt() + m.captured(3).toInt() / 2.0 - 400) <= 1);
        QCOMPARE(m.captured(2).toInt(), 300);
    }
    void monitorShowsTraffic()
    {
        ChildProcess monitor(zelctl, {"monitor"});
        QVERIFY(monitor.start());
        QVERIFY(!monitor.waitForErrLine("zelctl: monitoring").isEmpty());
        QVERIFY(gdbusEmit("register", {"{'appID': <'ext'>, 'appName': <'Say \"hi\"\\n'>, "
                                       "'bogus': <int32 5>, 'junk': <@ay [1, 2]>}"}));
        QCOMPARE(monitor.waitForLine("register from ").section(u' ', 3),
                 u"appID=\"ext\" appName=\"Say \\\"hi\\\"\\n\" bogus=<int \"5\"> "
                 "junk=<2 bytes, not an image>"_qs);
        QVERIFY(gdbusEmit("discover", {}));
        QVERIFY(monitor.waitForLine("discover from ").endsWith(" (no userInfo)"));
        QVERIFY(monitor.waitForLine("register from ").contains("bundleID=\"com.brannel.ZelDemo."));
        QVERIFY(gdbusEmit("showIcon", {"@a{sv} {}"}));
        QVERIFY(monitor.waitForLine("showIcon from ").endsWith(" (empty userInfo)"));
    }
    void commandLine_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says"); // on standard output when it succeeds, else on error
        QTest::newRow("zelctl help after a command")
            << zelctl << QStringList{"show", "-h"} << 0 << "zelctl list [--wait MS]";
        QTest::newRow("zelctl no command") << zelctl << QStringList() << 2 << "zelctl: no command";
        QTest::newRow("zelctl anchor with one number")
            << zelctl << QStringList{"activate", "a", "--anchor", "5"} << 2 << "--anchor";
        QTest::newRow("zelctl show takes no anchor")
            << zelctl << QStringList{"show", "--anchor", "1,2"} << 2 << "Unknown option";
        QTest::newRow("ZelDemo unreadable image")
            << demoPath << QStringList{"--image", qEnvironmentVariable("ZEL_SOURCE_DIR")} << 2
            << "ZelDemo: cannot read image";
    }
    void commandLine()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        const Result r = run(program, args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2((exitCode == 0 ? r.out : r.err).contains(says), qPrintable(r.out + r.err));
        if (exitCode != 0)
            QVERIFY2(r.out.isEmpty() && r.err.contains("--help"), qPrintable(r.err));
    }
    void busEndingEndsTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("ready");
        QTest::newRow("ZelHub") << hubPath << hubReady;
        QTest::newRow("ZelDemo") << demoPath << "ready ";
    }
    void busEndingEndsTheProgram()
    {
        QFETCH(QString, program);
        QFETCH(QString, ready);
        // A session bus of its own, which the test ends as a session ends.
        QProcess bus;
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(bus.waitForReadyRead(10000));
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine().trimmed()));
        const auto child = launch(program, {}, ready, env);
        QVERIFY(child);
        bus.kill();
        QVERIFY(child->finish(15000));
        QCOMPARE(child->errLines().filter("gone away").value(0).section(u';', 0, 0),
                 QTest::currentDataTag() + u": the D-Bus session bus has gone away"_qs);
        QCOMPARE(child->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->process().exitCode(), 1);
    }
    void siblingsEndOnASignal()
    {
        BusMonitor monitor("com.brannel.zelhub");
        QVERIFY(monitor.start());
        ::kill(pid_t(alpha->pid()), SIGTERM);
        ::kill(pid_t(beta->pid()), SIGINT);
        for (ChildProcess *demo : {alpha.get(), beta.get()}) {
            QVERIFY(demo->finish());
            QCOMPARE(demo->process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(demo->process().exitCode(), 0);
            QCOMPARE(demo->lines().last(), u"stopped"_qs);
        }
        // Each says so on the bus as it goes.
        QStringList gone;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const auto &s : monitor.signalsSeen())
                    gone << (s.member == u"unregister" ? s.entries.value("appID") : QString());
                return gone.contains("string \"alpha\"") && gone.contains("string \"beta\"");
            }(),
            10000);
    }
};

QTEST_MAIN(tst_HubE2E)
#include "tst_hube2e.moc"
