// The sibling services as a user and a sibling developer meet them: the configuration's
// addresses and fatal stop, the update check against a real HTTP server with its dialogs,
// the standard menu's items, the autostart entry a session reads and starts, the sandbox
// migration's files and defaults, and ZelDemo using them all as a real process.
#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelLaunchAtLogin.h>
#include <ZelKit/ZelSandboxMigration.h>
#include <ZelKit/ZelStandardMenu.h>
#include <ZelKit/ZelUpdater.h>
#include <ZelKit/platform/ZelLog.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTimer>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString flagKey = QStringLiteral("ZelKit.sandboxMigrated");
const QString migrated = QStringLiteral("[ZelKit] Sandbox\u2192standard data migration ");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QString autostartEntry()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/autostart/") + QGuiApplication::desktopFileName() +
           QLatin1String(".desktop");
}

QByteArray manifest(const QByteArray &version, const QByteArray &more = "")
{
    return R"({"version":")" + version + R"(","url":"http://e.invalid/x")" + more + "}";
}

// Everything at root as a user would compare two copies: each file with its contents
// (and "x" when executable), each folder, each link with its target.
QStringList tree(const QString &root)
{
    const QFileInfo top(root);
    if (top.isFile() && !top.isSymLink())
        return {QString::fromUtf8(readFile(root))};
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            out << name + QLatin1String(" -> ") + QDir(root).relativeFilePath(info.symLinkTarget());
        else if (info.isDir())
            out << name + u'/';
        else
            out << name + u' ' + QString::fromUtf8(readFile(info.filePath())) +
                       (info.isExecutable() ? QLatin1String(" x") : QLatin1String(""));
    }
    out.sort();
    return out;
}

void fillSupport(const QString &folder)
{
    QVERIFY(writeFile(folder + QLatin1String("/library.db"), "rows"));
    QVERIFY(writeFile(folder + QLatin1String("/Themes/dark/theme.json"), "{}"));
    QVERIFY(writeFile(folder + QLatin1String("/run.sh"), "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(folder + QLatin1String("/run.sh"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(folder + QLatin1String("/Empty")));
    QVERIFY(QFile::link(QStringLiteral("Themes/dark"), folder + QLatin1String("/current")));
}

// Property lists written by another program: every type, a key the user already has and
// one the system-wide domain has.
bool writePlist(const QString &format, const QString &path)
{
    static const char script[] = R"(
import datetime, plistlib, sys
values = {"text": "h\u00e9llo \u2192 world", "integer": 42, "negative": -7, "large": 2**40,
  "real": 2.5, "yes": True, "date": datetime.datetime(2020, 5, 17, 12, 30, 45),
  "data": b"\x00\x01\xfe", "list": [1, "two", [3.5]], "dict": {"inner": "x", "deeper": {"n": 1}},
  "kept": "from the container", "systemKept": "from the container"}
data = plistlib.dumps([1, 2] if sys.argv[1] == "array" else values,
                      fmt=plistlib.FMT_XML if sys.argv[1] == "xml" else plistlib.FMT_BINARY)
open(sys.argv[2], "wb").write(data[:len(data) // 2] if sys.argv[1] == "truncated" else data)
)";
    QDir().mkpath(QFileInfo(path).path());
    return QProcess::execute(QStringLiteral("python3"),
                             {QStringLiteral("-c"), QLatin1String(script), format, path}) == 0;
}

// A real HTTP server on 127.0.0.1 (manifest_server.py) answering each id from a folder.
class ManifestServer
{
public:
    ~ManifestServer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("python3"), {ZEL_MANIFEST_SERVER, m_root.path()});
        while (base.isEmpty() && m_process.waitForReadyRead(20000)) {
            for (const QString &line : events()) {
                if (line.startsWith(QLatin1String("port ")))
                    base = QLatin1String("http://127.0.0.1:") + line.mid(5);
            }
        }
        return !base.isEmpty();
    }
    void serve(const QString &id, const QByteArray &body, const QByteArray &status = "200")
    {
        writeFile(m_root.filePath(id + QLatin1String("/body")), body);
        writeFile(m_root.filePath(id + QLatin1String("/status")), status);
    }
    QStringList events()
    {
        m_out += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_out).split(u'\n', Qt::SkipEmptyParts);
    }
    int requests(const QString &id)
    {
        return int(
            events().count(QLatin1String("request /") + id + QLatin1String("/version.json")));
    }
    QString base;

private:
    QTemporaryDir m_root;
    QProcess m_process;
    QByteArray m_out;
};

// Answers each message box that comes up with the button named press, noting what it
// showed: "text | informative | buttons" with the default one in brackets.
struct DialogWatcher
{
    explicit DialogWatcher(const QString &press)
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this, press] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || answered.contains(box))
                return;
            answered << box;
            QStringList buttons;
            QAbstractButton *chosen = nullptr;
            for (QAbstractButton *b : box->buttons()) {
                buttons << (b == box->defaultButton() ? u'[' + b->text() + u']' : b->text());
                chosen = b->text() == press ? b : chosen;
            }
            const auto *label =
                box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
            shown << box->text() + QLatin1String(" | ") + box->informativeText() +
                         QLatin1String(" | ") + buttons.join(u' ') +
                         (label->textFormat() == Qt::PlainText ? "" : " (rich text)");
            const QImage icon = box->iconPixmap().toImage();
            icons << icon.pixelColor(icon.width() / 2, icon.height() / 2);
            chosen ? chosen->click() : box->reject();
        });
        timer.start(10);
    }
    QTimer timer;
    QList<QPointer<QMessageBox>> answered; // a later box may take a gone one's address
    QStringList shown;
    QList<QColor> icons;
};

} // namespace

class tst_Services : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { m_opened << url.toString(QUrl::FullyEncoded); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void addresses_data();
    void addresses();
    void configureReplaces();
    void fatalStops_data();
    void fatalStops();
    void check_data();
    void check();
    void updateDialog_data();
    void updateDialog();
    void menu_data();
    void menu();
    void menuItems_data();
    void menuItems();
    void launchAtLogin_data();
    void launchAtLogin();
    void autostartStartsTheProgram_data();
    void autostartStartsTheProgram();
    void migration_data();
    void migration();
    void demoMigratesOnceAndChecks();

private:
    // One check with the updater let go at once, as an owner may: the check holds it
    // until it is over, which is when this returns.
    void runCheck(const QString &id, bool silent, const QString &press, int checks = 1,
                  const QString &base = QString());

    ManifestServer m_server;
    QTemporaryDir m_system;
    QByteArray m_home, m_dataHome;
    QStringList m_log, m_opened, m_shown;
    QList<QColor> m_icons;
};

void tst_Services::initTestCase()
{
    QVERIFY2(m_server.start(), "the manifest server did not start");
    // The browser: web addresses come here.
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
    ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
    // The system-wide defaults domain, kept away from the machine's own.
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_system.path());
    m_home = qgetenv("HOME");
    m_dataHome = qgetenv("XDG_DATA_HOME");
    Q_CLEANUP_RESOURCE(updater_icon);
}

void tst_Services::init()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ServicesTest"));
    QCoreApplication::setApplicationVersion(QString());
    const QString autostart = QFileInfo(autostartEntry()).path();
    QFile::remove(autostart);
    QDir(autostart).removeRecursively();
    m_log.clear();
    m_opened.clear();
}

void tst_Services::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void tst_Services::cleanup()
{
    qputenv("HOME", m_home);
    qputenv("XDG_DATA_HOME", m_dataHome);
}

void tst_Services::addresses_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("moreApps");
    QTest::newRow("plain") << "https://apps.example.com"
                           << "https://apps.example.com/notes/version.json"
                           << "https://apps.example.com/our-apps/?ref=notes";
    QTest::newRow("trailing slash kept") << "https://apps.example.com/"
                                         << "https://apps.example.com//notes/version.json"
                                         << "https://apps.example.com//our-apps/?ref=notes";
    QTest::newRow("path and port") << "http://127.0.0.1:8080/zel"
                                   << "http://127.0.0.1:8080/zel/notes/version.json"
                                   << "http://127.0.0.1:8080/zel/our-apps/?ref=notes";
    QTest::newRow("file address without a host") << "file:///srv/zel"
                                                 << "file:///srv/zel/notes/version.json"
                                                 << "file:///srv/zel/our-apps/?ref=notes";
}

void tst_Services::addresses()
{
    QFETCH(QString, base);
    QFETCH(QString, version);
    QFETCH(QString, moreApps);
    const ZelAppConfig config{QStringLiteral("notes"), QStringLiteral("Notes"), base};
    QCOMPARE(config.versionURL().toString(), version);
    QCOMPARE(config.moreAppsURL().toString(), moreApps);
}

void tst_Services::configureReplaces()
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

// In a child run of this program, each case stops the process; the parent reads why.
static void runFatalCase(const QByteArray &which)
{
    if (which == "require before configure")
        ZelApp::requireConfig("ZelHubClient.start");
    else if (which == "id with a space")
        ZelAppConfig{"my notes", "Notes", "https://example.invalid"}.versionURL();
    else if (which == "relative base")
        ZelAppConfig{"notes", "Notes", "example.invalid/apps"}.moreAppsURL();
}

void tst_Services::fatalStops_data()
{
    QTest::addColumn<QStringList>("demoArguments"); // empty: a child run of this program
    QTest::addColumn<QString>("message");
    QTest::newRow("require before configure")
        << QStringList()
        << ": Fatal error: ZelApp.configure(_:) must be called before "
           "ZelHubClient.start.\n";
    QTest::newRow("id with a space")
        << QStringList() << "\"https://example.invalid/my notes/version.json\"";
    QTest::newRow("relative base")
        << QStringList() << "\"example.invalid/apps/our-apps/?ref=notes\"";
    QTest::newRow("ZelDemo refuses a relative base address")
        << QStringList{"--base-url", "service/zel"}
        << "ZelDemo: --base-url must be an absolute address";
}

void tst_Services::fatalStops()
{
    QFETCH(QStringList, demoArguments);
    QFETCH(QString, message);
    QProcess child;
    if (demoArguments.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZEL_FATAL_CASE"), QLatin1String(QTest::currentDataTag()));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
    } else {
#ifndef ZEL_DEMO
        QSKIP("ZelDemo is not built");
#else
        child.start(QStringLiteral(ZEL_DEMO), demoArguments);
#endif
    }
    QVERIFY(child.waitForFinished(30000));
    const QString err = QString::fromUtf8(child.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    if (demoArguments.isEmpty()) {
        QVERIFY2(err.startsWith(QLatin1String("ZelKit/ZelApp:")), qPrintable(err));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(child.exitCode(), SIGABRT);
    } else {
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 2);
    }
}

void tst_Services::runCheck(const QString &id, bool silent, const QString &press, int checks,
                            const QString &base)
{
    DialogWatcher watcher(press);
    auto updater = ZelUpdater::create({id, "Demo", base.isEmpty() ? m_server.base : base});
    const std::weak_ptr<ZelUpdater> alive = updater;
    for (int i = 0; i < checks; ++i)
        updater->checkForUpdates(silent);
    updater.reset();
    m_shown.clear();
    QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), 30000);
    m_shown = watcher.shown;
    m_icons = watcher.icons;
}

void tst_Services::check_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("status"); // or "hang", "endless", "refused"
    QTest::addColumn<QString>("running");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("informative"); // of the one dialog shown; empty: none

    const QString latest = QStringLiteral("You're running the latest version.");
    const QString v2 = QStringLiteral("Version 2 is available.");
    auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    row("1.10 is newer than 1.9") << manifest("1.10") << "200"_ba
                                  << "1.9" << false << "Version 1.10 is available.";
    row("1.9 is older than 1.10") << manifest("1.9") << "200"_ba
                                  << "1.10" << false << latest;
    row("2.0 is newer than 1.99") << manifest("2.0") << "200"_ba
                                  << "1.99" << false << "Version 2.0 is available.";
    row("1.2.0 is newer than 1.2") << manifest("1.2.0") << "200"_ba
                                   << "1.2" << false << "Version 1.2.0 is available.";
    row("1.2 is older than 1.2.0") << manifest("1.2") << "200"_ba
                                   << "1.2.0" << false << latest;
    row("1.2b is newer than 1.2a") << manifest("1.2b") << "200"_ba
                                   << "1.2a" << false << "Version 1.2b is available.";
    row("1.2B is older than 1.2a") << manifest("1.2B") << "200"_ba
                                   << "1.2a" << false << latest;
    row("1.2 equals 1.2") << manifest("1.2") << "200"_ba
                          << "1.2" << false << latest;
    row("1.009 is older than 1.10") << manifest("1.009") << "200"_ba
                                    << "1.10" << false << latest;
    row("numbers beyond 64 bits") << manifest("1.123456789012345678901234567890") << "200"_ba
                                  << "1.123456789012345678901234567889" << false
                                  << "Version 1.123456789012345678901234567890 is available.";
    row("a non-ASCII digit by its code") << manifest("1.\u0663") << "200"_ba
                                         << "1.3" << false << "Version 1.\u0663 is available.";
    row("no running version: 1.0.1 is newer") << manifest("1.0.1") << "200"_ba
                                              << "" << false << "Version 1.0.1 is available.";
    row("no running version: 1.0 is up to date") << manifest("1.0") << "200"_ba
                                                 << "" << false << latest;
    row("silent: newer is shown") << manifest("2") << "200"_ba
                                  << "1" << true << v2;
    row("silent: equal says nothing") << manifest("1") << "200"_ba
                                      << "1" << true << "";
    row("silent: older says nothing") << manifest("1") << "200"_ba
                                      << "2" << true << "";
    row("release notes") << manifest("2", R"(,"notes":"Faster sync.")") << "200"_ba
                         << "1" << false
                         << "Version 2 is available.\n\nRelease notes: Faster sync.";
    row("notes null") << manifest("2", R"(,"notes":null)") << "200"_ba
                      << "1" << false << v2;
    row("notes a number") << manifest("2", R"(,"notes":3)") << "200"_ba
                          << "1" << false << v2;
    row("notes empty") << manifest("2", R"(,"notes":"")") << "200"_ba
                       << "1" << false << v2;
    row("notes with markup stay text")
        << manifest("2", R"(,"notes":"<a href='file:///'>x</a>\nline")") << "200"_ba
        << "1" << false
        << "Version 2 is available.\n\nRelease notes: <a href='file:///'>x</a>\nline";
    row("other keys ignored") << manifest("2", R"(,"extra":[1,2])") << "200"_ba
                              << "1" << false << v2;
    row("500 with a valid manifest") << manifest("2") << "500"_ba
                                     << "1" << false << v2;
    row("a manifest of 64 KiB") << manifest("2") + QByteArray(64 * 1024, ' ') << "200"_ba
                                << "1" << false << v2;
    row("a reply of 20 MB") << manifest("2") + QByteArray(20 << 20, ' ') << "200"_ba
                            << "1" << false << "";
    row("404 with an HTML page") << "<html><body>Not Found</body></html>"_ba
                                 << "404"_ba
                                 << "1" << false << "";
    row("version a number") << R"({"version":2,"url":"http://e.invalid/x"})"_ba
                            << "200"_ba
                            << "1" << false << "";
    row("version missing") << R"({"url":"http://e.invalid/x"})"_ba
                           << "200"_ba
                           << "1" << false << "";
    row("url missing") << R"({"version":"9"})"_ba
                       << "200"_ba
                       << "1" << false << "";
    row("url a number") << R"({"version":"9","url":5})"_ba
                        << "200"_ba
                        << "1" << false << "";
    row("url unparseable") << R"({"version":"9","url":"http://[::1/x"})"_ba
                           << "200"_ba
                           << "1" << false << "";
    row("url relative") << R"({"version":"9","url":"/x.zip"})"_ba
                        << "200"_ba
                        << "1" << false << "";
    row("url a file") << R"({"version":"9","url":"file:///etc/passwd"})"_ba
                      << "200"_ba
                      << "1" << false << "";
    row("url a custom scheme") << R"({"version":"9","url":"x-run:/usr/bin/xterm"})"_ba
                               << "200"_ba
                               << "1" << false << "";
    row("top level an array") << "[" + manifest("9") + "]"
                              << "200"_ba
                              << "1" << false << "";
    row("top level a string") << R"("9")"_ba
                              << "200"_ba
                              << "1" << false << "";
    row("truncated JSON") << manifest("9").chopped(1) << "200"_ba
                          << "1" << false << "";
    row("empty body") << QByteArray() << "200"_ba
                      << "1" << false << "";
    row("no answer: ends after 5 s") << manifest("9") << "hang"_ba
                                     << "1" << false << "";
    row("an endless reply") << manifest("9") << "endless"_ba
                            << "1" << false << "";
    row("connection refused") << manifest("9") << "refused"_ba
                              << "1" << false << "";
}

void tst_Services::check()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, status);
    QFETCH(QString, running);
    QFETCH(bool, silent);
    QFETCH(QString, informative);
    static int rows = 0;
    const QString id = QStringLiteral("row%1").arg(++rows);
    m_server.serve(id, body, status);
    QCoreApplication::setApplicationVersion(running);
    QString base;
    if (status == "refused") {
        QTcpServer closed; // a port that was free a moment ago
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        base = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    }
    QElapsedTimer clock;
    clock.start();
    runCheck(id, silent, QStringLiteral("Later"), 1, base);
    if (status == "hang")
        QVERIFY2(clock.elapsed() >= 4500, qPrintable(QString::number(clock.elapsed())));
    if (status == "hang" || status == "endless")
        QTRY_VERIFY(m_server.events().contains(QLatin1String("closed ") + id));
    QTRY_COMPARE(m_server.requests(id), status == "refused" ? 0 : 1);

    QStringList expected;
    if (informative.startsWith(QLatin1String("You're")))
        expected << QLatin1String("Demo is up to date | ") + informative + QLatin1String(" | [OK]");
    else if (!informative.isEmpty())
        expected << QLatin1String("Demo update available | ") + informative +
                        QLatin1String(" | [Download Update] Later");
    QCOMPARE(m_shown, expected);
    QCOMPARE(m_opened, QStringList());
}

void tst_Services::updateDialog_data()
{
    QTest::addColumn<QString>("press");
    QTest::addColumn<bool>("appIcon");
    QTest::addColumn<int>("checks");
    QTest::newRow("Download Update opens the address; the AppIcon")
        << "Download Update" << true << 1;
    QTest::newRow("Later opens nothing; without AppIcon the window icon") << "Later" << false << 1;
    QTest::newRow("two checks, two dialogs") << "Download Update" << false << 2;
}

void tst_Services::updateDialog()
{
    QFETCH(QString, press);
    QFETCH(bool, appIcon);
    QFETCH(int, checks);
    const QByteArray address = "https://downloads.example.invalid/Demo-2.zip?ref=a%20b#x";
    m_server.serve(QStringLiteral("dialog"), R"({"version":"2","url":")" + address + "\"}");
    if (appIcon)
        Q_INIT_RESOURCE(updater_icon);
    QPixmap red(32, 32);
    red.fill(Qt::red);
    QApplication::setWindowIcon(QIcon(red));
    const int before = m_server.requests(QStringLiteral("dialog"));
    runCheck(QStringLiteral("dialog"), false, press, checks);
    if (appIcon)
        Q_CLEANUP_RESOURCE(updater_icon);
    QApplication::setWindowIcon(QIcon());
    QCOMPARE(m_shown.size(), checks);
    QCOMPARE(m_icons.first(), appIcon ? QColor(Qt::green) : QColor(Qt::red));
    QTRY_COMPARE(m_server.requests(QStringLiteral("dialog")), before + checks);
    QCOMPARE(m_opened,
             press == u"Later" ? QStringList() : QStringList(checks, QString::fromLatin1(address)));
}

// Each item as the user reads it, with its shortcut and check mark; "-" a separator.
static QStringList shown(const QMenu &menu)
{
    QStringList out;
    for (const QAction *a : menu.actions()) {
        QString item = a->isSeparator() ? QStringLiteral("-") : a->iconText();
        if (!a->shortcut().isEmpty())
            item += u' ' + a->shortcut().toString(QKeySequence::PortableText);
        if (a->isCheckable())
            item += a->isChecked() ? QLatin1String(" [x]") : QLatin1String(" [ ]");
        out << item;
    }
    return out;
}

void tst_Services::menu_data()
{
    QTest::addColumn<bool>("hostItems");
    QTest::addColumn<bool>("preferences");
    QTest::addColumn<bool>("launchAtLogin");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    const QString prefs = QStringLiteral("Preferences\u2026 Ctrl+,");
    const QString check = QStringLiteral("Check for Updates\u2026");
    const QString more = QStringLiteral("More from Brannel IT");
    const QString quit = QStringLiteral("Quit Demo Ctrl+Q");
    QTest::newRow("empty menu: the bare block")
        << false << false << false << false << "Demo" << QStringList{check, more, "-", quit};
    QTest::newRow("after the host's items a separator")
        << true << false << false << false << "Demo"
        << QStringList{"Open Demo", "-", check, more, "-", quit};
    QTest::newRow("preferences first")
        << false << true << false << false << "Demo" << QStringList{prefs, check, more, "-", quit};
    QTest::newRow("launch at login, off")
        << false << false << true << false << "Demo"
        << QStringList{check, more, "-", "Launch at Login [ ]", "-", quit};
    QTest::newRow("everything, launch at login on")
        << true << true << true << true << "Demo"
        << QStringList{"Open Demo", "-", prefs, check, more, "-", "Launch at Login [x]", "-", quit};
    QTest::newRow("a name with an ampersand")
        << false << false << false << false << "Salt & Pepper"
        << QStringList{check, more, "-", "Quit Salt & Pepper Ctrl+Q"};
}

void tst_Services::menu()
{
    QFETCH(bool, hostItems);
    QFETCH(bool, preferences);
    QFETCH(bool, launchAtLogin);
    QFETCH(bool, enabled);
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    if (enabled)
        QVERIFY(writeFile(autostartEntry(), "[Desktop Entry]\nType=Application\nName=X\nExec=x\n"));
    QMenu menu;
    if (hostItems)
        menu.addAction(QStringLiteral("Open Demo"));
    ZelStandardMenu standard({"demo", name, "http://127.0.0.1:9"}, nullptr,
                             preferences ? std::function<void()>([] {}) : nullptr);
    standard.append(&menu, launchAtLogin);
    QCOMPARE(shown(menu), expected);
}

void tst_Services::menuItems_data()
{
    QTest::addColumn<QString>("title"); // empty: every item
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("effects");
    const QString login = QStringLiteral("Launch at Login");
    QTest::newRow("Preferences\u2026 calls the host") << "Preferences\u2026"
                                                      << "" << QStringList{"preferences", "[ ]"};
    QTest::newRow("Check for Updates\u2026 asks for its own manifest")
        << "Check for Updates\u2026"
        << "" << QStringList{"request /notes/version.json", "[ ]"};
    QTest::newRow("Check for Updates\u2026 through the host's updater")
        << "Check for Updates\u2026"
        << "host updater" << QStringList{"request /other/version.json", "[ ]"};
    QTest::newRow("More from Brannel IT opens the page")
        << "More from Brannel IT"
        << "" << QStringList{"open BASE/our-apps/?ref=notes", "[ ]"};
    QTest::newRow("Launch at Login turns it on") << login << "" << QStringList{"entry", "[x]"};
    QTest::newRow("Launch at Login turns it off") << login << "enabled" << QStringList{"[ ]"};
    QTest::newRow("Launch at Login starts from a change made elsewhere")
        << login << "enabled elsewhere" << QStringList{"[ ]"};
    QTest::newRow("Launch at Login stays off when the entry cannot be written")
        << login << "entry unwritable"
        << QStringList{"[ ]", "[ZelKit] Launch at login error: \u2026"};
    QTest::newRow("Quit Notes ends the event loop") << "Quit Notes"
                                                    << "" << QStringList{"quit", "[ ]"};
    QTest::newRow("items outliving the menu object do nothing") // but Qt's own mark flip
        << ""
        << "object gone" << QStringList{"[x]"};
}

void tst_Services::menuItems()
{
    QFETCH(QString, title);
    QFETCH(QString, setup);
    QFETCH(QStringList, effects);
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=X\nExec=x\n";
    if (setup == u"enabled")
        QVERIFY(writeFile(autostartEntry(), entry));
    if (setup == u"entry unwritable") // a folder where the entry belongs, even for root
        QVERIFY(QDir().mkpath(autostartEntry()));
    QStringList seen;
    auto updater = ZelUpdater::create({"other", "Other", m_server.base});
    QMenu menu;
    auto standard = std::make_unique<ZelStandardMenu>(ZelAppConfig{"notes", "Notes", m_server.base},
                                                      setup == u"host updater" ? updater : nullptr,
                                                      [&seen] { seen << "preferences"; });
    standard->append(&menu, true);
    const std::weak_ptr<ZelUpdater> own = standard->updater();
    if (setup == u"enabled elsewhere")
        QVERIFY(writeFile(autostartEntry(), entry));
    if (setup == u"object gone")
        standard.reset();
    const qsizetype before = m_server.events().size();

    for (QAction *action : menu.actions()) {
        if (title.isEmpty())
            action->trigger();
        else if (action->iconText() == title && title.startsWith(QLatin1String("Quit"))) {
            QTimer::singleShot(0, action, &QAction::trigger);
            QTimer wentNowhere; // only a quit that went nowhere waits for this
            connect(&wentNowhere, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
            wentNowhere.start(20000);
            if (QApplication::exec() == 0)
                seen << "quit";
        } else if (action->iconText() == title) {
            action->trigger();
        }
    }
    if (setup == u"object gone")
        QVERIFY(own.expired()); // no check holds it

    QAction *login = nullptr;
    for (QAction *action : menu.actions())
        login = action->iconText() == u"Launch at Login" ? action : login;
    const auto observed = [&] {
        QStringList out = seen;
        for (const QString &event : m_server.events().mid(before))
            out << event;
        for (const QString &url : std::as_const(m_opened))
            out << QLatin1String("open ") + QString(url).replace(m_server.base, "BASE");
        if (QFileInfo(autostartEntry()).isFile())
            out << QStringLiteral("entry");
        out << (login->isChecked() ? QStringLiteral("[x]") : QStringLiteral("[ ]"));
        for (const QString &line : std::as_const(m_log))
            out << line.left(line.indexOf(QLatin1String(": ")) + 2) + u'\u2026';
        return out;
    };
    QTRY_COMPARE(observed(), effects);
}

void tst_Services::launchAtLogin_data()
{
    QTest::addColumn<QByteArray>("before"); // the entry's contents, or an obstacle in <>
    QTest::addColumn<QString>("set");       // "on", "off" or nothing
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("logged");
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=X\nExec=x\n";
    QTest::newRow("no entry") << QByteArray() << "" << false << false;
    QTest::newRow("plain entry") << head << "" << true << false;
    QTest::newRow("Hidden=true") << head + "Hidden=true\n"
                                 << "" << false << false;
    QTest::newRow("Hidden=false") << head + "Hidden=false\n"
                                  << "" << true << false;
    QTest::newRow("X-GNOME-Autostart-enabled=false") << head + "X-GNOME-Autostart-enabled=false\n"
                                                     << "" << false << false;
    QTest::newRow("Hidden=true in another group")
        << head + "[Desktop Action x]\nName=Y\nExec=y\nHidden=true\n"
        << "" << true << false;
    QTest::newRow("no [Desktop Entry] group") << "Exec=x\n"_ba
                                              << "" << false << false;
    QTest::newRow("on writes the entry") << QByteArray() << "on" << true << false;
    QTest::newRow("on over a switched-off entry") << head + "Hidden=true\n"
                                                  << "on" << true << false;
    QTest::newRow("off removes the entry") << head << "off" << false << false;
    QTest::newRow("off without an entry") << QByteArray() << "off" << false << false;
    QTest::newRow("on, the entry a folder") << "<folder>"_ba
                                            << "on" << false << true;
    QTest::newRow("off, the entry a folder") << "<folder>"_ba
                                             << "off" << false << true;
    QTest::newRow("on, the autostart folder a file") << "<file>"_ba
                                                     << "on" << false << true;
    QTest::newRow("off, the autostart folder a file") << "<file>"_ba
                                                      << "off" << false << false;
    QTest::newRow("on without an application id") << "<no id>"_ba
                                                  << "on" << false << true;
}

// Read afresh at every call: a change made behind its back shows at once.
void tst_Services::launchAtLogin()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, set);
    QFETCH(bool, enabled);
    QFETCH(bool, logged);
    if (before == "<folder>")
        QVERIFY(QDir().mkpath(autostartEntry()));
    else if (before == "<file>")
        QVERIFY(writeFile(QFileInfo(autostartEntry()).path(), "not a folder"));
    else if (before == "<no id>")
        QGuiApplication::setDesktopFileName(QString());
    else if (!before.isEmpty())
        QVERIFY(writeFile(autostartEntry(), before));
    if (!set.isEmpty())
        ZelLaunchAtLogin::setEnabled(set == u"on");
    QCOMPARE(ZelLaunchAtLogin::isEnabled(), enabled);
    QCOMPARE(m_log.size(), logged ? 1 : 0);
    if (logged)
        QVERIFY2(m_log.first().startsWith(QLatin1String("[ZelKit] Launch at login error: ")) &&
                     !m_log.first().endsWith(QLatin1String(": ")),
                 qPrintable(m_log.first()));
    if (enabled) {
        QFile::remove(autostartEntry());
        QVERIFY(!ZelLaunchAtLogin::isEnabled());
    }
}

void tst_Services::autostartStartsTheProgram_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("glibStarts"); // GLib looks for the program before undoing "%%"
    QTest::newRow("plain") << "bin" << true;
    QTest::newRow("space") << "My Apps" << true;
    QTest::newRow("double quote") << "say \"hi\"" << true;
    QTest::newRow("backtick and dollar") << "`id` $HOME" << true;
    QTest::newRow("backslash") << "back\\slash" << true;
    QTest::newRow("percent") << "100%s %f" << false;
    QTest::newRow("shell characters") << "a;b&c|d<e>f*g?h#i(j)k'l~m" << true;
    QTest::newRow("non-ASCII") << "Programme \u00b7 Zel \u2713" << true;
    QTest::newRow("tab") << "a\tb" << true;
}

// A copy of a small program, run from a folder of that name, turns launch at login on:
// the entry passes the freedesktop validator, and the session's own launcher (GLib's,
// through python3-gi) starts exactly that copy from it.
void tst_Services::autostartStartsTheProgram()
{
    QFETCH(QString, folder);
    QFETCH(bool, glibStarts);
    QTemporaryDir root;
    const QString program = root.filePath(folder) + QLatin1String("/launchprobe");
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QVERIFY(QFile::copy(QStringLiteral(ZEL_LAUNCHPROBE), program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.LaunchProbe"));
    QCOMPARE(QProcess::execute(program, {QGuiApplication::desktopFileName()}), 0);

    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral("desktop-file-validate"), {autostartEntry()});
    QVERIFY(validator.waitForFinished(20000));
    QCOMPARE(validator.readAll(), QByteArray());
    QCOMPARE(validator.exitCode(), 0);
    if (!glibStarts)
        return;
    QProcess session;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEL_PROBE_OUT"), root.filePath(QStringLiteral("started")));
    session.setProcessEnvironment(env);
    session.setProcessChannelMode(QProcess::ForwardedChannels);
    session.start(QStringLiteral(ZEL_GI_PYTHON),
                  {QStringLiteral("-c"),
                   QStringLiteral("import sys, gi; gi.require_version('Gio', '2.0')\n"
                                  "from gi.repository import Gio\n"
                                  "Gio.DesktopAppInfo.new_from_filename(sys.argv[1]).launch()"),
                   autostartEntry()});
    QVERIFY(session.waitForFinished(30000));
    QCOMPARE(session.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(root.filePath(QStringLiteral("started")))),
                              QFileInfo(program).canonicalFilePath(), 20000);
}

void tst_Services::migration_data()
{
    // The container holds preferences when prefs= is given, support data when support=
    // is given, and is absent without either. standard= puts something where the copy
    // would go; data= is $XDG_DATA_HOME under the home folder; id= replaces the bundle id.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected"); // merged, copied, flag, completed or failed
    auto row = [](const char *name, const char *setup, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(setup) << QString::fromUtf8(expected);
    };
    row("XML preferences and a support folder", "prefs=xml support=folder",
        "merged copied flag completed");
    row("binary preferences", "prefs=binary support=folder", "merged copied flag completed");
    row("already migrated", "flagged prefs=xml support=folder", "flag");
    row("no container", "", "flag");
    row("preferences without a support folder", "prefs=binary", "merged flag completed");
    row("no preferences file", "support=folder", "copied flag completed");
    row("empty preferences file", "prefs=empty support=folder", "copied flag completed");
    row("not a property list", "prefs=garbage support=folder", "copied flag completed");
    row("truncated property list", "prefs=truncated support=folder", "copied flag completed");
    row("preferences an array", "prefs=array support=folder", "copied flag completed");
    row("a folder for preferences", "prefs=folder support=folder", "copied flag completed");
    row("support a dangling link", "prefs=xml support=dangling", "merged flag completed");
    row("support a plain file", "prefs=xml support=file", "merged copied flag completed");
    row("support a link to a folder", "support=linked", "copied flag completed");
    row("standard support an empty folder", "support=folder standard=folder", "flag completed");
    row("standard support with data", "support=folder standard=data", "flag completed");
    row("standard support a file", "support=folder standard=file", "flag completed");
    row("standard support a dangling link", "support=folder standard=dangling", "flag completed");
    row("data folder not there yet", "support=folder data=not/yet/share", "copied flag completed");
    row("copy fails: tried again next launch", "prefs=xml support=folder data=file/share",
        "merged failed");
    row("bundle id ..", "id=.. prefs=xml support=folder", "");
    row("bundle id with a slash", "id=../../escape prefs=xml support=folder", "");
}

void tst_Services::migration()
{
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    QMap<QString, QString> s;
    for (const QString &word : setup.split(u' ', Qt::SkipEmptyParts))
        s.insert(word.section(u'=', 0, 0), word.section(u'=', 1));
    const QStringList e = expected.split(u' ', Qt::SkipEmptyParts);
    static int count = 0;
    const QString id = QStringLiteral("com.brannel.Migrating%1").arg(++count);
    QGuiApplication::setDesktopFileName(id);
    // The config folder outlives the run; what an earlier run stored there must not count.
    QFile::remove(QSettings(QSettings::IniFormat, QSettings::UserScope, id).fileName());
    QTemporaryDir home;
    const QString dataHome = home.filePath(s.value("data", "share"));
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    const QString container = home.filePath("Library/Containers/" + id + "/Data/Library/");
    const QString prefs = container + "Preferences/" + id + ".plist";
    const QString support = container + "Application Support/" + id;
    const QString standard = dataHome + u'/' + id;

    if (s.value("prefs") == u"empty")
        QVERIFY(writeFile(prefs, QByteArray()));
    else if (s.value("prefs") == u"garbage")
        QVERIFY(writeFile(prefs, "<html>not a plist</html>\x01\x02"));
    else if (s.value("prefs") == u"folder")
        QVERIFY(QDir().mkpath(prefs));
    else if (s.contains("prefs"))
        QVERIFY(writePlist(s.value("prefs"), prefs));
    QDir().mkpath(QFileInfo(support).path());
    if (s.value("support") == u"folder")
        fillSupport(support);
    else if (s.value("support") == u"file")
        QVERIFY(writeFile(support, "notes"));
    else if (s.value("support") == u"dangling")
        QVERIFY(QFile::link(QStringLiteral("nowhere"), support));
    else if (s.value("support") == u"linked")
        QVERIFY(writeFile(home.filePath("elsewhere/notes"), "n") &&
                QFile::link(home.filePath("elsewhere"), support));
    if (!s.contains("prefs") && !s.contains("support"))
        QDir(home.filePath("Library")).removeRecursively();
    if (s.value("standard") == u"folder")
        QVERIFY(QDir().mkpath(standard));
    else if (s.value("standard") == u"data")
        QVERIFY(writeFile(standard + QLatin1String("/library.db"), "the user's"));
    else if (s.value("standard") == u"file")
        QVERIFY(writeFile(standard, "the user's"));
    else if (s.value("standard") == u"dangling")
        QVERIFY(QDir().mkpath(dataHome) && QFile::link(QStringLiteral("nowhere"), standard));
    if (s.value("data").startsWith(QLatin1String("file/")))
        QVERIFY(writeFile(home.filePath("file"), "not a folder"));
    ZelUserDefaults defaults(id);
    defaults.setValue(QStringLiteral("kept"), QStringLiteral("the user's own"));
    if (s.contains("flagged"))
        defaults.setBool(flagKey, true);
    QVERIFY(defaults.sync());
    QSettings system(QSettings::IniFormat, QSettings::SystemScope, id);
    system.setValue(QStringLiteral("systemKept"), QStringLiteral("the system's"));
    system.sync();
    const QStringList source = tree(support);
    const QStringList standardBefore = tree(standard);

    ZelSandboxMigration::migrateFromContainerIfNeeded(s.value("id", id));

    QSettings user(QSettings::IniFormat, QSettings::UserScope, id);
    user.setFallbacksEnabled(false);
    QCOMPARE(user.value("kept"), QVariant(QStringLiteral("the user's own")));
    QVERIFY(!user.contains(QStringLiteral("systemKept")));
    QCOMPARE(user.value(flagKey).toBool(), e.contains("flag"));
    if (e.contains("merged")) {
        const QVariantMap values{
            {"text", QStringLiteral("h\u00e9llo \u2192 world")},
            {"integer", qlonglong(42)},
            {"negative", qlonglong(-7)},
            {"large", qlonglong(1) << 40},
            {"real", 2.5},
            {"yes", true},
            {"date", QDateTime(QDate(2020, 5, 17), QTime(12, 30, 45), QTimeZone::utc())},
            {"data", QByteArray("\x00\x01\xfe", 3)},
            {"list", QVariantList{qlonglong(1), QStringLiteral("two"), QVariantList{3.5}}},
            {"dict", QVariantMap{{"inner", QStringLiteral("x")},
                                 {"deeper", QVariantMap{{"n", qlonglong(1)}}}}}};
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            QCOMPARE(ZelUserDefaults(id).value(it.key()), it.value());
    } else {
        QVERIFY(!user.contains(QStringLiteral("text")));
    }
    QCOMPARE(tree(support), source); // read, never changed
    QCOMPARE(tree(standard), e.contains("copied") ? source : standardBefore);
    QStringList data = QDir(dataHome).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                QDir::NoDotAndDotDot);
    QCOMPARE(data, QFileInfo(standard).exists() || QFileInfo(standard).isSymLink() ? QStringList{id}
                                                                                   : QStringList());
    const QString completed = migrated + QLatin1String("completed for ") + id;
    const QString failed = migrated + QLatin1String("failed for ") + id + QLatin1String(": ");
    if (e.contains("completed"))
        QCOMPARE(m_log, QStringList{completed});
    else if (e.contains("failed"))
        QVERIFY2(m_log.size() == 1 && m_log.first().startsWith(failed),
                 qPrintable(m_log.join('\n')));
    else
        QCOMPARE(m_log, QStringList());

    // The next launch: done once, whatever the container holds by then; tried again
    // after a failed copy.
    m_log.clear();
    if (e.contains("copied"))
        QVERIFY(QFile::remove(standard) || QDir(standard).removeRecursively());
    if (setup.isEmpty())
        fillSupport(support);
    ZelSandboxMigration::migrateFromContainerIfNeeded(s.value("id", id));
    if (e.contains("failed"))
        QVERIFY2(m_log.size() == 1 && m_log.first().startsWith(failed),
                 qPrintable(m_log.join('\n')));
    else
        QCOMPARE(m_log, QStringList());
    QCOMPARE(tree(standard), e.contains("copied") ? QStringList() : standardBefore);
}

// ZelDemo as a user runs it, twice: the first launch carries the container over, the
// second finds it done; each checks for updates at the address composed from --base-url
// and --id, and SIGTERM ends it cleanly even while the update dialog is up.
void tst_Services::demoMigratesOnceAndChecks()
{
#ifndef ZEL_DEMO
    QSKIP("ZelDemo is not built");
#else
    QTemporaryDir root;
    const QString appID = QStringLiteral("com.brannel.ZelDemo.mig");
    QVERIFY(writeFile(root.filePath("home/Library/Containers/" + appID +
                                    "/Data/Library/Application Support/" + appID + "/notes.txt"),
                      "carried over"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), root.filePath("home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath("config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath("data"));
    for (const QByteArray &reply : {manifest("99"), "<html>"_ba}) {
        m_server.serve(QStringLiteral("mig"), reply);
        const int before = m_server.requests(QStringLiteral("mig"));
        QProcess demo;
        demo.setProcessEnvironment(env);
        demo.start(QStringLiteral(ZEL_DEMO),
                   {"--id", "mig", "--base-url", m_server.base, "--check-for-updates"});
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requests(QStringLiteral("mig")), before + 1, 30000);
        ::kill(pid_t(demo.processId()), SIGTERM);
        QVERIFY(demo.waitForFinished(30000));
        QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(demo.exitCode(), 0);
        const QString err = QString::fromUtf8(demo.readAllStandardError());
        QCOMPARE(err.contains(migrated + QLatin1String("completed for ") + appID + u'\n'),
                 before == 0);
    }
    QCOMPARE(readFile(root.filePath("data/" + appID + "/notes.txt")), "carried over"_ba);
#endif
}

int main(int argc, char *argv[])
{
    if (const QByteArray which = qgetenv("ZEL_FATAL_CASE"); !which.isEmpty()) {
        runFatalCase(which);
        return 0;
    }
    QApplication app(argc, argv);
    tst_Services test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_services.moc"
