// ZelDemo's use of the framework services, as a real process: the update check at the
// address given on the command line, and the sandbox migration at every launch.
#include "ChildProcess.h"
#include "ManifestServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

const QString demoExe = QStringLiteral("examples/ZelDemo/ZelDemo");

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class tst_ZelDemoServices : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void checkForUpdatesAsksTheBaseURL_data();
    void checkForUpdatesAsksTheBaseURL();
    void badBaseURLIsRefused_data();
    void badBaseURLIsRefused();
    void migratesTheContainerOnce();

private:
    std::unique_ptr<ChildProcess> startDemo(const QStringList &args);
    bool stopDemo(ChildProcess &demo);

    ManifestServer m_server;
    std::unique_ptr<QTemporaryDir> m_home;
};

void tst_ZelDemoServices::initTestCase()
{
    QVERIFY2(m_server.start(), "the manifest server did not start");
}

void tst_ZelDemoServices::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
}

// Each demo gets a home, config and data folder of its own, so that nothing it stores
// survives into the next case or the next run.
std::unique_ptr<ChildProcess> tst_ZelDemoServices::startDemo(const QStringList &args)
{
    auto demo = std::make_unique<ChildProcess>(demoExe, args);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home->filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_home->filePath(QStringLiteral("data")));
    demo->setEnvironment(env);
    if (!demo->start())
        return nullptr;
    return demo;
}

bool tst_ZelDemoServices::stopDemo(ChildProcess &demo)
{
    ::kill(pid_t(demo.pid()), SIGTERM);
    return demo.finish(20000) && demo.process().exitStatus() == QProcess::NormalExit &&
           demo.process().exitCode() == 0;
}

void tst_ZelDemoServices::checkForUpdatesAsksTheBaseURL_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::newRow("newer version") << QByteArray(R"({"version":"99","url":"http://127.0.0.1/dl"})");
    QTest::newRow("same version") << QByteArray(R"({"version":"1.0","url":"http://127.0.0.1/dl"})");
    QTest::newRow("broken manifest") << QByteArray("<html>");
}

// One GET at the address composed from --base-url and --id; SIGTERM still ends the demo
// cleanly when the check's modal dialog is up by then.
void tst_ZelDemoServices::checkForUpdatesAsksTheBaseURL()
{
    QFETCH(QByteArray, manifest);
    static int count = 0;
    const QString id = QStringLiteral("upd%1").arg(++count);
    m_server.serve(id, manifest);
    auto demo = startDemo({"--id", id, "--base-url", m_server.baseURL(), "--check-for-updates"});
    QVERIFY(demo);
    QVERIFY(!demo->waitForLine("ready ").isEmpty());
    QCOMPARE(demo->waitForLine("checkForUpdates "), QStringLiteral("checkForUpdates url=") +
                                                        m_server.baseURL() + u'/' + id +
                                                        QLatin1String("/version.json"));
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(id), 1, 15000);
    QVERIFY(stopDemo(*demo));
    QCOMPARE(m_server.requestCount(id), 1);
}

void tst_ZelDemoServices::badBaseURLIsRefused_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("empty") << "";
    QTest::newRow("relative") << "service/zel";
    QTest::newRow("no host") << "http://";
    QTest::newRow("space") << "http://exa mple.invalid";
}

void tst_ZelDemoServices::badBaseURLIsRefused()
{
    QFETCH(QString, url);
    auto demo = startDemo({"--base-url", url});
    QVERIFY(demo);
    QVERIFY(demo->finish(20000));
    QCOMPARE(demo->process().exitCode(), 2);
    QVERIFY(
        !demo->waitForErrLine("ZelDemo: --base-url must be an absolute address", 1000).isEmpty());
}

void tst_ZelDemoServices::migratesTheContainerOnce()
{
    const QString appID = QStringLiteral("com.brannel.ZelDemo.mig");
    const QString container = m_home->filePath(QStringLiteral("home/Library/Containers/")) + appID +
                              QLatin1String("/Data");
    QVERIFY(writeFile(container + QLatin1String("/Library/Application Support/") + appID +
                          QLatin1String("/notes.txt"),
                      "carried over"));
    const QString line =
        QStringLiteral("[ZelKit] Sandbox\u2192standard data migration completed for ") + appID;

    auto first = startDemo({"--id", "mig"});
    QVERIFY(first);
    QCOMPARE(first->waitForErrLine(QStringLiteral("[ZelKit] Sandbox")), line);
    QVERIFY(!first->waitForLine("ready ").isEmpty());
    QVERIFY(stopDemo(*first));
    QFile copied(m_home->filePath(QStringLiteral("data/")) + appID + QLatin1String("/notes.txt"));
    QVERIFY(copied.open(QIODevice::ReadOnly));
    QCOMPARE(copied.readAll(), QByteArray("carried over"));

    // The next launch finds the flag and leaves everything alone.
    auto second = startDemo({"--id", "mig"});
    QVERIFY(second);
    QVERIFY(!second->waitForLine("ready ").isEmpty());
    QVERIFY(stopDemo(*second));
    QVERIFY(second->waitForErrLine(QStringLiteral("[ZelKit] Sandbox"), 0).isEmpty());
}

QTEST_GUILESS_MAIN(tst_ZelDemoServices)
#include "tst_zeldemoservices.moc"
