// The sibling services as a user and a sibling developer meet them: the configuration's
// addresses and fatal stop, the update check against a real HTTP server with its dialogs,
// the standard menu's items, the autostart entry a session reads and starts, the sandbox
// migration's files and defaults, and ZelDemo using them as a real process.
#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelLaunchAtLogin.h>
#include <ZelKit/ZelSandboxMigration.h>
#include <ZelKit/ZelStandardMenu.h>
#include <ZelKit/ZelUpdater.h>
#include <ZelKit/platform/ZelLog.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString flagKey = u"ZelKit.sandboxMigrated"_s;
const QString migrated = u"[ZelKit] Sandbox\u2192standard data migration "_s;
const QString download = u"https://downloads.example.invalid/Demo-2.zip?ref=a%20b#x"_s;
const QByteArray entry = "[Desktop Entry]\nType=Application\nName=X\nExec=x\n";

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
           "/autostart/"_L1 + QGuiApplication::desktopFileName() + ".desktop"_L1;
}

// Runs program to its end with this program's environment and the name=value pairs in vars.
bool finish(QProcess &process, const QString &program, const QStringList &args,
            const QStringList &vars = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &var : vars)
        env.insert(var.section(u'=', 0, 0), var.section(u'=', 1));
    process.setProcessEnvironment(env);
    process.start(program, args);
    return process.waitForFinished(30000);
}

QByteArray manifest(const QByteArray &version, const QByteArray &more = "")
{
    return R"({"version":")" + version + R"(","url":"http://e.invalid/x")" + more + "}";
}

// Everything at root as a user compares two copies: each file with its contents (and
// "x" when executable), each folder, each link with its target.
QStringList tree(const QString &root)
{
    if (QFileInfo(root).isFile() && !QFileInfo(root).isSymLink())
        return {QString::fromUtf8(readFile(root))};
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            out << name + " -> "_L1 + QDir(root).relativeFilePath(info.symLinkTarget());
        else
            out << name +
                       (info.isDir() ? u"/"_s
                                     : u' ' + QString::fromUtf8(readFile(info.filePath()))) +
                       (info.isExecutable() && !info.isDir() ? " x"_L1 : ""_L1);
    }
    out.sort();
    return out;
}

// Preferences written by another program: every property-list type, a key the user
// already has and one the system-wide domain has.
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
open(sys.argv[2], "wb").write(data)
)";
    return QProcess::execute(u"python3"_s, {u"-c"_s, QLatin1String(script), format, path}) == 0;
}

const QVariantMap plistValues{
    {"text", u"h\u00e9llo \u2192 world"_s},
    {"integer", qlonglong(42)},
    {"negative", qlonglong(-7)},
    {"large", qlonglong(1) << 40},
    {"real", 2.5},
    {"yes", true},
    {"date", QDateTime(QDate(2020, 5, 17), QTime(12, 30, 45), QTimeZone::utc())},
    {"data", QByteArray("\x00\x01\xfe", 3)},
    {"list", QVariantList{qlonglong(1), u"two"_s, QVariantList{3.5}}},
    {"dict", QVariantMap{{"inner", u"x"_s}, {"deeper", QVariantMap{{"n", qlonglong(1)}}}}}};

// Puts at path a support folder, a file, an empty folder, a link that leads nowhere, a
// link to a support folder beside it, bytes that are no property list, or a property list.
void make(const QString &path, const QString &kind)
{
    if (!kind.isEmpty())
        QDir().mkpath(QFileInfo(path).path());
    if (kind == u"folder") {
        QVERIFY(writeFile(path + "/library.db"_L1, "rows"));
        QVERIFY(writeFile(path + "/Themes/dark/theme.json"_L1, "{}"));
        QVERIFY(writeFile(path + "/run.sh"_L1, "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(path + "/run.sh"_L1, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(path + "/Empty"_L1));
        QVERIFY(QFile::link(u"Themes/dark"_s, path + "/current"_L1));
    } else if (kind == u"file" || kind == u"garbage")
        QVERIFY(writeFile(path, kind == u"file" ? "notes" : "<html>not a plist</html>\x01"));
    else if (kind == u"empty")
        QVERIFY(QDir().mkpath(path));
    else if (kind == u"dangling")
        QVERIFY(QFile::link(u"nowhere"_s, path));
    else if (kind == u"linked")
        QVERIFY(writeFile(path + ".to/notes"_L1, "n") && QFile::link(path + ".to"_L1, path));
    else if (!kind.isEmpty())
        QVERIFY(writePlist(kind, path));
}

} // namespace

static void addCheck(const char *name, const QByteArray &body, const QString &running,
                     const QString &shown, const QByteArray &status = "200", bool silent = false,
                     const char *press = "Later", const char *icon = "", int checks = 1)
{
    QTest::newRow(name) << body << status << running << silent << shown << press << icon << checks;
}

class tst_Services : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { m_opened << url.toString(QUrl::FullyEncoded); }

private slots:
    void initTestCase()
    {
        m_http.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_http.start(u"python3"_s, {ZEL_MANIFEST_SERVER, m_replies.path()});
        QTRY_VERIFY_WITH_TIMEOUT(!events().isEmpty(), 20000);
        m_base = "http://127.0.0.1:"_L1 + events().first().section(u' ', 1);
        // The browser: web addresses come here.
        QDesktopServices::setUrlHandler(u"http"_s, this, "open");
        QDesktopServices::setUrlHandler(u"https"_s, this, "open");
        ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
        // The system-wide defaults domain, kept away from the machine's own.
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_system.path());
        m_home = qgetenv("HOME");
        m_dataHome = qgetenv("XDG_DATA_HOME");
        Q_CLEANUP_RESOURCE(updater_icon);
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(u"http"_s);
        QDesktopServices::unsetUrlHandler(u"https"_s);
        m_http.kill();
        m_http.waitForFinished();
    }

    void init()
    {
        QGuiApplication::setDesktopFileName(u"com.brannel.ServicesTest"_s);
        QCoreApplication::setApplicationVersion(QString());
        const QString autostart = QFileInfo(autostartEntry()).path();
        QFile::remove(autostart);
        QDir(autostart).removeRecursively();
        m_log.clear();
        m_opened.clear();
    }

    void cleanup()
    {
        qputenv("HOME", m_home);
        qputenv("XDG_DATA_HOME", m_dataHome);
    }

    void addresses_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("id");       // empty: no configuration is asked for
        QTest::addColumn<QString>("expected"); // versionURL moreAppsURL, or why the process stops
        const auto row = [](const char *name, const char *base, const char *id,
                            const char *expected) {
            QTest::newRow(name) << base << id << expected;
        };
        row("plain", "https://apps.example.com", "notes",
            "https://apps.example.com/notes/version.json "
            "https://apps.example.com/our-apps/?ref=notes");
        row("trailing slash kept", "https://apps.example.com/", "notes",
            "https://apps.example.com//notes/version.json "
            "https://apps.example.com//our-apps/?ref=notes");
        row("file address without a host", "file:///srv/zel", "notes",
            "file:///srv/zel/notes/version.json file:///srv/zel/our-apps/?ref=notes");
        row("stops: id with a space", "https://example.invalid", "my notes",
            "\"https://example.invalid/my notes/version.json\"");
        row("stops: relative base", "example.invalid/apps", "notes",
            "\"example.invalid/apps/notes/version.json\"");
        row("stops: require before configure", "", "",
            "Fatal error: ZelApp.configure(_:) must be called before ZelHubClient.start.\n");
    }

    // Each stop is a programming error, so it is met in a child run of this program.
    void addresses()
    {
        QFETCH(QString, base);
        QFETCH(QString, id);
        QFETCH(QString, expected);
        if (!QByteArray(QTest::currentDataTag()).startsWith("stops: ")) {
            const ZelAppConfig config{id, u"Notes"_s, base};
            QCOMPARE(config.versionURL().toString() + u' ' + config.moreAppsURL().toString(),
                     expected);
            return;
        }
        QProcess child;
        QVERIFY(finish(child, QCoreApplication::applicationFilePath(), {},
                       {"ZEL_CHILD=stop", "ZEL_CHILD_BASE=" + base, "ZEL_CHILD_ID=" + id}));
        const QString err = QString::fromUtf8(child.readAllStandardError());
        QVERIFY2(err.startsWith("ZelKit/ZelApp:"_L1) && err.contains(expected), qPrintable(err));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(child.exitCode(), SIGABRT);
    }

    void configureReplaces()
    {
        QVERIFY(!ZelApp::config());
        const ZelAppConfig first{"notes", "Notes", "https://a.example"};
        const ZelAppConfig second{"clock", "Clock", "https://b.example"};
        ZelApp::configure(first);
        QCOMPARE(ZelApp::config(), std::optional<ZelAppConfig>(first));
        ZelApp::configure(second);
        QCOMPARE(ZelApp::requireConfig("test"), second);
    }

    void check_data();
    void check()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, status);
        QFETCH(QString, running);
        QFETCH(bool, silent);
        QFETCH(QString, shown);
        QFETCH(QString, press);
        QFETCH(QString, icon);
        QFETCH(int, checks);
        static int rows = 0;
        const QString id = u"check%1"_s.arg(++rows);
        serve(id, body, status);
        QCoreApplication::setApplicationVersion(running);
        QString base;
        if (status == "refused") {
            QTcpServer closed; // a port that was free a moment ago
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            base = u"http://127.0.0.1:%1"_s.arg(closed.serverPort());
        }
        if (icon == u"app")
            Q_INIT_RESOURCE(updater_icon);
        QPixmap red(32, 32);
        red.fill(Qt::red);
        QApplication::setWindowIcon(icon.isEmpty() ? QIcon() : QIcon(red));
        QElapsedTimer clock;
        clock.start();
        runCheck(id, silent, press, checks, base);
        if (icon == u"app")
            Q_CLEANUP_RESOURCE(updater_icon);
        QApplication::setWindowIcon(QIcon());
        if (status == "hang")
            QVERIFY2(clock.elapsed() >= 4500, qPrintable(QString::number(clock.elapsed())));
        if (status == "hang" || status == "endless") // the check let go of the connection
            QTRY_VERIFY_WITH_TIMEOUT(events().contains("closed "_L1 + id), 20000);
        QTRY_COMPARE(requests(id), status == "refused" ? 0 : checks);
        QStringList expected;
        if (shown == u"You're running the latest version.")
            expected << "Demo is up to date | "_L1 + shown + " | [OK]"_L1;
        else if (!shown.isEmpty())
            expected = QStringList(checks, "Demo update available | "_L1 + shown +
                                               " | [Download Update] Later"_L1);
        QCOMPARE(m_shown, expected);
        if (!icon.isEmpty())
            QCOMPARE(m_icons.first(), icon == u"app" ? QColor(Qt::green) : QColor(Qt::red));
        QCOMPARE(m_opened, press == u"Later" ? QStringList() : QStringList(checks, download));
    }

    void menu_data()
    {
        // Words of setup: host (an item of the host's first), prefs (a preferences callback),
        // login (the launch-at-login item), on (the entry there before), elsewhere (the entry
        // written after the menu was built), unwritable (a folder where the entry belongs),
        // host-updater, gone (the menu object let go), amp (the name "Salt & Pepper").
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("click");        // "": none, "*": every item
        QTest::addColumn<QStringList>("expected"); // the menu as read, or what the click did
        const QString prefs = u"Preferences\u2026 Ctrl+,"_s, check = u"Check for Updates\u2026"_s;
        const QString more = u"More from Brannel IT"_s, quit = u"Quit Demo Ctrl+Q"_s;
        const QString login = u"Launch at Login"_s;
        const auto row = [](const char *name, const char *setup, const QString &click,
                            const QStringList &expected) {
            QTest::newRow(name) << QString::fromUtf8(setup) << click << expected;
        };
        row("empty menu: the bare block", "", "", {check, more, "-", quit});
        row("preferences first, launch at login off", "prefs login", "",
            {prefs, check, more, "-", login + " [ ]", "-", quit});
        row("after the host's items a separator, launch at login on", "host login on", "",
            {"Open Demo", "-", check, more, "-", login + " [x]", "-", quit});
        row("a name with an ampersand", "amp", "", {check, more, "-", "Quit Salt & Pepper Ctrl+Q"});
        row("Preferences\u2026 calls the host", "prefs login", u"Preferences\u2026"_s,
            {"preferences", "[ ]"});
        row("Check for Updates\u2026 asks for its own manifest", "login", check,
            {"request /notes/version.json", "[ ]"});
        row("Check for Updates\u2026 through the host's updater", "login host-updater", check,
            {"request /other/version.json", "[ ]"});
        row("More from Brannel IT opens the page", "login", more,
            {"open BASE/our-apps/?ref=notes", "[ ]"});
        row("Launch at Login turns it on", "login", login, {"entry", "[x]"});
        row("Launch at Login turns it off", "login on", login, {"[ ]"});
        row("Launch at Login starts from a change made elsewhere", "login elsewhere", login,
            {"[ ]"});
        row("Launch at Login stays off when the entry cannot be written", "login unwritable", login,
            {"[ ]", "[ZelKit] Launch at login error: \u2026"});
        row("Quit Demo ends the event loop", "login", u"Quit Demo"_s, {"quit", "[ ]"});
        // Qt flips a checkable item's mark itself; nothing else may happen.
        row("items outliving the menu object do nothing", "prefs login gone", u"*"_s, {"[x]"});
    }

    void menu()
    {
        QFETCH(QString, setup);
        QFETCH(QString, click);
        QFETCH(QStringList, expected);
        const QStringList words = setup.split(u' ');
        if (words.contains("on"))
            QVERIFY(writeFile(autostartEntry(), entry));
        if (words.contains("unwritable"))
            QVERIFY(QDir().mkpath(autostartEntry()));
        QStringList seen;
        QMenu menu;
        if (words.contains("host"))
            menu.addAction(u"Open Demo"_s);
        auto standard = std::make_unique<ZelStandardMenu>(
            ZelAppConfig{"notes", words.contains("amp") ? "Salt & Pepper" : "Demo", m_base},
            words.contains("host-updater") ? ZelUpdater::create({"other", "Other", m_base})
                                           : nullptr,
            words.contains("prefs") ? std::function<void()>([&seen] { seen << "preferences"; })
                                    : nullptr);
        standard->append(&menu, words.contains("login"));
        const std::weak_ptr<ZelUpdater> updater = standard->updater();
        if (words.contains("elsewhere"))
            QVERIFY(writeFile(autostartEntry(), entry));
        if (words.contains("gone"))
            standard.reset();
        const qsizetype before = events().size();
        QAction *login = nullptr;
        for (QAction *action : menu.actions()) {
            login = action->iconText() == u"Launch at Login" ? action : login;
            if (click == u"*" || (action->iconText() == click && !click.startsWith("Quit"_L1))) {
                action->trigger();
            } else if (action->iconText() == click) {
                QTimer::singleShot(0, action, &QAction::trigger);
                QTimer wentNowhere; // only a quit that went nowhere waits for this
                connect(&wentNowhere, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
                wentNowhere.start(20000);
                if (QApplication::exec() == 0)
                    seen << "quit";
            }
        }
        QStringList shown;
        for (const QAction *a : menu.actions()) {
            shown << (a->isSeparator() ? u"-"_s : a->iconText());
            if (!a->shortcut().isEmpty())
                shown.last() += u' ' + a->shortcut().toString(QKeySequence::PortableText);
            if (a->isCheckable())
                shown.last() += a->isChecked() ? " [x]"_L1 : " [ ]"_L1;
        }
        if (click.isEmpty()) {
            QCOMPARE(shown, expected);
            return;
        }
        if (words.contains("gone"))
            QVERIFY(updater.expired()); // no check holds it
        const auto effects = [&] {
            QStringList out = seen + events().mid(before);
            for (const QString &url : std::as_const(m_opened))
                out << "open "_L1 + QString(url).replace(m_base, "BASE"_L1);
            if (QFileInfo(autostartEntry()).isFile())
                out << u"entry"_s;
            out << (login->isChecked() ? u"[x]"_s : u"[ ]"_s);
            for (const QString &line : std::as_const(m_log))
                out << line.left(line.indexOf(": "_L1) + 2) + u'\u2026';
            return out;
        };
        QTRY_COMPARE_WITH_TIMEOUT(effects(), expected, 20000);
    }

    void launchAtLogin_data()
    {
        QTest::addColumn<QByteArray>("before"); // the entry's contents, or an obstacle in <>
        QTest::addColumn<QString>("set");       // "on", "off" or nothing
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("logged");
        auto row = [](const char *name, const QByteArray &before, const char *set, bool enabled,
                      bool logged = false) {
            QTest::newRow(name) << before << set << enabled << logged;
        };
        row("no entry", "", "", false);
        row("plain entry", entry, "", true);
        row("Hidden=true", entry + "Hidden=true\n", "", false);
        row("Hidden=false", entry + "Hidden=false\n", "", true);
        row("X-GNOME-Autostart-enabled=false", entry + "X-GNOME-Autostart-enabled=false\n", "",
            false);
        row("Hidden=true in another group",
            entry + "[Desktop Action x]\nName=Y\nExec=y\nHidden=true\n", "", true);
        row("no [Desktop Entry] group", "Exec=x\n", "", false);
        row("on writes the entry", "", "on", true);
        row("on over a switched-off entry", entry + "Hidden=true\n", "on", true);
        row("off removes the entry", entry, "off", false);
        row("off without an entry", "", "off", false);
        row("on, the entry a folder", "<folder>", "on", false, true);
        row("off, the entry a folder", "<folder>", "off", false, true);
        row("on, the autostart folder a file", "<file>", "on", false, true);
        row("on without an application id", "<no id>", "on", false, true);
    }

    // Read afresh at every call: a change made behind its back shows at once.
    void launchAtLogin()
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
            QVERIFY2(m_log.first().startsWith("[ZelKit] Launch at login error: "_L1) &&
                         !m_log.first().endsWith(": "_L1),
                     qPrintable(m_log.first()));
        if (enabled) {
            QFile::remove(autostartEntry());
            QVERIFY(!ZelLaunchAtLogin::isEnabled());
        }
    }

    void autostartStartsTheProgram_data()
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

    // A copy of this program, run from a folder of that name, turns launch at login on: the
    // entry passes the freedesktop validator, and GLib's launcher, which desktop sessions
    // use for autostart entries, starts exactly that copy from it.
    void autostartStartsTheProgram()
    {
        QFETCH(QString, folder);
        QFETCH(bool, glibStarts);
        QTemporaryDir root;
        const QString program = root.filePath(folder) + "/tst_services"_L1;
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        QGuiApplication::setDesktopFileName(u"com.brannel.LaunchProbe"_s);
        QProcess child;
        QVERIFY(finish(child, program, {}, {u"ZEL_CHILD=launch at login"_s}));
        QVERIFY(QFileInfo(autostartEntry()).isFile());

        child.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(finish(child, u"desktop-file-validate"_s, {autostartEntry()}));
        QCOMPARE(child.readAll() + QByteArray::number(child.exitCode()), "0"_ba);
        if (!glibStarts)
            return;
        QVERIFY(finish(child, u"gio"_s, {u"launch"_s, autostartEntry()},
                       {"ZEL_CHILD=" + root.filePath(u"started"_s)}));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(root.filePath(u"started"_s))),
                                  QFileInfo(program).canonicalFilePath(), 20000);
    }

    void migration_data()
    {
        // The container holds preferences when prefs= is given, support data when support=
        // is given, and is not there without either. standard= puts something where the copy
        // would go; data= is $XDG_DATA_HOME in the home folder; id= replaces the bundle id.
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
        row("not a property list", "prefs=garbage support=folder", "copied flag completed");
        row("preferences an array", "prefs=array support=folder", "copied flag completed");
        row("a folder for preferences", "prefs=empty support=folder", "copied flag completed");
        row("support a dangling link", "prefs=xml support=dangling", "merged flag completed");
        row("support a plain file", "prefs=xml support=file", "merged copied flag completed");
        row("support a link to a folder", "support=linked", "copied flag completed");
        row("standard support an empty folder", "support=folder standard=empty", "flag completed");
        row("standard support a dangling link", "support=folder standard=dangling",
            "flag completed");
        row("data folder not there yet", "support=folder data=not/yet/share",
            "copied flag completed");
        row("copy fails: tried again next launch", "prefs=xml support=folder data=file/share",
            "merged failed");
        row("bundle id ..", "id=.. prefs=xml support=folder", "");
        row("bundle id with a slash", "id=../../escape prefs=xml support=folder", "");
    }

    void migration()
    {
        QFETCH(QString, setup);
        QFETCH(QString, expected);
        QMap<QString, QString> s;
        for (const QString &word : setup.split(u' ', Qt::SkipEmptyParts))
            s.insert(word.section(u'=', 0, 0), word.section(u'=', 1));
        const QStringList e = expected.split(u' ', Qt::SkipEmptyParts);
        static int rows = 0;
        const QString id = u"com.brannel.Migrating%1"_s.arg(++rows);
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

        make(prefs, s.value("prefs"));
        make(support, s.value("support"));
        make(standard, s.value("standard"));
        if (s.value("data").startsWith("file/"_L1))
            make(home.filePath("file"), u"file"_s);
        ZelUserDefaults defaults(id);
        defaults.setValue(u"kept"_s, u"the user's own"_s);
        if (s.contains("flagged"))
            defaults.setBool(flagKey, true);
        QVERIFY(defaults.sync());
        QSettings(QSettings::IniFormat, QSettings::SystemScope, id)
            .setValue(u"systemKept"_s, u"the system's"_s);
        const QStringList source = tree(support), standardBefore = tree(standard);

        ZelSandboxMigration::migrateFromContainerIfNeeded(s.value("id", id));

        // Only keys that have no value in any domain are copied, with their values as read.
        QVariantMap defaultsNow, defaultsExpected{{"kept", u"the user's own"_s}};
        QSettings user(QSettings::IniFormat, QSettings::UserScope, id);
        user.setFallbacksEnabled(false);
        for (const QString &key : user.allKeys())
            defaultsNow.insert(key, user.value(key));
        if (e.contains("flag"))
            defaultsExpected.insert(flagKey, true);
        if (e.contains("merged"))
            defaultsExpected.insert(plistValues);
        QCOMPARE(defaultsNow, defaultsExpected);
        QCOMPARE(tree(support), source); // read, never changed
        QCOMPARE(tree(standard), e.contains("copied") ? source : standardBefore);
        const bool there = QFileInfo(standard).exists() || QFileInfo(standard).isSymLink();
        QCOMPARE(QDir(dataHome).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                          QDir::NoDotAndDotDot),
                 there ? QStringList{id} : QStringList()); // nothing half-copied beside it
        // Each line up to the reason a copy failed.
        const auto logged = [this] {
            QStringList lines;
            for (const QString &line : std::as_const(m_log))
                lines << line.section(": "_L1, 0, 0);
            return lines;
        };
        QStringList log;
        if (e.contains("completed") || e.contains("failed"))
            log << migrated + (e.contains("failed") ? "failed"_L1 : "completed"_L1) + " for "_L1 +
                       id;
        QCOMPARE(logged(), log);

        // The next launch: done once, whatever the container holds by then; tried again after
        // a failed copy.
        m_log.clear();
        if (e.contains("copied"))
            QVERIFY(QFile::remove(standard) || QDir(standard).removeRecursively());
        make(support, setup.isEmpty() ? u"folder"_s : QString());
        ZelSandboxMigration::migrateFromContainerIfNeeded(s.value("id", id));
        QCOMPARE(logged(), e.contains("failed") ? log : QStringList());
        QCOMPARE(tree(standard), e.contains("copied") ? QStringList() : standardBefore);
    }

    // ZelDemo as a user runs it: a relative --base-url is refused; then twice, the first
    // launch carries the container over and the second finds it done, each checks for updates
    // at the address composed from --base-url and --id, and SIGTERM ends it cleanly even
    // while the update dialog is up.
    void demoMigratesOnceAndChecks()
    {
#ifndef ZEL_DEMO
        QSKIP("ZelDemo is not built");
#else
        QProcess demo;
        QVERIFY(finish(demo, QStringLiteral(ZEL_DEMO), {u"--base-url"_s, u"service/zel"_s}));
        QVERIFY(demo.readAllStandardError().contains(
            "ZelDemo: --base-url must be an absolute address"));
        QCOMPARE(demo.exitCode(), 2);

        QTemporaryDir root;
        const QString appID = u"com.brannel.ZelDemo.mig"_s;
        QVERIFY(
            writeFile(root.filePath("home/Library/Containers/" + appID +
                                    "/Data/Library/Application Support/" + appID + "/notes.txt"),
                      "carried over"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, root.filePath("home"));
        env.insert(u"XDG_CONFIG_HOME"_s, root.filePath("config"));
        env.insert(u"XDG_DATA_HOME"_s, root.filePath("data"));
        demo.setProcessEnvironment(env);
        for (const QByteArray &reply : {manifest("99"), "<html>"_ba}) {
            serve(u"mig"_s, reply);
            const int before = requests(u"mig"_s);
            demo.start(QStringLiteral(ZEL_DEMO),
                       {"--id", "mig", "--base-url", m_base, "--check-for-updates"});
            QTRY_COMPARE_WITH_TIMEOUT(requests(u"mig"_s), before + 1, 30000);
            ::kill(pid_t(demo.processId()), SIGTERM);
            QVERIFY(demo.waitForFinished(30000));
            QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
            QCOMPARE(demo.exitCode(), 0);
            const QString err = QString::fromUtf8(demo.readAllStandardError());
            QCOMPARE(err.contains(migrated + "completed for "_L1 + appID + u'\n'), before == 0);
        }
        QCOMPARE(readFile(root.filePath("data/" + appID + "/notes.txt")), "carried over"_ba);
#endif
    }

private:
    // The manifest server: a real HTTP server on 127.0.0.1 (manifest_server.py) answering
    // each id from a folder of replies.
    void serve(const QString &id, const QByteArray &body, const QByteArray &status = "200")
    {
        writeFile(m_replies.filePath(id + "/body"_L1), body);
        writeFile(m_replies.filePath(id + "/status"_L1), status);
    }

    QStringList events()
    {
        m_httpOut += m_http.readAllStandardOutput();
        return QString::fromUtf8(m_httpOut).split(u'\n', Qt::SkipEmptyParts);
    }

    int requests(const QString &id)
    {
        return int(events().count("request /"_L1 + id + "/version.json"_L1));
    }

    // One check with the updater let go at once, as an owner may: the check holds it
    // until it is over, which is when this returns. Each message box that comes up is
    // answered with the button named press and noted as "text | informative | buttons",
    // the default button in brackets.
    void runCheck(const QString &id, bool silent, const QString &press, int checks = 1,
                  const QString &base = QString())
    {
        m_shown.clear();
        m_icons.clear();
        QList<QPointer<QMessageBox>> answered; // a later box may take a gone one's address
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, [&] {
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
            const auto *label = box->findChild<QLabel *>(u"qt_msgbox_informativelabel"_s);
            m_shown << box->text() + " | "_L1 + box->informativeText() + " | "_L1 +
                           buttons.join(u' ') +
                           (label->textFormat() == Qt::PlainText ? ""_L1 : " (rich text)"_L1);
            const QImage icon = box->iconPixmap().toImage();
            m_icons << icon.pixelColor(icon.width() / 2, icon.height() / 2);
            chosen ? chosen->click() : box->reject();
        });
        watcher.start(10);
        auto updater = ZelUpdater::create({id, "Demo", base.isEmpty() ? m_base : base});
        const std::weak_ptr<ZelUpdater> alive = updater;
        for (int i = 0; i < checks; ++i)
            updater->checkForUpdates(silent);
        updater.reset();
        QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), 30000);
    }

    QProcess m_http;
    QTemporaryDir m_replies, m_system;
    QString m_base;
    QByteArray m_httpOut, m_home, m_dataHome;
    QStringList m_log, m_opened, m_shown;
    QList<QColor> m_icons;
};

void tst_Services::check_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("status"); // or "hang", "endless", "refused"
    QTest::addColumn<QString>("running");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("shown"); // the informative text of each dialog; "": none
    QTest::addColumn<QString>("press");
    QTest::addColumn<QString>("icon"); // the dialog's with the AppIcon, the window's, or unchecked
    QTest::addColumn<int>("checks");
    const QString latest = u"You're running the latest version."_s;
    const QString v2 = u"Version 2 is available."_s;
    addCheck("1.10 is newer than 1.9", manifest("1.10"), "1.9", "Version 1.10 is available.");
    addCheck("1.9 is older than 1.10", manifest("1.9"), "1.10", latest);
    addCheck("1.2.0 is newer than 1.2", manifest("1.2.0"), "1.2", "Version 1.2.0 is available.");
    addCheck("1.2 is older than 1.2.0", manifest("1.2"), "1.2.0", latest);
    addCheck("1.2b is newer than 1.2a", manifest("1.2b"), "1.2a", "Version 1.2b is available.");
    addCheck("1.2B is older than 1.2a", manifest("1.2B"), "1.2a", latest);
    addCheck("1.2 equals 1.2", manifest("1.2"), "1.2", latest);
    addCheck("1.009 is older than 1.10", manifest("1.009"), "1.10", latest);
    addCheck("numbers beyond 64 bits", manifest("1.99999999999999999999"), "1.99999999999999999998",
             "Version 1.99999999999999999999 is available.");
    addCheck("no running version: 1.0.1 is newer", manifest("1.0.1"), "",
             "Version 1.0.1 is available.");
    addCheck("no running version: 1.0 is up to date", manifest("1.0"), "", latest);
    addCheck("silent: newer is shown", manifest("2"), "1", v2, "200", true);
    addCheck("silent: equal says nothing", manifest("1"), "1", "", "200", true);
    addCheck("release notes", manifest("2", R"(,"notes":"Faster sync.")"), "1",
             "Version 2 is available.\n\nRelease notes: Faster sync.");
    addCheck("notes null", manifest("2", R"(,"notes":null)"), "1", v2);
    addCheck("notes empty", manifest("2", R"(,"notes":"")"), "1", v2);
    addCheck("notes with markup stay text", manifest("2", R"(,"notes":"<a href='file:///'>x</a>")"),
             "1", "Version 2 is available.\n\nRelease notes: <a href='file:///'>x</a>");
    addCheck("500 with a valid manifest", manifest("2"), "1", v2, "500");
    addCheck("a manifest of 64 KiB", manifest("2") + QByteArray(64 << 10, ' '), "1", v2);
    addCheck("a reply of 20 MB", manifest("2") + QByteArray(20 << 20, ' '), "1", "");
    addCheck("404 with an HTML page", "<html><body>Not Found</body></html>", "1", "", "404");
    addCheck("version a number", R"({"version":2,"url":"http://e.invalid/x"})", "1", "");
    addCheck("url a number", R"({"version":"9","url":5})", "1", "");
    addCheck("url unparseable", R"({"version":"9","url":"http://[::1/x"})", "1", "");
    addCheck("url a file", R"({"version":"9","url":"file:///etc/passwd"})", "1", "");
    addCheck("top level an array", "[" + manifest("9") + "]", "1", "");
    addCheck("empty body", "", "1", "");
    addCheck("no answer: ends after 5 s", manifest("9"), "1", "", "hang");
    addCheck("an endless reply", manifest("9"), "1", "", "endless");
    addCheck("connection refused", manifest("9"), "1", "", "refused");
    const QByteArray dialog = R"({"version":"2","url":")" + download.toUtf8() + "\"}";
    addCheck("Download Update opens the address; AppIcon", dialog, "", v2, "200", false,
             "Download Update", "app");
    addCheck("Later opens nothing; no AppIcon: the window icon", dialog, "", v2, "200", false,
             "Later", "window");
    addCheck("two checks, two dialogs", dialog, "", v2, "200", false, "Download Update", "window",
             2);
}

int main(int argc, char *argv[])
{
    // Child runs of this program: a copy that turns launch at login on, that copy started
    // from its entry (noting where it runs in the file named), or one of the stops of
    // addresses().
    if (const QString child = qEnvironmentVariable("ZEL_CHILD"); !child.isEmpty()) {
        QCoreApplication app(argc, argv);
        QFile out(child);
        if (child == u"launch at login") {
            QGuiApplication::setDesktopFileName(u"com.brannel.LaunchProbe"_s);
            ZelLaunchAtLogin::setEnabled(true);
        } else if (child.startsWith(u'/') && out.open(QIODevice::WriteOnly)) {
            out.write(QCoreApplication::applicationFilePath().toUtf8());
        } else if (const QString id = qEnvironmentVariable("ZEL_CHILD_ID"); id.isEmpty()) {
            ZelApp::requireConfig("ZelHubClient.start");
        } else {
            ZelAppConfig{id, "Notes", qEnvironmentVariable("ZEL_CHILD_BASE")}.versionURL();
        }
        return 0;
    }
    QApplication app(argc, argv);
    tst_Services test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_services.moc"
