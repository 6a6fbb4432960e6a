// The hub and its siblings as a user runs them: the ZelHub executable, two
// ZelDemo siblings and zelctl on one session bus, with gdbus and dbus-monitor
// as foreign peers.
#include <ZelKit/platform/RunningApplications.h>

#include "BusMonitor.h"
#include "ChildProcess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {

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

Result zelctl(const QStringList &args)
{
    return run(u"examples/zelctl/zelctl"_qs, args);
}

bool gdbusEmit(const QString &member, const QStringList &args)
{
    return QProcess::execute("gdbus", QStringList{"emit", "--session", "--object-path",
                                                  "/com/brannel/zelhub", "--signal",
                                                  "com.brannel.zelhub." + member} +
                                          args) == 0;
}

std::unique_ptr<ChildProcess> startDemo(const QStringList &args, const QString &scale = "1")
{
    auto demo = std::make_unique<ChildProcess>(u"examples/ZelDemo/ZelDemo"_qs, args);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", scale);
    demo->setEnvironment(env);
    if (!demo->start() || demo->waitForLine("ready ").isEmpty())
        return nullptr;
    return demo;
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

class tst_Demo : public QObject
{
    Q_OBJECT
    std::unique_ptr<ChildProcess> hub, alpha, beta;

private slots:
    void initTestCase()
    {
        hub = std::make_unique<ChildProcess>(u"hub/ZelHub"_qs, QStringList());
        QVERIFY(hub->start());
        QVERIFY(!hub->waitForErrLine(u"[ZelHub] server started \u2014 discovering Zel apps"_qs)
                     .isEmpty());
        alpha = startDemo({"--id", "alpha", "--name", "Alpha", "--title", "Inbox"}, "2");
        beta = startDemo({"--id", "beta", "--name", "Beta", "--symbol", "mail-unread"});
        QVERIFY(alpha && beta);
    }
    void hubSeesEverySibling()
    {
        const auto registeredBoth = [](ChildProcess &hub) {
            QSet<QString> names;
            for (int i = 0; i < 2; ++i)
                names.insert(hub.waitForErrLine("[ZelHub] registered ").section(u' ', 2, 3));
            return names == QSet<QString>{u"Alpha (alpha)"_qs, u"Beta (beta)"_qs};
        };
        // The hub started first: each sibling's own "register" reached it. A new
        // hub starts empty and fills through "discover".
        QVERIFY(registeredBoth(*hub));
        hub = std::make_unique<ChildProcess>(u"hub/ZelHub"_qs, QStringList());
        QVERIFY(hub->start());
        QVERIFY(registeredBoth(*hub));

        // Every sibling answers "discover": alpha with its image at its screen's
        // factor 2 (16 points, 32 pixels), beta with its symbol instead of its
        // image.
        const Result list = zelctl({"list", "--wait", "1500"});
        QCOMPARE(list.exitCode, 0);
        const QStringList lines = list.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(
            QRegularExpression("^id=\"alpha\" name=\"Alpha\" bundleID=\"com.brannel.ZelDemo.alpha\""
                               " image=<\\d+ bytes, 32x32 image> title=\"Inbox\"$")
                .match(lines.at(0))
                .hasMatch(),
            qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), u"id=\"beta\" name=\"Beta\" bundleID=\"com.brannel.ZelDemo.beta\" "
                              "symbol=\"mail-unread\""_qs);

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
        QCOMPARE(zelctl(args).exitCode, 0);
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
        ChildProcess monitor(u"examples/zelctl/zelctl"_qs, {"monitor"});
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
        QTest::addColumn<QString>("start"); // on standard output (0) or standard error (2)
        QTest::addColumn<QString>("contains");
        const QString ctl = u"examples/zelctl/zelctl"_qs, demo = u"examples/ZelDemo/ZelDemo"_qs;
        QTest::newRow("zelctl help")
            << ctl << QStringList{"--help"} << 0 << "zelctl list [--wait MS]"
            << "EXIT STATUS";
        QTest::newRow("zelctl help after a command")
            << ctl << QStringList{"show", "-h"} << 0 << "zelctl list [--wait MS]"
            << "EXIT STATUS";
        QTest::newRow("zelctl no command") << ctl << QStringList() << 2 << "zelctl: "
                                           << "no command";
        QTest::newRow("zelctl activate without id")
            << ctl << QStringList{"activate"} << 2 << "zelctl: "
            << "needs the id";
        QTest::newRow("zelctl anchor with one number")
            << ctl << QStringList{"activate", "a", "--anchor", "5"} << 2 << "zelctl: "
            << "--anchor";
        QTest::newRow("zelctl show takes no anchor")
            << ctl << QStringList{"show", "--anchor", "1,2"} << 2 << "zelctl: "
            << "Unknown option";
        QTest::newRow("ZelDemo unreadable image")
            << demo << QStringList{"--image", qEnvironmentVariable("ZEL_SOURCE_DIR") + "/README.md"}
            << 2 << "ZelDemo: "
            << "cannot read image";
        QTest::newRow("ZelDemo empty id") << demo << QStringList{"--id", ""} << 2 << "ZelDemo: "
                                          << "--id";
    }
    void commandLine()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, start);
        QFETCH(QString, contains);
        const Result r = run(program, args);
        QCOMPARE(r.exitCode, exitCode);
        const QString text = exitCode == 0 ? r.out : r.err;
        QVERIFY2(text.contains(start) && text.contains(contains), qPrintable(text));
        if (exitCode != 0)
            QVERIFY2(r.out.isEmpty() && r.err.contains("--help"), qPrintable(r.err));
    }
    void busEndingEndsTheProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("ready");
        QTest::addColumn<QString>("farewell");
        QTest::newRow("hub") << "hub/ZelHub"
                             << "[ZelHub] server started"
                             << "ZelHub: the D-Bus session bus has gone away";
        QTest::newRow("ZelDemo") << "examples/ZelDemo/ZelDemo"
                                 << "ready "
                                 << "ZelDemo: the D-Bus session bus has gone away";
    }
    void busEndingEndsTheProgram()
    {
        QFETCH(QString, program);
        QFETCH(QString, ready);
        QFETCH(QString, farewell);
        // A session bus of its own, which the test ends as a session ends.
        QProcess bus;
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(bus.waitForReadyRead(10000));
        ChildProcess child(program, {});
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine().trimmed()));
        child.setEnvironment(env);
        QVERIFY(child.start());
        QVERIFY(QTest::qWaitFor(
            [&] { return (child.lines() + child.errLines()).join(u'\n').contains(ready); }, 15000));
        bus.kill();
        QVERIFY(bus.waitForFinished(10000));
        QVERIFY(child.finish(15000));
        QVERIFY2(child.errLines().join(u'\n').contains(farewell),
                 qPrintable(child.errLines().join(u'\n')));
        QCOMPARE(child.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.process().exitCode(), 1);
    }
    void quit_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("appID");
        QTest::newRow("SIGTERM") << int(SIGTERM) << "";
        QTest::newRow("SIGINT") << int(SIGINT) << "";
        QTest::newRow("SIGTERM, application id not a bus name") << int(SIGTERM) << "not-a-bus-name";
    }
    void quit()
    {
        QFETCH(int, signal);
        QFETCH(QString, appID);
        BusMonitor monitor("com.brannel.zelhub");
        QVERIFY(monitor.start());
        QStringList args{"--id", "quitter", "--name", "Quitter"};
        if (!appID.isEmpty())
            args << "--app-id" << appID;
        auto demo = startDemo(args);
        QVERIFY(demo);
        const QString busName = appID.isEmpty() ? u"com.brannel.ZelDemo.quitter"_qs : appID;
        QCOMPARE(RunningApplications::system()->isRunning(busName), appID.isEmpty());
        ::kill(pid_t(demo->pid()), signal);
        QVERIFY(demo->finish());
        QCOMPARE(demo->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(demo->process().exitCode(), 0);
        QCOMPARE(demo->lines().last(), u"stopped"_qs);
        QTRY_VERIFY([&] {
            for (const auto &s : monitor.waitFor(2, 200))
                if (s.member == u"unregister" && s.entries.value("appID") == u"string \"quitter\"")
                    return true;
            return false;
        }());
        QVERIFY(!RunningApplications::system()->isRunning(busName));
    }
};

QTEST_MAIN(tst_Demo)
#include "tst_demo.moc"
