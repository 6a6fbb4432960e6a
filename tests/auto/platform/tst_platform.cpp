// The small platform services: the log, the user defaults, running applications.
#include <ZelKit/platform/RunningApplications.h>
#include <ZelKit/platform/ZelLog.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <cstdlib>

class tst_Platform : public QObject
{
    Q_OBJECT
private slots:
    void logLinesAreVerbatim_data();
    void logLinesAreVerbatim();
    void defaultsLiveUnderXdgConfigHome();
    void boolForKey_data();
    void boolForKey();
    void busNames_data();
    void busNames();
    void runningFollowsTheBusName();
};

void tst_Platform::logLinesAreVerbatim_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("written");
    const auto verbatim = [](const char *name, const QString &line) {
        QTest::newRow(name) << line << line;
    };
    verbatim("plain", "[ZelHub] server started — discovering Zel apps");
    verbatim("format directives", "[ZelHub] registered %s%n%x (%d) — 1 app(s) now");
    verbatim("non-ASCII", QString::fromUtf8("[ZelHub] registered Café 🍵 (cafe) — 2 app(s) now"));
    verbatim("backslashes", "[ZelKit] Launch at login error: C:\\path\\n");
    QTest::newRow("forged line break")
        << "[ZelHub] registered A\n[ZelHub] registered B (b) — 1 app(s) now (a) — 1 app(s) now"
        << "[ZelHub] registered A\\n[ZelHub] registered B (b) — 1 app(s) now (a) — 1 app(s) now";
    QTest::newRow("escape sequence and tab")
        << "[ZelHub] registered \x1b[2J\tX\r (x) — 1 app(s) now"
        << "[ZelHub] registered \\x1b[2J\\tX\\r (x) — 1 app(s) now";
}

void tst_Platform::logLinesAreVerbatim()
{
    QFETCH(QString, line);
    QFETCH(QString, written);
    if (qEnvironmentVariableIsSet("ZEL_LOG_CHILD")) {
        ZelLog::write(qEnvironmentVariable("ZEL_LOG_CHILD"));
        return;
    }
    QStringList captured;
    ZelLog::setCaptureHook([&](const QString &l) { captured << l; });
    ZelLog::write(line);
    ZelLog::setCaptureHook({});
    QCOMPARE(captured, QStringList{written});

    // What reaches standard error: the same UTF-8 bytes and one newline.
    QProcess child;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_LOG_CHILD", line);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {"logLinesAreVerbatim:" + QString::fromLatin1(QTest::currentDataTag())});
    QVERIFY(child.waitForFinished(20000));
    const QByteArray err = child.readAllStandardError();
    QVERIFY2(err.contains("\n" + written.toUtf8() + "\n") ||
                 err.startsWith(written.toUtf8() + "\n"),
             err.constData());
}

void tst_Platform::defaultsLiveUnderXdgConfigHome()
{
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY(!home.isEmpty());
    ZelUserDefaults defaults("com.brannel.ZelTest");
    defaults.remove("ZelHub.iconsHidden");
    QVERIFY(!defaults.contains("ZelHub.iconsHidden"));
    QCOMPARE(defaults.boolForKey("ZelHub.iconsHidden"), false);
    defaults.setBool("ZelHub.iconsHidden", true);
    QVERIFY(defaults.sync());
    QVERIFY(QFile::exists(home + "/com.brannel.ZelTest.ini"));
    QCOMPARE(ZelUserDefaults("com.brannel.ZelTest").boolForKey("ZelHub.iconsHidden"), true);
    QFile file(home + "/com.brannel.ZelTest.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll().contains("ZelHub.iconsHidden=true"), "the key keeps its dot");
}

void tst_Platform::boolForKey_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("value");
    QTest::newRow("true") << QVariant(true) << true;
    QTest::newRow("false") << QVariant(false) << false;
    QTest::newRow("text true") << QVariant("true") << true;
    QTest::newRow("text YES") << QVariant("YES") << true;
    QTest::newRow("one") << QVariant(1) << true;
    QTest::newRow("garbage") << QVariant("maybe") << false;
    QTest::newRow("list") << QVariant(QStringList{"true"}) << false;
}

void tst_Platform::boolForKey()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, value);
    ZelUserDefaults defaults("com.brannel.ZelTestBool");
    defaults.setValue("k", stored);
    QVERIFY(defaults.sync());
    QCOMPARE(ZelUserDefaults("com.brannel.ZelTestBool").boolForKey("k"), value);
}

void tst_Platform::busNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("application id") << "com.brannel.Notes" << true;
    QTest::newRow("dash and underscore") << "org.example.my-app_2" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("one element") << "Notes" << false;
    QTest::newRow("unique name") << ":1.42" << false;
    QTest::newRow("digit-led element") << "com.9lives.App" << false;
    QTest::newRow("empty element") << "com..App" << false;
    QTest::newRow("space") << "com.brannel.My Notes" << false;
    QTest::newRow("too long") << "com." + QString(260, 'a') << false;
}

void tst_Platform::busNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(RunningApplications::isValidBusName(name), valid);
    // An invalid name is never running, and asking does not upset the bus connection.
    if (!valid)
        QVERIFY(!RunningApplications::system()->isRunning(name));
}

void tst_Platform::runningFollowsTheBusName()
{
    const QString name = "com.brannel.zeltest.Running";
    RunningApplications *running = RunningApplications::system();
    QVERIFY(!running->isRunning(name));
    QVERIFY(!running->icon(name));
    QVERIFY(QDBusConnection::sessionBus().registerService(name));
    QVERIFY(running->isRunning(name));
    QVERIFY(QDBusConnection::sessionBus().unregisterService(name));
    QVERIFY(!running->isRunning(name));
}

QTEST_MAIN(tst_Platform)
#include "tst_platform.moc"
