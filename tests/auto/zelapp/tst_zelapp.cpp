#include <ZelKit/ZelApp.h>

#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdlib>

// In a child run, one of these stops the process; the parent reads what it said.
static int runFatalCase(const QByteArray &which)
{
    if (which == "require") {
        ZelApp::requireConfig("ZelHubClient.start");
    } else if (which == "space-in-id") {
        ZelAppConfig{"my notes", "Notes", "https://example.invalid"}.versionURL();
    } else if (which == "relative-base") {
        ZelAppConfig{"notes", "Notes", "example.invalid/apps"}.moreAppsURL();
    }
    return 0;
}

class tst_ZelApp : public QObject
{
    Q_OBJECT
private slots:
    void addresses_data();
    void addresses();
    void configureReplaces();
    void fatalStops_data();
    void fatalStops();
};

void tst_ZelApp::addresses_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("moreApps");
    QTest::newRow("plain") << "https://apps.example.com"
                           << "notes"
                           << "https://apps.example.com/notes/version.json"
                           << "https://apps.example.com/our-apps/?ref=notes";
    QTest::newRow("trailing slash kept") << "https://apps.example.com/"
                                         << "notes"
                                         << "https://apps.example.com//notes/version.json"
                                         << "https://apps.example.com//our-apps/?ref=notes";
    QTest::newRow("base with path and port") << "http://127.0.0.1:8080/zel"
                                             << "clock"
                                             << "http://127.0.0.1:8080/zel/clock/version.json"
                                             << "http://127.0.0.1:8080/zel/our-apps/?ref=clock";
}

void tst_ZelApp::addresses()
{
    QFETCH(QString, base);
    QFETCH(QString, id);
    QFETCH(QString, version);
    QFETCH(QString, moreApps);
    const ZelAppConfig config{id, "Name", base};
    QCOMPARE(config.versionURL().toString(), version);
    QCOMPARE(config.moreAppsURL().toString(), moreApps);
}

void tst_ZelApp::configureReplaces()
{
    QVERIFY(!ZelApp::config());
    const ZelAppConfig first{"notes", "Notes", "https://a.example"};
    const ZelAppConfig second{"clock", "Clock", "https://b.example"};
    ZelApp::configure(first);
    QCOMPARE(ZelApp::config(), std::optional<ZelAppConfig>(first));
    ZelApp::configure(second);
    QCOMPARE(ZelApp::config(), std::optional<ZelAppConfig>(second));
    QCOMPARE(ZelApp::requireConfig("test"), second);
}

void tst_ZelApp::fatalStops_data()
{
    QTest::addColumn<QByteArray>("which");
    QTest::addColumn<QString>("message");
    QTest::newRow("require before configure")
        << QByteArray("require")
        << "ZelKit/ZelApp:%1: Fatal error: ZelApp.configure(_:) must be called before "
           "ZelHubClient.start.";
    QTest::newRow("id with a space") << QByteArray("space-in-id") << "my notes/version.json";
    QTest::newRow("relative base") << QByteArray("relative-base") << "does not parse";
}

void tst_ZelApp::fatalStops()
{
    QFETCH(QByteArray, which);
    QFETCH(QString, message);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_FATAL_CASE", QString::fromLatin1(which));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QCOMPARE(child.exitCode(), SIGABRT);
    const QString err = QString::fromUtf8(child.readAllStandardError());
    if (message.contains("%1")) {
        const QString prefix = message.section("%1", 0, 0);
        const QString rest = message.section("%1", 1);
        QVERIFY2(err.startsWith(prefix), qPrintable(err));
        QVERIFY2(err.contains(rest + "\n"), qPrintable(err));
    } else {
        QVERIFY2(err.contains(message), qPrintable(err));
    }
}

int main(int argc, char *argv[])
{
    if (const char *which = std::getenv("ZEL_FATAL_CASE"))
        return runFatalCase(which);
    QCoreApplication app(argc, argv);
    tst_ZelApp test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zelapp.moc"
