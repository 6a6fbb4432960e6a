// Hub and siblings across real processes on a real session bus: the ZelHub executable,
// ZelDemo siblings and zelctl, with gdbus and dbus-monitor as foreign peers.
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelScreenAnchor.h>
#include <ZelKit/platform/RunningApplications.h>

#include "BusMonitor.h"
#include "ChildProcess.h"
#include "TestImages.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

QString buildPath(const QString &relative)
{
    return ChildProcess::buildPath(relative);
}

const QString hubExe = QStringLiteral("hub/ZelHub");
const QString demoExe = QStringLiteral("examples/ZelDemo/ZelDemo");
const QString zelctlExe = QStringLiteral("examples/zelctl/zelctl");

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

Result zelctl(const QStringList &args, int timeoutMs = 20000)
{
    QProcess p;
    p.start(buildPath(zelctlExe), args);
    Result r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

bool gdbusEmit(const QString &member, const QStringList &args)
{
    return QProcess::execute("gdbus", QStringList{"emit", "--session", "--object-path",
                                                  "/com/brannel/zelhub", "--signal",
                                                  "com.brannel.zelhub." + member} +
                                          args) == 0;
}

QString byteLiteral(const QByteArray &bytes)
{
    QStringList parts;
    for (char c : bytes)
        parts << QString::number(quint8(c));
    return "<@ay [" + parts.join(", ") + "]>";
}

std::unique_ptr<ChildProcess> startDemo(const QStringList &args)
{
    auto demo = std::make_unique<ChildProcess>(demoExe, args);
    if (!demo->start() || demo->waitForLine("ready ").isEmpty())
        return nullptr;
    return demo;
}

} // namespace

class tst_ZelDemo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void hubLogsEachRegistration();
    void discoverIsAnsweredByEach();
    void activateReachesOnlyItsTarget();
    void emptyTargetReachesAll();
    void hideAndShow();
    void commandPayloadsOnTheWire();
    void malformedMessagesToDemo_data();
    void malformedMessagesToDemo();

    void listShowsEverySibling();
    void listWithNoSiblings();
    void monitorShowsTraffic();
    void zelctlBadArguments_data();
    void zelctlBadArguments();
    void zelctlHelp_data();
    void zelctlHelp();
    void demoBadArguments_data();
    void demoBadArguments();

    void unregisterAtQuit_data();
    void unregisterAtQuit();

private:
    std::unique_ptr<ChildProcess> m_hub;
    std::unique_ptr<ChildProcess> m_alpha;
    std::unique_ptr<ChildProcess> m_beta;
};

void tst_ZelDemo::initTestCase()
{
    m_hub = std::make_unique<ChildProcess>(hubExe, QStringList());
    QVERIFY(m_hub->start());
    QVERIFY(!m_hub->waitForErrLine("[ZelHub] server started").isEmpty());
    m_alpha = startDemo({"--id", "alpha", "--name", "Alpha", "--title", "Inbox"});
    QVERIFY(m_alpha);
    m_beta = startDemo({"--id", "beta", "--name", "Beta", "--symbol", "mail-unread"});
    QVERIFY(m_beta);
}

void tst_ZelDemo::cleanupTestCase()
{
    m_alpha.reset();
    m_beta.reset();
    m_hub.reset();
}

void tst_ZelDemo::hubLogsEachRegistration()
{
    auto registeredBoth = [](ChildProcess &hub) {
        QSet<QString> names;
        for (int i = 0; i < 2; ++i)
            names.insert(hub.waitForErrLine("[ZelHub] registered ").section(u' ', 2, 3));
        return names == QSet<QString>{u"Alpha (alpha)"_qs, u"Beta (beta)"_qs};
    };
    // The hub started first here: each demo's own first "register" reached it.
    QVERIFY(registeredBoth(*m_hub));
    // A restarted hub starts empty and fills through "discover".
    m_hub.reset(new ChildProcess(hubExe, {}));
    QVERIFY(m_hub->start());
    QVERIFY(registeredBoth(*m_hub));
}

void tst_ZelDemo::discoverIsAnsweredByEach()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    QVERIFY(gdbusEmit("discover", {}));
    QSet<QString> answered;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const auto &s : monitor.waitFor(3, 500))
                if (s.member == u"register")
                    answered.insert(s.entries.value("appID"));
            return answered.contains(u"string \"alpha\""_qs) &&
                   answered.contains(u"string \"beta\""_qs);
        }(),
        10000);
    const auto seen = monitor.signalsSeen();
    for (const auto &s : seen) {
        if (s.member != u"register" || s.entries.value("appID") != u"string \"beta\""_qs)
            continue;
        // Beta's symbol goes instead of its image; its bundle identifier is its bus name.
        QCOMPARE(s.entries.value("statusSymbolName"), u"string \"mail-unread\""_qs);
        QVERIFY(!s.entries.contains("statusImageData"));
        QCOMPARE(s.entries.value("bundleID"), u"string \"com.brannel.ZelDemo.beta\""_qs);
    }
}

void tst_ZelDemo::activateReachesOnlyItsTarget()
{
    const qsizetype betaBefore = m_beta->lines().size();
    Result r = zelctl({"activate", "alpha", "--anchor", "400,500"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(m_alpha->waitForLine("activate "), u"activate anchor=400.0,500.0"_qs);
    const QString window = m_alpha->waitForLine("window ");
    static const QRegularExpression re(R"(^window at=(-?\d+),(-?\d+) size=(\d+)x(\d+)$)");
    const auto m = re.match(window);
    QVERIFY2(m.hasMatch(), qPrintable(window));
    // Top centre just below the anchor, in Qt's top-left global coordinates.
    const QPointF global = ZelScreenAnchor::toGlobal(QPointF(400, 500));
    QVERIFY(qAbs(m.captured(1).toInt() + m.captured(3).toInt() / 2.0 - global.x()) <= 1);
    QCOMPARE(m.captured(2).toInt(), qRound(global.y()));

    // A later command to beta, from another peer, arrives after it: beta has seen the
    // activate by then and must have ignored it.
    QCOMPARE(zelctl({"show", "beta"}).exitCode, 0);
    QCOMPARE(m_beta->waitForLine("showIcon"), u"showIcon"_qs);
    for (const QString &line : m_beta->lines().mid(betaBefore))
        QVERIFY2(!line.startsWith("activate"), qPrintable(line));
}

void tst_ZelDemo::emptyTargetReachesAll()
{
    QCOMPARE(zelctl({"activate", ""}).exitCode, 0);
    QCOMPARE(m_alpha->waitForLine("activate "), u"activate anchor=none"_qs);
    QCOMPARE(m_beta->waitForLine("activate "), u"activate anchor=none"_qs);
    QVERIFY(!m_beta->waitForLine("window at=").isEmpty());
}

void tst_ZelDemo::hideAndShow()
{
    QCOMPARE(zelctl({"hide", "--anchor", "10,20.25"}).exitCode, 0);
    QCOMPARE(m_alpha->waitForLine("hideIcon"), u"hideIcon hubAnchor=10.0,20.25"_qs);
    QCOMPARE(m_beta->waitForLine("hideIcon"), u"hideIcon hubAnchor=10.0,20.25"_qs);
    // Without an anchor, the last one is kept.
    QCOMPARE(zelctl({"hide", "alpha"}).exitCode, 0);
    QCOMPARE(m_alpha->waitForLine("hideIcon"), u"hideIcon hubAnchor=10.0,20.25"_qs);
    QCOMPARE(zelctl({"show"}).exitCode, 0);
    QCOMPARE(m_alpha->waitForLine("showIcon"), u"showIcon"_qs);
    QCOMPARE(m_beta->waitForLine("showIcon"), u"showIcon"_qs);
}

void tst_ZelDemo::commandPayloadsOnTheWire()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    QCOMPARE(zelctl({"activate", "gamma", "--anchor", "812,24.5"}).exitCode, 0);
    QCOMPARE(zelctl({"hide"}).exitCode, 0);
    QCOMPARE(zelctl({"hide", "gamma", "--anchor", "-1.5,1079.5"}).exitCode, 0);
    QCOMPARE(zelctl({"show", "gamma"}).exitCode, 0);
    QCOMPARE(zelctl({"show"}).exitCode, 0);

    QList<BusMonitor::Signal> commands;
    QDeadlineTimer deadline(10000);
    while (commands.size() < 5 && !deadline.hasExpired()) {
        commands.clear();
        for (const auto &s : monitor.waitFor(5, 200))
            if (s.member == u"activate" || s.member == u"hideIcon" || s.member == u"showIcon")
                commands << s;
    }
    QCOMPARE(commands.size(), 5);
    using Entries = QMap<QString, QString>;
    QCOMPARE(commands[0].member, u"activate"_qs);
    QCOMPARE(commands[0].entries, (Entries{{"targetID", "string \"gamma\""},
                                           {"anchorX", "string \"812.0\""},
                                           {"anchorY", "string \"24.5\""}}));
    QCOMPARE(commands[1].member, u"hideIcon"_qs);
    QVERIFY(commands[1].dictionary); // an empty dictionary, not no argument
    QCOMPARE(commands[1].entries, Entries());
    QCOMPARE(commands[2].entries, (Entries{{"targetID", "string \"gamma\""},
                                           {"anchorX", "string \"-1.5\""},
                                           {"anchorY", "string \"1079.5\""}}));
    QCOMPARE(commands[3].member, u"showIcon"_qs);
    QCOMPARE(commands[3].entries, (Entries{{"targetID", "string \"gamma\""}}));
    QCOMPARE(commands[4].argumentCount, 1);
    QCOMPARE(commands[4].entries, Entries());
    // The demos heard the two commands to all; let their lines in before the next test.
    for (ChildProcess *demo : {m_alpha.get(), m_beta.get()}) {
        QVERIFY(!demo->waitForLine("hideIcon").isEmpty());
        QVERIFY(!demo->waitForLine("showIcon").isEmpty());
    }
}

void tst_ZelDemo::malformedMessagesToDemo_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected"); // the line alpha writes, or empty for nothing

    QTest::newRow("activate without arguments")
        << "activate" << QStringList() << "activate anchor=none";
    QTest::newRow("anchor as numbers")
        << "activate"
        << QStringList{"{'targetID': <'alpha'>, 'anchorX': <812.0>, 'anchorY': <24.5>}"}
        << "activate anchor=none";
    QTest::newRow("absurd anchor text")
        << "activate"
        << QStringList{"{'targetID': <'alpha'>, 'anchorX': <'1e999'>, 'anchorY': <'-nan'>}"}
        << "activate anchor=none";
    QTest::newRow("trailing letters")
        << "activate"
        << QStringList{"{'targetID': <'alpha'>, 'anchorX': <'3px'>, 'anchorY': <'4'>}"}
        << "activate anchor=none";
    QTest::newRow("anchor beyond any double")
        << "activate"
        << QStringList{"{'targetID': <'alpha'>, 'anchorX': <'" + QString(400, u'7') +
                       "'>, 'anchorY': <'1'>}"}
        << "activate anchor=none";
    QTest::newRow("targetID of wrong type reaches all")
        << "activate" << QStringList{"{'targetID': <uint32 7>, 'anchorX': <'1'>, 'anchorY': <'2'>}"}
        << "activate anchor=1.0,2.0";
    QTest::newRow("activation token")
        << "activate" << QStringList{"{'targetID': <'alpha'>, 'activationToken': <'kwin-42'>}"}
        << "activate anchor=none token=kwin-42";
    QTest::newRow("token as bytes, then none left over")
        << "activate" << QStringList{"{'activationToken': <b'kwin-43'>}"} << "activate anchor=none";
    QTest::newRow("token beyond any compositor's")
        << "activate" << QStringList{"{'activationToken': <'" + QString(257, u't') + "'>}"}
        << "activate anchor=none";
    QTest::newRow("string argument, wrong signature") << "activate" << QStringList{"'alpha'"} << "";
    QTest::newRow("two arguments") << "activate" << QStringList{"@a{sv} {}", "@a{sv} {}"} << "";
    QTest::newRow("a{ss} instead of a{sv}")
        << "activate" << QStringList{"@a{ss} {'targetID': 'alpha'}"} << "";
    QTest::newRow("hide with only anchorX")
        << "hideIcon" << QStringList{"{'targetID': <'alpha'>, 'anchorX': <'5'>}"} << "hideIcon";
    QTest::newRow("discover with junk") << "discover" << QStringList{"{'x': <@ay []>}"} << "";
}

void tst_ZelDemo::malformedMessagesToDemo()
{
    QFETCH(QString, member);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    m_alpha->skipToEnd();
    const qsizetype from = m_alpha->lines().size();
    QVERIFY(gdbusEmit(member, args));
    // A marker from the same peer kind, addressed to alpha, arrives after the message.
    QVERIFY(gdbusEmit("showIcon", {"{'targetID': <'alpha'>}"}));
    QCOMPARE(m_alpha->waitForLine("showIcon"), u"showIcon"_qs);
    const QStringList seen = m_alpha->lines().mid(from);
    QStringList callbacks;
    for (const QString &line : seen)
        if (!line.startsWith("window") && line != u"showIcon")
            callbacks << line;
    if (expected.isEmpty()) {
        QCOMPARE(callbacks, QStringList());
    } else if (expected == u"hideIcon") {
        QCOMPARE(callbacks.size(), 1);
        QVERIFY(callbacks.first().startsWith("hideIcon hubAnchor="));
    } else {
        QCOMPARE(callbacks, QStringList{expected});
    }
    QCOMPARE(m_alpha->process().state(), QProcess::Running);
    m_alpha->waitForLine("showIcon", 0); // cursor past the marker
}

void tst_ZelDemo::listShowsEverySibling()
{
    const Result r = zelctl({"list", "--wait", "1500"});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(QRegularExpression(R"(^id="alpha" name="Alpha" bundleID="com.brannel.ZelDemo.alpha")"
                                R"( image=<\d+ bytes, \d+x\d+ image> title="Inbox"$)")
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), u"id=\"beta\" name=\"Beta\" bundleID=\"com.brannel.ZelDemo.beta\" "
                          "symbol=\"mail-unread\""_qs);
}

void tst_ZelDemo::listWithNoSiblings()
{
    // A bus of its own, where nobody answers.
    QProcess p;
    p.start("dbus-run-session", {"--", buildPath(zelctlExe), "list", "--wait", "100"});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
}

void tst_ZelDemo::monitorShowsTraffic()
{
    ChildProcess monitor(zelctlExe, {"monitor"});
    QVERIFY(monitor.start());
    QVERIFY(!monitor.waitForErrLine("zelctl: monitoring").isEmpty());

    const QByteArray image = solidPng({3, 2});
    QVERIFY(gdbusEmit("register", {"{'appID': <'ext'>, 'appName': <'Say \"hi\"\\n'>, "
                                   "'statusImageData': " +
                                   byteLiteral(image) + ", 'bogus': <int32 5>, 'junk': " +
                                   byteLiteral("not a png") + "}"}));
    const QString line = monitor.waitForLine("register from ");
    QVERIFY2(QRegularExpression(R"(^register from :\d+\.\d+ appID="ext" appName="Say \\"hi\\"\\n")"
                                R"( bogus=<int "5"> junk=<9 bytes, not an image>)"
                                R"( statusImageData=<)" +
                                QString::number(image.size()) + R"( bytes, 3x2 image>$)")
                 .match(line)
                 .hasMatch(),
             qPrintable(line));

    QVERIFY(gdbusEmit("discover", {}));
    QVERIFY(monitor.waitForLine("discover from ").endsWith(" (no userInfo)"));
    // Both demos answer; their lines name their own senders.
    QVERIFY(monitor.waitForLine("register from ").contains(R"(bundleID="com.brannel.ZelDemo.)"));
    QVERIFY(gdbusEmit("showIcon", {"@a{sv} {}"}));
    QVERIFY(monitor.waitForLine("showIcon from ").endsWith(" (empty userInfo)"));
}

void tst_ZelDemo::zelctlBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList() << "no command";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << "unknown command";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unknown option";
    QTest::newRow("activate without id") << QStringList{"activate"} << "needs the id";
    QTest::newRow("activate with two ids") << QStringList{"activate", "a", "b"} << "unexpected";
    QTest::newRow("anchor with one number")
        << QStringList{"activate", "a", "--anchor", "5"} << "--anchor";
    QTest::newRow("anchor with three numbers")
        << QStringList{"hide", "--anchor", "1,2,3"} << "--anchor";
    QTest::newRow("anchor with letters") << QStringList{"hide", "--anchor", "1,x"} << "--anchor";
    QTest::newRow("anchor with a blank") << QStringList{"hide", "--anchor", "1, 2"} << "--anchor";
    QTest::newRow("anchor without value") << QStringList{"hide", "--anchor"} << "value";
    QTest::newRow("show takes no anchor")
        << QStringList{"show", "--anchor", "1,2"} << "Unknown option";
    QTest::newRow("list with negative wait") << QStringList{"list", "--wait", "-1"} << "--wait";
    QTest::newRow("list with text wait") << QStringList{"list", "--wait", "soon"} << "--wait";
    QTest::newRow("list with argument") << QStringList{"list", "now"} << "no arguments";
    QTest::newRow("monitor with argument") << QStringList{"monitor", "x"} << "no arguments";
}

void tst_ZelDemo::zelctlBadArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const Result r = zelctl(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("zelctl: "), qPrintable(r.err));
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY2(r.err.contains("--help"), qPrintable(r.err));
    QCOMPARE(r.out, QString());
}

void tst_ZelDemo::zelctlHelp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("general") << QStringList{"--help"};
    QTest::newRow("monitor") << QStringList{"monitor", "--help"};
    QTest::newRow("help before command") << QStringList{"--help", "hide"};
    QTest::newRow("show") << QStringList{"show", "-h"};
}

void tst_ZelDemo::zelctlHelp()
{
    QFETCH(QStringList, args);
    const Result r = zelctl(args);
    QCOMPARE(r.exitCode, 0);
    // Every form shows the whole manual page.
    QVERIFY2(r.out.contains("zelctl list [--wait MS]") && r.out.contains("EXIT STATUS"),
             qPrintable(r.out));
}

void tst_ZelDemo::demoBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing image")
        << QStringList{"--image", "/nonexistent/zel.png"} << "cannot read image";
    QTest::newRow("text file as image")
        << QStringList{"--image", qEnvironmentVariable("ZEL_SOURCE_DIR") + "/README.md"}
        << "cannot read image";
    QTest::newRow("empty id") << QStringList{"--id", ""} << "--id";
    QTest::newRow("unknown option") << QStringList{"--colour", "red"} << "Unknown option";
    QTest::newRow("stray argument") << QStringList{"extra"} << "unexpected argument";
}

void tst_ZelDemo::demoBadArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    p.start(buildPath(demoExe), args);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains("ZelDemo: ") && err.contains(message), qPrintable(err));
    QVERIFY(!p.readAllStandardOutput().contains("ready"));
}

void tst_ZelDemo::unregisterAtQuit_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("appID");
    QTest::newRow("SIGTERM") << int(SIGTERM) << "";
    QTest::newRow("SIGINT") << int(SIGINT) << "";
    QTest::newRow("SIGTERM, application id not a bus name") << int(SIGTERM) << "not-a-bus-name";
}

void tst_ZelDemo::unregisterAtQuit()
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

    bool unregistered = false;
    QDeadlineTimer deadline(10000);
    while (!unregistered && !deadline.hasExpired())
        for (const auto &s : monitor.waitFor(2, 200))
            if (s.member == u"unregister" && s.entries.value("appID") == u"string \"quitter\""_qs)
                unregistered = true;
    QVERIFY(unregistered);
    QVERIFY(!RunningApplications::system()->isRunning(busName));
}

QTEST_MAIN(tst_ZelDemo)
#include "tst_zeldemo.moc"
