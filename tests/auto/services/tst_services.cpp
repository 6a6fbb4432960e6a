// The sibling services as a user and a sibling developer meet them: the configuration's
// fatal stops, the update check against a real HTTP server with its dialogs, the standard
// menu's items and the launch-at-login entry behind its mark, the entry a session starts,
// the sandbox migration's files and defaults, and ZelDemo using them as a real process.
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
const QString latest = u"Demo is up to date | You're running the latest version. | [OK]"_s;
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

// Runs program (to its end, unless told not to wait) with this program's environment, the
// name=value pairs in vars taking the place of its own.
bool finish(QProcess &process, const QString &program, const QStringList &args,
            const QStringList &vars = {}, bool wait = true)
{
    process.setEnvironment(QProcess::systemEnvironment() + vars);
    process.start(program, args);
    return !wait || process.waitForFinished(30000);
}

QByteArray manifest(const QByteArray &version, const QByteArray &more = "")
{
    return R"({"version":")" + version + R"(","url":"http://e.invalid/x")" + more + "}";
}

// Everything at root as a user compares two copies, a link at root followed: each entry
// with its type, link target, permissions and size.
QStringList tree(const QString &root)
{
    QProcess find;
    find.setStandardErrorFile(QProcess::nullDevice());
    find.start(u"find"_s, {u"-H"_s, root, u"-printf"_s, u"%P %y %l %m %s\n"_s});
    find.waitForFinished();
    QStringList out = QString::fromUtf8(find.readAllStandardOutput()).split(u'\n');
    out.sort();
    return out;
}

// Puts at $1 what $2 names: a support folder, a file, an empty folder, a link that leads
// nowhere, a link to a support folder beside it, bytes that are no property list, or
// preferences written by another program in XML, binary or as an array: every
// property-list type, a key the user already has and one the system-wide domain has.
const char makeScript[] = R"sh(p=$1; [ -n "$2" ] && mkdir -p "$(dirname "$p")"; case $2 in
folder) mkdir -p "$p/Themes/dark" "$p/Empty" && echo rows >"$p/library.db" &&
  echo {} >"$p/Themes/dark/theme.json" && echo '#!/bin/sh' >"$p/run.sh" &&
  chmod 500 "$p/run.sh" && ln -s Themes/dark "$p/current";;
file) echo notes >"$p";; garbage) echo '<html>not a plist</html>' >"$p";; empty) mkdir "$p";;
dangling) ln -s nowhere "$p";; linked) mkdir "$p.to" && echo n >"$p.to/n" && ln -s "$p.to" "$p";;
?*) exec python3 -c '
import datetime, plistlib, sys
values = {"list": [-7, 2**40, 2.5, True, "h\u00e9llo \u2192"], "data": b"\x00\x01\xfe",
  "date": datetime.datetime(2020, 5, 17, 12, 30, 45), "dict": {"deeper": {"n": 1}},
  "kept": "from the container", "systemKept": "from the container"}
open(sys.argv[2], "wb").write(plistlib.dumps([1, 2] if sys.argv[1] == "array" else values,
  fmt=plistlib.FMT_XML if sys.argv[1] == "xml" else plistlib.FMT_BINARY))' "$2" "$p";; esac)sh";

void make(const QString &path, const QString &kind)
{
    QCOMPARE(QProcess::execute(u"sh"_s, {u"-c"_s, makeScript, u"sh"_s, path, kind}), 0);
}

const QVariantMap plistValues{
    {"list", QVariantList{qlonglong(-7), qlonglong(1) << 40, 2.5, true, u"h\u00e9llo \u2192"_s}},
    {"data", QByteArray("\x00\x01\xfe", 3)},
    {"date", QDateTime(QDate(2020, 5, 17), QTime(12, 30, 45), QTimeZone::utc())},
    {"dict", QVariantMap{{"deeper", QVariantMap{{"n", qlonglong(1)}}}}}};

} // namespace

class tst_Services : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { m_opened << url.toString(QUrl::FullyEncoded); }

    // The user: each message box that comes up is answered with the button m_press names
    // and noted as "text | informative | buttons", the default in brackets.
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || m_answered.contains(box))
            return;
        m_answered << box;
        QStringList buttons;
        QAbstractButton *chosen = nullptr;
        for (QAbstractButton *b : box->buttons()) {
            buttons << (b == box->defaultButton() ? u'[' + b->text() + u']' : b->text());
            chosen = b->text() == m_press ? b : chosen;
        }
        const auto *label = box->findChild<QLabel *>(u"qt_msgbox_informativelabel"_s);
        m_shown << box->text() + " | "_L1 + box->informativeText() + " | "_L1 + buttons.join(u' ') +
                       (label->textFormat() == Qt::PlainText ? ""_L1 : " (rich text)"_L1);
        chosen ? chosen->click() : box->reject();
    }

private slots:
    void initTestCase()
    {
        m_http.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_http.start(u"python3"_s, {ZEL_MANIFEST_SERVER, m_replies.path()});
        QTRY_VERIFY_WITH_TIMEOUT(!events().isEmpty(), 20000);
        m_base = "http://127.0.0.1:"_L1 + events().first().section(u' ', 1);
        for (const QString &id : {u"notes"_s, u"other"_s})
            serve(id, manifest("1.0"));
        // The browser: web addresses come here.
        QDesktopServices::setUrlHandler(u"http"_s, this, "open");
        QDesktopServices::setUrlHandler(u"https"_s, this, "open");
        ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
        // The system-wide defaults domain, kept away from the machine's own.
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_system.path());
        connect(&m_user, &QTimer::timeout, this, &tst_Services::answer);
        m_user.start(10);
    }

    void cleanupTestCase() { m_http.kill(); }

    void init()
    {
        QGuiApplication::setDesktopFileName(u"com.brannel.ServicesTest"_s);
        QCoreApplication::setApplicationVersion(QString());
        QDir(QFileInfo(autostartEntry()).path()).removeRecursively();
        m_log = m_opened = m_shown = {};
    }

    void child_data()
    {
        QTest::addColumn<QString>("run");  // a base and id, empty, or "launch at login"
        QTest::addColumn<QString>("stop"); // what it stops with; empty: it writes the entry
        QTest::newRow("relative base")
            << u"example.invalid/apps notes"_s << u"\"example.invalid/apps/notes/version.json\""_s;
        QTest::newRow("require before configure")
            << QString()
            << "Fatal error: ZelApp.configure(_:) must be called before ZelHubClient.start.\n";
        QTest::newRow("launch at login") << u"launch at login"_s << QString();
    }

    // A copy of this program, run in a child process from a folder named with quotes, shell
    // characters, non-ASCII and a tab: programming errors stop it; turning launch at login on
    // writes an entry that passes the freedesktop validator, from which GLib's launcher,
    // which desktop sessions use for autostart entries, starts exactly that copy.
    void child()
    {
        QFETCH(QString, run);
        QFETCH(QString, stop);
        QTemporaryDir root;
        const QString program =
            root.filePath("say \"hi\" `id` $HOME back\\slash a;b&c|d<e>f*g?h#i(j)k'l~m \u00b7 "
                          "\u2713\tx/tst_services");
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
        QGuiApplication::setDesktopFileName(u"com.brannel.LaunchProbe"_s);
        QProcess child;
        QVERIFY(finish(child, program, {}, {"ZEL_CHILD=" + run}));
        const QString err = QString::fromUtf8(child.readAllStandardError());
        if (!stop.isEmpty()) {
            QVERIFY2(err.startsWith("ZelKit/ZelApp:"_L1) && err.contains(stop), qPrintable(err));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            QCOMPARE(child.exitCode(), SIGABRT);
            return;
        }
        child.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY(finish(child, u"desktop-file-validate"_s, {autostartEntry()}));
        QCOMPARE(child.readAll() + QByteArray::number(child.exitCode()), "0"_ba);
        QVERIFY(finish(child, u"gio"_s, {u"launch"_s, autostartEntry()},
                       {"ZEL_CHILD=" + root.filePath(u"started"_s)}));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(root.filePath(u"started"_s))),
                                  QFileInfo(program).canonicalFilePath(), 20000);
    }

    void check_data();
    // One row, one updater let go at once as an owner may: the check holds it until it is
    // over.
    void check()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, how); // the status or "hang"; silent, download
        QFETCH(QString, running);
        QFETCH(QString, shown);
        const QByteArray status = how.section(u' ', 0, 0).toLatin1();
        const QString id = QString::number(qHash(QByteArray(QTest::currentDataTag())));
        serve(id, body, status);
        QCoreApplication::setApplicationVersion(running);
        m_press = how.contains("download"_L1) ? u"Download Update"_s : u"Later"_s;
        QElapsedTimer clock;
        clock.start();
        auto updater = ZelUpdater::create({id, "Demo", m_base});
        const std::weak_ptr<ZelUpdater> alive = updater;
        updater->checkForUpdates(how.contains("silent"_L1));
        updater.reset();
        QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), 30000);
        if (status == "hang") { // the check gave up and let go of the connection
            QVERIFY2(clock.elapsed() >= 4500, qPrintable(QString::number(clock.elapsed())));
            QTRY_VERIFY_WITH_TIMEOUT(events().contains("closed "_L1 + id), 20000);
        }
        QTRY_COMPARE(requests(id), 1);
        const QString box = shown == u"latest" ? latest
                                               : "Demo update available | "_L1 + shown +
                                                     " | [Download Update] Later"_L1;
        QCOMPARE(m_shown, shown.isEmpty() ? QStringList() : QStringList{box});
        QCOMPARE(m_opened, how.contains("download"_L1) ? QStringList{download} : QStringList());
    }

    void menu_data()
    {
        // Words of setup: host (an item of the host's first), prefs (a preferences callback),
        // login (the launch-at-login item), elsewhere (the entry written after the menu was
        // built), host-updater, amp (the name "Salt & Pepper").
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("before");    // the entry's contents, or an obstacle in <>
        QTest::addColumn<QString>("click");        // "": none, the menu is read
        QTest::addColumn<QStringList>("expected"); // the menu as read, or what came of it
        const QString prefs = u"Preferences\u2026"_s, check = u"Check for Updates\u2026"_s;
        const QString more = u"More from Brannel IT"_s, login = u"Launch at Login"_s;
        const QString error = u"[ZelKit] Launch at login error: \u2026"_s;
        const auto row = [](const char *name, const char *setup, const QByteArray &before,
                            const QString &click, const QStringList &expected) {
            QTest::newRow(name) << QString::fromUtf8(setup) << before << click << expected;
        };
        row("empty menu: the bare block", "", "", "", {check, more, "-", "Quit Demo Ctrl+Q"});
        row("host items, separator, preferences, login on (another group hidden), ampersand",
            "host prefs login amp", entry + "[Desktop Action x]\nName=Y\nExec=y\nHidden=true\n", "",
            {"Open Demo", "-", prefs + " Ctrl+,", check, more, "-", login + " [x]", "-",
             "Quit Salt & Pepper Ctrl+Q"});
        row("Preferences\u2026 calls the host", "prefs login", "", prefs, {"preferences", "[ ]"});
        row("Check for Updates\u2026 asks for its own manifest", "login", "", check,
            {"request /notes/version.json", "[ ]", latest});
        row("Check for Updates\u2026 through the host's updater", "login host-updater", "", check,
            {"request /other/version.json", "[ ]", QString(latest).replace("Demo"_L1, "Other"_L1)});
        row("More from Brannel IT opens the page", "login", "", more,
            {"open BASE/our-apps/?ref=notes", "[ ]"});
        row("Launch at Login turns an entry with Hidden=true on", "login", entry + "Hidden=true\n",
            login, {"entry", "[x]"});
        row("Launch at Login starts from a change made elsewhere", "login elsewhere", "", login,
            {"[ ]"});
        row("Launch at Login, the entry a folder", "login", "<folder>", login, {"[ ]", error});
        row("Quit Demo ends the event loop", "login", "", u"Quit Demo"_s, {"quit", "[ ]"});
    }

    // Launch at login is read afresh at every use: a change made behind its back counts.
    void menu()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArray, before);
        QFETCH(QString, click);
        QFETCH(QStringList, expected);
        const QStringList words = setup.split(u' ');
        if (before == "<folder>")
            QVERIFY(QDir().mkpath(autostartEntry()));
        else if (!before.isEmpty())
            QVERIFY(writeFile(autostartEntry(), before));
        QStringList seen;
        QMenu menu;
        if (words.contains("host"))
            menu.addAction(u"Open Demo"_s);
        ZelStandardMenu standard(
            {"notes", words.contains("amp") ? "Salt & Pepper" : "Demo", m_base},
            words.contains("host-updater") ? ZelUpdater::create({"other", "Other", m_base})
                                           : nullptr,
            words.contains("prefs") ? std::function<void()>([&seen] { seen << "preferences"; })
                                    : nullptr);
        standard.append(&menu, words.contains("login"));
        if (words.contains("elsewhere"))
            QVERIFY(writeFile(autostartEntry(), entry));
        const qsizetype requestsBefore = events().size();
        QAction *login = nullptr;
        QStringList shown;
        for (QAction *action : menu.actions()) {
            login = action->isCheckable() ? action : login;
            shown << (action->isSeparator() ? u"-"_s : action->iconText());
            if (!action->shortcut().isEmpty())
                shown.last() += u' ' + action->shortcut().toString(QKeySequence::PortableText);
            if (action->isCheckable())
                shown.last() += action->isChecked() ? " [x]"_L1 : " [ ]"_L1;
            if (click.isEmpty() || action->iconText() != click)
                continue;
            if (!click.startsWith("Quit"_L1)) {
                action->trigger();
                continue;
            }
            QTimer::singleShot(0, action, &QAction::trigger);
            // Only a quit that went nowhere waits for this.
            QTimer::singleShot(20000, &menu, [] { QCoreApplication::exit(7); });
            if (QApplication::exec() == 0)
                seen << "quit";
        }
        const auto effects = [&] {
            QStringList out = seen + events().mid(requestsBefore);
            for (const QString &url : std::as_const(m_opened))
                out << "open "_L1 + QString(url).replace(m_base, "BASE"_L1);
            if (QFileInfo(autostartEntry()).isFile())
                out << u"entry"_s;
            out << (login->isChecked() ? u"[x]"_s : u"[ ]"_s) << m_shown;
            for (const QString &line : std::as_const(m_log))
                out << line.left(line.indexOf(": "_L1) + 2) + u'\u2026';
            return out;
        };
        QTRY_COMPARE_WITH_TIMEOUT(click.isEmpty() ? shown : effects(), expected, 20000);
    }

    void migration_data()
    {
        // "setup: expected". The container holds preferences when prefs= is given, support
        // data when support= is, and is not there without either; standard= puts something
        // where the copy would go; data= is $XDG_DATA_HOME in the home folder; id= replaces
        // the bundle id. Expected: the preferences merged, the support folder copied, the
        // flag set, the migration logged as completed or failed.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("expected");
        for (const char *row :
             {"prefs=xml support=folder: merged copied flag completed",
              "prefs=binary: merged flag completed", "flagged prefs=xml support=folder: flag",
              ": flag", "prefs=garbage support=folder: copied flag completed",
              "prefs=array support=linked: copied flag completed",
              "prefs=empty support=file: copied flag completed",
              "prefs=xml support=dangling: merged flag completed",
              "support=folder standard=empty: flag completed", "id=.. prefs=xml support=folder:",
              "support=folder data=not/yet/share: copied flag completed",
              "prefs=xml support=folder data=file/share: merged failed"}) {
            const QString r = QString::fromLatin1(row);
            QTest::newRow(row) << r.section(u':', 0, 0)
                               << r.section(u':', 1).split(u' ', Qt::SkipEmptyParts);
        }
    }

    void migration()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, expected);
        QMap<QString, QString> s;
        for (const QString &word : setup.split(u' ', Qt::SkipEmptyParts))
            s.insert(word.section(u'=', 0, 0), word.section(u'=', 1));
        const QString id = "com.brannel.Migrating"_L1 + QString::number(qHash(setup));
        QGuiApplication::setDesktopFileName(id);
        // The config folder outlives the run; what an earlier run stored there must not count.
        QFile::remove(QSettings(QSettings::IniFormat, QSettings::UserScope, id).fileName());
        QTemporaryDir home;
        const QString dataHome = home.filePath(s.value("data", "share"));
        const auto restore = qScopeGuard([env = QProcessEnvironment::systemEnvironment()] {
            qputenv("HOME", env.value(u"HOME"_s).toLocal8Bit());
            qputenv("XDG_DATA_HOME", env.value(u"XDG_DATA_HOME"_s).toLocal8Bit());
        });
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        const QString container = home.filePath("Library/Containers/" + id + "/Data/Library/");
        const QString support = container + "Application Support/" + id;
        const QString standard = dataHome + u'/' + id;
        make(container + "Preferences/" + id + ".plist", s.value("prefs"));
        make(support, s.value("support"));
        make(standard, s.value("standard"));
        make(home.filePath("file"), s.value("data").startsWith("file/"_L1) ? "file" : "");
        ZelUserDefaults defaults(id);
        defaults.setValue(u"kept"_s, u"the user's own"_s);
        if (s.contains("flagged"))
            defaults.setBool(flagKey, true);
        QVERIFY(defaults.sync());
        QSettings(QSettings::IniFormat, QSettings::SystemScope, id)
            .setValue(u"systemKept"_s, u"the system's"_s);
        const QStringList source = tree(support), before = tree(standard);

        ZelSandboxMigration::migrateFromContainerIfNeeded(s.value("id", id));

        // Only keys that have no value in any domain are copied, with their values as read.
        QVariantMap now, defaultsExpected{{"kept", u"the user's own"_s}};
        QSettings user(QSettings::IniFormat, QSettings::UserScope, id);
        user.setFallbacksEnabled(false);
        for (const QString &key : user.allKeys())
            now.insert(key, user.value(key));
        if (expected.contains("flag"))
            defaultsExpected.insert(flagKey, true);
        if (expected.contains("merged"))
            defaultsExpected.insert(plistValues);
        QCOMPARE(now, defaultsExpected);
        QCOMPARE(tree(support), source); // read, never changed
        QCOMPARE(tree(standard), expected.contains("copied") ? source : before);
        const bool there = QFileInfo(standard).exists() || QFileInfo(standard).isSymLink();
        QCOMPARE(QDir(dataHome).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                          QDir::NoDotAndDotDot),
                 there ? QStringList{id} : QStringList()); // nothing half-copied beside it
        QStringList log; // each line up to the reason a copy failed
        for (const QString &line : std::as_const(m_log))
            log << line.section(": "_L1, 0, 0);
        const QString outcome = expected.contains("failed") ? u"failed"_s : u"completed"_s;
        QCOMPARE(log, expected.contains(outcome) ? QStringList{migrated + outcome + " for "_L1 + id}
                                                 : QStringList());
    }

    // ZelDemo as a user runs it: a launch carries the container over and checks for updates
    // at the address composed from --base-url and --id.
    void demo()
    {
#ifndef ZEL_DEMO
        QSKIP("ZelDemo is not built");
#else
        QProcess demo;
        QTemporaryDir root;
        const QString appID = u"com.brannel.ZelDemo.mig"_s;
        QVERIFY(writeFile(root.filePath("home/Library/Containers/" + appID +
                                        "/Data/Library/Application Support/" + appID + "/n.txt"),
                          "carried over"));
        serve(u"mig"_s, manifest("99"));
        finish(demo, QStringLiteral(ZEL_DEMO),
               {"--id", "mig", "--base-url", m_base, "--check-for-updates"},
               {"HOME=" + root.filePath("home"), "XDG_CONFIG_HOME=" + root.filePath("config"),
                "XDG_DATA_HOME=" + root.filePath("data")},
               false);
        QTRY_COMPARE_WITH_TIMEOUT(requests(u"mig"_s), 1, 30000);
        ::kill(pid_t(demo.processId()), SIGTERM);
        QVERIFY(demo.waitForFinished(30000));
        QVERIFY(demo.readAllStandardError().contains(
            (migrated + "completed for "_L1 + appID + u'\n').toUtf8()));
        QCOMPARE(readFile(root.filePath("data/" + appID + "/n.txt")), "carried over"_ba);
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
        return events().count("request /%1/version.json"_L1.arg(id));
    }

    QProcess m_http;
    QTemporaryDir m_replies, m_system;
    QString m_base, m_press;
    QByteArray m_httpOut;
    QStringList m_log, m_opened, m_shown;
    QTimer m_user;
    QList<QPointer<QMessageBox>> m_answered; // a later box may take a gone one's address
};

void tst_Services::check_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("running");
    QTest::addColumn<QString>("shown"); // the informative text of each dialog, latest or none
    const auto row = [](const char *name, const QByteArray &body, const QString &running,
                        const QString &shown, const char *how = "200") {
        QTest::newRow(name) << body << how << running << shown;
    };
    // Offered, then whether it is newer than, older than or equal to the running version.
    for (const char *c : {"1.10 > 1.9", "1.9 < 1.10", "1.2.0 > 1.2", "1.2 < 1.2.0", "1.2b > 1.2a",
                          "1.2B < 1.2a", "1.2 = 1.2", "1.009 < 1.10", "1.0.1 > (none)",
                          "1.0 = (none)", "1.99999999999999999999 > 1.99999999999999999998"}) {
        const QStringList v = QString::fromLatin1(c).split(u' ');
        row(c, manifest(v[0].toLatin1()), v[2] == u"(none)" ? QString() : v[2],
            v[1] == u">" ? "Version "_L1 + v[0] + " is available."_L1 : u"latest"_s);
    }
    const QString v2 = u"Version 2 is available."_s;
    row("silent: newer is shown", manifest("2"), "1", v2, "200 silent");
    row("silent: equal says nothing", manifest("1"), "1", "", "200 silent");
    row("release notes, their markup kept as text",
        manifest("2", R"(,"notes":"<a href='file:///'>Faster</a> sync.")"), "1",
        v2 + "\n\nRelease notes: <a href='file:///'>Faster</a> sync."_L1);
    row("500 with a valid manifest", manifest("2"), "1", v2, "500");
    row("a reply of 20 MB", manifest("2") + QByteArray(20 << 20, ' '), "1", "");
    for (const char *body : {R"({"version":2,"url":"http://e.invalid/x"})",
                             R"({"version":"9","url":"file:///etc/passwd"})", ""})
        row(*body ? body : "(empty)", body, "1", "");
    row("no answer: ends after 5 s", manifest("9"), "1", "", "hang");
    const QByteArray dialog = R"({"version":"2","url":")" + download.toUtf8() + "\"}";
    row("Download Update opens the address", dialog, "", v2, "200 download");
}

int main(int argc, char *argv[])
{
    // Child runs of this program: a copy that turns launch at login on, that copy started
    // from its entry (noting where it runs in the file named), or one of the stops.
    if (const QString child = qEnvironmentVariable("ZEL_CHILD");
        qEnvironmentVariableIsSet("ZEL_CHILD")) {
        QCoreApplication app(argc, argv);
        QFile out(child);
        if (child == u"launch at login") {
            QGuiApplication::setDesktopFileName(u"com.brannel.LaunchProbe"_s);
            ZelLaunchAtLogin::setEnabled(true);
        } else if (child.startsWith(u'/') && out.open(QIODevice::WriteOnly)) {
            out.write(QCoreApplication::applicationFilePath().toUtf8());
        } else if (child.isEmpty()) {
            ZelApp::requireConfig("ZelHubClient.start");
        } else {
            ZelAppConfig{child.section(u' ', 1, -1), "Notes", child.section(u' ', 0, 0)}
                .versionURL();
        }
        return 0;
    }
    QApplication app(argc, argv);
    tst_Services test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_services.moc"
