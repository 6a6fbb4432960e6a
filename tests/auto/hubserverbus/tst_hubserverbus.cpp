// The registry server across processes on a real session bus: the ZelHub executable
// against foreign peers, and a server in this process against a real name owner.
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>

#include "BusMonitor.h"
#include "TestImages.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdlib>

namespace {

QString hubPath()
{
    return qEnvironmentVariable("ZEL_BUILD_DIR") + "/hub/ZelHub";
}

bool emitRegister(const QString &member, const QStringList &args)
{
    QStringList all{"emit",          "--session",
                    "--object-path", "/com/brannel/zelhub",
                    "--signal",      "com.brannel.zelhub." + member};
    all += args;
    return QProcess::execute("gdbus", all) == 0;
}

QString byteLiteral(const QByteArray &bytes)
{
    QStringList parts;
    for (char c : bytes)
        parts << QString::number(quint8(c));
    return "<@ay [" + parts.join(", ") + "]>";
}

// A sibling that stops its client and then announces itself again with an update, as
// the client allows: its bundle identifier must still say that it runs.
int runSibling(const QString &bundle, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(bundle);
    ZelHubClient *client = ZelHubClient::shared();
    client->start({"sib", "Sibling", "http://127.0.0.1"});
    client->stop();
    client->updateStatusInfo();
    std::printf("owned\n");
    std::fflush(stdout);
    return app.exec();
}

} // namespace

class tst_HubServerBus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void hubDiscoversAtStart();
    void foreignRegistrations_data();
    void foreignRegistrations();
    void foreignUnregister();
    void pruneKeepsAStoppedSiblingUntilItEnds();
    void exactCommandPayloads();
    void busEndingEndsTheProgram_data();
    void busEndingEndsTheProgram();

private:
    bool waitForLine(const QString &prefix, QStringList *before = nullptr, int timeoutMs = 15000);
    int countOfLine(const QString &prefix);
    QString lastMatch;
    QProcess hub;
    QStringList hubLines;
    QByteArray hubBuffer;
    int sentinel = 0;
};

void tst_HubServerBus::initTestCase()
{
    QVERIFY2(QFile::exists(hubPath()), qPrintable(hubPath()));
}

void tst_HubServerBus::cleanupTestCase()
{
    if (hub.state() != QProcess::NotRunning) {
        hub.terminate();
        if (!hub.waitForFinished(10000))
            hub.kill();
        hub.waitForFinished(5000);
    }
}

bool tst_HubServerBus::waitForLine(const QString &prefix, QStringList *before, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        hubBuffer += hub.readAllStandardError();
        qsizetype newline;
        while ((newline = hubBuffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(hubBuffer.left(newline));
            hubBuffer.remove(0, newline + 1);
            if (line.startsWith(prefix)) {
                lastMatch = line;
                return true;
            }
            if (before)
                before->append(line);
        }
        if (deadline.hasExpired() || hub.state() == QProcess::NotRunning)
            return false;
        hub.waitForReadyRead(50);
    }
}

void tst_HubServerBus::hubDiscoversAtStart()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    hub.start(hubPath(), {});
    QVERIFY(hub.waitForStarted(10000));
    QVERIFY(waitForLine("[ZelHub] server started \u2014 discovering Zel apps"));
    const auto seen = monitor.waitFor(1);
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.first().member, u"discover");
    QCOMPARE(seen.first().argumentCount, 0);
}

void tst_HubServerBus::foreignRegistrations_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected"); // empty: no registration line
    QTest::newRow("well formed") << QStringList{"{'appID': <'alpha'>, 'appName': <'Alpha'>}"}
                                 << "[ZelHub] registered Alpha (alpha) \u2014 ";
    QTest::newRow("empty appID") << QStringList{"{'appID': <''>, 'appName': <'Empty'>}"} << "";
    QTest::newRow("numeric appID") << QStringList{"{'appID': <7>, 'appName': <'Seven'>}"} << "";
    QTest::newRow("missing appID") << QStringList{"{'appName': <'Nobody'>}"} << "";
    QTest::newRow("no userInfo") << QStringList{} << "";
    QTest::newRow("string argument") << QStringList{"'alpha'"} << "";
    QTest::newRow("wrongly typed optional keys")
        << QStringList{"{'appID': <'beta'>, 'appName': <3>, 'bundleID': <true>, "
                       "'statusTitle': <@ay [1]>, 'statusSymbolName': <4>, "
                       "'statusImageData': <'not bytes'>}"}
        << "[ZelHub] registered beta (beta) \u2014 ";
    QTest::newRow("real png") << QStringList{"{'appID': <'img'>, 'appName': <'Img'>, "
                                             "'statusImageData': " +
                                             byteLiteral(solidPng({32, 32})) + "}"}
                              << "[ZelHub] registered Img (img) \u2014 ";
    // Texts are bounded before any work: normalising these took the hub tens of seconds.
    const auto marks = [](int n) { return QString(n, QChar(0x301)) + QString(n, QChar(0x316)); };
    QTest::newRow("id of 64 KB of combining marks")
        << QStringList{"{'appID': <'a" + marks(16000) + "'>}"} << "";
    QTest::newRow("id of 256 units")
        << QStringList{"{'appID': <'" + QString(256, 'i') + "'>}"} << "";
    QTest::newRow("name of 256 units is no name")
        << QStringList{"{'appID': <'long'>, 'appName': <'" + QString(256, 'n') + "'>}"}
        << "[ZelHub] registered long (long) \u2014 ";
    QTest::newRow("title of 60000 combining marks")
        << QStringList{"{'appID': <'title'>, 'statusTitle': <'a" + marks(30000) + "'>}"}
        << "[ZelHub] registered title (title) \u2014 ";
}

void tst_HubServerBus::foreignRegistrations()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QVERIFY(hub.state() == QProcess::Running);
    QVERIFY(emitRegister("register", args));
    // A well-formed sentinel after each case: whatever the case logged comes before it.
    const QString id = QStringLiteral("sentinel%1").arg(++sentinel);
    QVERIFY(emitRegister("register", {QStringLiteral("{'appID': <'%1'>}").arg(id)}));
    QStringList before;
    QVERIFY(waitForLine(QStringLiteral("[ZelHub] registered %1 (%1)").arg(id), &before));
    QStringList registered;
    for (const QString &line : before)
        if (line.startsWith("[ZelHub] registered"))
            registered << line;
    if (expected.isEmpty()) {
        QVERIFY2(registered.isEmpty(), qPrintable(registered.join('\n')));
    } else {
        QCOMPARE(registered.size(), 1);
        QVERIFY2(registered.first().startsWith(expected), qPrintable(registered.first()));
        QVERIFY(registered.first().endsWith(" app(s) now"));
    }
    QVERIFY(hub.state() == QProcess::Running);
}

int tst_HubServerBus::countOfLine(const QString &prefix)
{
    if (!waitForLine(prefix))
        return -1;
    // "... — 3 app(s) now"
    return lastMatch.section(QChar(0x2014), -1).trimmed().section(' ', 0, 0).toInt();
}

void tst_HubServerBus::foreignUnregister()
{
    QVERIFY(emitRegister("register", {"{'appID': <'gone'>}"}));
    const int withGone = countOfLine("[ZelHub] registered gone (gone) \u2014 ");
    QVERIFY(withGone > 0);
    // Malformed ones are dropped; the well-formed one removes the entry, silently.
    QVERIFY(emitRegister("unregister", {"{'appID': <5>}"}));
    QVERIFY(emitRegister("unregister", {}));
    QVERIFY(emitRegister("unregister", {"'gone'"}));
    QVERIFY(emitRegister("unregister", {"{'appID': <'gone'>, 'appName': <'gone'>}"}));
    QVERIFY(emitRegister("register", {"{'appID': <'probe'>}"}));
    QCOMPARE(countOfLine("[ZelHub] registered probe (probe) \u2014 "), withGone);
    QVERIFY(hub.state() == QProcess::Running);
}

void tst_HubServerBus::pruneKeepsAStoppedSiblingUntilItEnds()
{
    const QString bundle = "com.brannel.zeltest.Sibling";
    ZelHubServer server;
    int changes = 0;
    server.onRegistryChanged = [&] { ++changes; };
    server.start();
    DistributedNotificationCenter::defaultCenter()->postNotification(
        ZelHubProtocol::register_, QVariantMap{{"appID", "nobundle"}, {"appName", "No Bundle"}});
    // Our own post arriving proves the server listens before the sibling speaks.
    QTRY_COMPARE(server.apps().size(), 1);

    QProcess owner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_SIBLING_BUNDLE", bundle);
    owner.setProcessEnvironment(env);
    owner.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(owner.waitForReadyRead(15000));
    QCOMPARE(owner.readAllStandardOutput(), QByteArray("owned\n"));
    QTRY_COMPARE(server.apps().size(), 2);
    changes = 0;
    server.pruneDeadApps();
    QCOMPARE(changes, 0);
    QCOMPARE(server.apps().size(), 2);

    ::kill(pid_t(owner.processId()), SIGKILL);
    QVERIFY(owner.waitForFinished(10000));
    QTRY_VERIFY(!RunningApplications::system()->isRunning(bundle));
    server.pruneDeadApps();
    QCOMPARE(changes, 1);
    QCOMPARE(server.apps().size(), 1);
    QCOMPARE(server.apps().first().id, u"nobundle");
    server.stop();
}

void tst_HubServerBus::exactCommandPayloads()
{
    BusMonitor monitor("com.brannel.zelhub");
    QVERIFY(monitor.start());
    ZelHubServer server;
    const ZelHubApp alpha{"alpha", "Alpha", "com.example.Alpha"};
    server.discover();
    server.hideAll(std::nullopt);
    server.hideAll(QPointF(812, 40.5));
    server.hide(alpha, QPointF(1079.5, 0));
    server.showAll();
    server.show(alpha);
    server.activate(alpha, QPointF(812, 40.5));
    server.activate(alpha, std::nullopt, u"kwin-42"_qs);
    const auto seen = monitor.waitFor(8);
    QCOMPARE(seen.size(), 8);

    using Entries = QMap<QString, QString>;
    const auto s = [](const char *text) { return QStringLiteral("string \"%1\"").arg(text); };
    const struct
    {
        const char *member;
        int arguments;
        Entries entries;
    } expected[] = {
        {"discover", 0, {}},
        {"hideIcon", 1, {}},
        {"hideIcon", 1, {{"anchorX", s("812.0")}, {"anchorY", s("40.5")}}},
        {"hideIcon",
         1,
         {{"targetID", s("alpha")}, {"anchorX", s("1079.5")}, {"anchorY", s("0.0")}}},
        {"showIcon", 1, {}},
        {"showIcon", 1, {{"targetID", s("alpha")}}},
        {"activate",
         1,
         {{"targetID", s("alpha")}, {"anchorX", s("812.0")}, {"anchorY", s("40.5")}}},
        {"activate", 1, {{"targetID", s("alpha")}, {"activationToken", s("kwin-42")}}},
    };
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(seen[i].path, u"/com/brannel/zelhub");
        QCOMPARE(seen[i].member, QString::fromLatin1(expected[i].member));
        QCOMPARE(seen[i].argumentCount, expected[i].arguments);
        QCOMPARE(seen[i].entries, expected[i].entries);
    }
}

void tst_HubServerBus::busEndingEndsTheProgram_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("ready");
    QTest::addColumn<QString>("farewell");
    QTest::newRow("hub") << "/hub/ZelHub"
                         << "[ZelHub] server started"
                         << "ZelHub: the D-Bus session bus has gone away";
    QTest::newRow("ZelDemo") << "/examples/ZelDemo/ZelDemo"
                             << "ready "
                             << "ZelDemo: the D-Bus session bus has gone away";
}

void tst_HubServerBus::busEndingEndsTheProgram()
{
    QFETCH(QString, program);
    QFETCH(QString, ready);
    QFETCH(QString, farewell);
    // A session bus of its own, which the test can end as a session ends.
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    QVERIFY(bus.waitForReadyRead(10000));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine().trimmed()));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(qEnvironmentVariable("ZEL_BUILD_DIR") + program, {});
    QByteArray output;
    QVERIFY(QTest::qWaitFor(
        [&] {
            output += child.readAll();
            return output.contains(ready.toUtf8()) || child.state() == QProcess::NotRunning;
        },
        15000));
    QVERIFY2(child.state() == QProcess::Running, output.constData());
    bus.kill();
    QVERIFY(bus.waitForFinished(10000));
    QVERIFY2(child.waitForFinished(15000), "still running without its bus");
    output += child.readAll();
    QVERIFY2(output.contains(farewell.toUtf8()), output.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
}

int main(int argc, char *argv[])
{
    if (const char *bundle = std::getenv("ZEL_SIBLING_BUNDLE"))
        return runSibling(QString::fromUtf8(bundle), argc, argv);
    QGuiApplication app(argc, argv);
    tst_HubServerBus test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_hubserverbus.moc"
