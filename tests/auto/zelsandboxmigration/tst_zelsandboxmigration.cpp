// The one-time move of a former sandbox container's data: real property lists written by
// another program (python3's plistlib), real folders, the real defaults files.
#include <ZelKit/ZelSandboxMigration.h>
#include <ZelKit/platform/ZelLog.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString flagKey = QStringLiteral("ZelKit.sandboxMigrated");

// Every property-list type, a key the user already has and one the system domain has.
const char *plistScript = R"(
import datetime, plistlib, sys
values = {
    "text": "h\u00e9llo \u2192 world",
    "integer": 42,
    "negative": -7,
    "large": 2**40,
    "real": 2.5,
    "yes": True,
    "no": False,
    "date": datetime.datetime(2020, 5, 17, 12, 30, 45),
    "data": b"\x00\x01\xfe",
    "list": [1, "two", [3.5]],
    "dict": {"inner": "x", "n": 1, "deeper": {"flag": True}},
    "empty": "",
    "kept": "from the container",
    "systemKept": "from the container",
}
fmt = plistlib.FMT_XML if sys.argv[1] == "xml" else plistlib.FMT_BINARY
if sys.argv[1] == "array":
    values = [1, 2]
with open(sys.argv[2], "wb") as f:
    f.write(plistlib.dumps(values, fmt=fmt))
)";

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool makePlist(const QString &format, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    return QProcess::execute(
               QStringLiteral("python3"),
               {QStringLiteral("-c"), QString::fromUtf8(plistScript), format, path}) == 0;
}

// Entries of a folder, hidden ones included.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class tst_ZelSandboxMigration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void flagAlreadySetDoesNothing();
    void noContainerSetsTheFlagOnly();
    void mergesPreferencesAndCopiesSupport_data();
    void mergesPreferencesAndCopiesSupport();
    void preferencesWithoutSupportFolder();
    void unusablePreferencesAreSkipped_data();
    void unusablePreferencesAreSkipped();
    void existingSupportDataIsNeverTouched_data();
    void existingSupportDataIsNeverTouched();
    void missingDataFolderIsCreated();
    void failedCopyLeavesNothingAndRetries();
    void bundleIDsThatAreNoFolderName_data();
    void bundleIDsThatAreNoFolderName();

private:
    QString container() const
    {
        return m_home->path() + QLatin1String("/Library/Containers/") + m_id +
               QLatin1String("/Data");
    }
    QString sandboxedPreferences() const
    {
        return container() + QLatin1String("/Library/Preferences/") + m_id +
               QLatin1String(".plist");
    }
    QString sandboxedSupport() const
    {
        return container() + QLatin1String("/Library/Application Support/") + m_id;
    }
    QString standardSupport() const { return m_data->path() + u'/' + m_id; }
    ZelUserDefaults defaults() const { return ZelUserDefaults(m_id); }
    void fillSupport();

    QTemporaryDir m_system;
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QTemporaryDir> m_data;
    QByteArray m_savedHome;
    QByteArray m_savedData;
    QString m_id;
    QStringList m_log;
};

void tst_ZelSandboxMigration::initTestCase()
{
    QVERIFY(m_system.isValid());
    // The system-wide defaults domain, kept away from the machine's own.
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, m_system.path());
    m_savedHome = qgetenv("HOME");
    m_savedData = qgetenv("XDG_DATA_HOME");
    ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
}

void tst_ZelSandboxMigration::init()
{
    static int count = 0;
    // A fresh application, and so a fresh defaults domain, for every case.
    m_id = QStringLiteral("com.brannel.Migrating%1").arg(++count);
    QGuiApplication::setDesktopFileName(m_id);
    // The config folder outlives the run; what an earlier run stored there must not count.
    QFile::remove(QSettings(QSettings::IniFormat, QSettings::UserScope, m_id).fileName());
    m_home = std::make_unique<QTemporaryDir>();
    m_data = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid() && m_data->isValid());
    qputenv("HOME", QFile::encodeName(m_home->path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
    m_log.clear();
}

void tst_ZelSandboxMigration::cleanup()
{
    qputenv("HOME", m_savedHome);
    qputenv("XDG_DATA_HOME", m_savedData);
    // rm copes with folders too deep for a path, which a failed case may leave behind.
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_home->path()});
    m_home.reset();
    m_data.reset();
}

void tst_ZelSandboxMigration::fillSupport()
{
    QVERIFY(writeFile(sandboxedSupport() + QLatin1String("/library.db"), "rows"));
    QVERIFY(writeFile(sandboxedSupport() + QLatin1String("/Themes/dark/theme.json"), "{}"));
    QVERIFY(writeFile(sandboxedSupport() + QLatin1String("/run.sh"), "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(sandboxedSupport() + QLatin1String("/run.sh"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(sandboxedSupport() + QLatin1String("/Empty")));
    QVERIFY(
        QFile::link(QStringLiteral("Themes/dark"), sandboxedSupport() + QLatin1String("/current")));
}

void tst_ZelSandboxMigration::flagAlreadySetDoesNothing()
{
    ZelUserDefaults d = defaults();
    d.setBool(flagKey, true);
    QVERIFY(d.sync());
    QVERIFY(makePlist(QStringLiteral("xml"), sandboxedPreferences()));
    fillSupport();
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QVERIFY(!defaults().contains(QStringLiteral("text")));
    QVERIFY(!QFileInfo::exists(standardSupport()));
    QCOMPARE(m_log, QStringList());
}

void tst_ZelSandboxMigration::noContainerSetsTheFlagOnly()
{
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QVERIFY(defaults().boolForKey(flagKey));
    QCOMPARE(m_log, QStringList());
    QCOMPARE(entries(m_data->path()), QStringList());

    // A container that turns up later is never migrated.
    QVERIFY(makePlist(QStringLiteral("xml"), sandboxedPreferences()));
    fillSupport();
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QVERIFY(!defaults().contains(QStringLiteral("text")));
    QVERIFY(!QFileInfo::exists(standardSupport()));
    QCOMPARE(m_log, QStringList());
}

void tst_ZelSandboxMigration::mergesPreferencesAndCopiesSupport_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("XML property list") << "xml";
    QTest::newRow("binary property list") << "binary";
}

void tst_ZelSandboxMigration::mergesPreferencesAndCopiesSupport()
{
    QFETCH(QString, format);
    QVERIFY(makePlist(format, sandboxedPreferences()));
    fillSupport();
    ZelUserDefaults d = defaults();
    d.setValue(QStringLiteral("kept"), QStringLiteral("the user's own"));
    QVERIFY(d.sync());
    QSettings system(QSettings::IniFormat, QSettings::SystemScope, m_id);
    system.setValue(QStringLiteral("systemKept"), QStringLiteral("the system's"));
    system.sync();
    QCOMPARE(system.status(), QSettings::NoError);

    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);

    const ZelUserDefaults after = defaults();
    QCOMPARE(after.value("text"), QVariant(QStringLiteral("h\u00e9llo \u2192 world")));
    QCOMPARE(after.value("integer"), QVariant(qlonglong(42)));
    QCOMPARE(after.value("negative"), QVariant(qlonglong(-7)));
    QCOMPARE(after.value("large"), QVariant(qlonglong(1) << 40));
    QCOMPARE(after.value("real"), QVariant(2.5));
    QCOMPARE(after.value("yes"), QVariant(true));
    QCOMPARE(after.value("no"), QVariant(false));
    QCOMPARE(after.value("date"),
             QVariant(QDateTime(QDate(2020, 5, 17), QTime(12, 30, 45), QTimeZone::utc())));
    QCOMPARE(after.value("data"), QVariant(QByteArray("\x00\x01\xfe", 3)));
    QCOMPARE(after.value("list"),
             QVariant(QVariantList{qlonglong(1), QStringLiteral("two"), QVariantList{3.5}}));
    QCOMPARE(after.value("dict"), QVariant(QVariantMap{{"inner", QStringLiteral("x")},
                                                       {"n", qlonglong(1)},
                                                       {"deeper", QVariantMap{{"flag", true}}}}));
    QCOMPARE(after.value("empty"), QVariant(QString()));
    QCOMPARE(after.value("kept"), QVariant(QStringLiteral("the user's own")));
    // Present in the system domain: the lookup sees it, so nothing is copied.
    QCOMPARE(after.value("systemKept"), QVariant(QStringLiteral("the system's")));
    QSettings userDomain(QSettings::IniFormat, QSettings::UserScope, m_id);
    userDomain.setFallbacksEnabled(false);
    QVERIFY(!userDomain.allKeys().contains(QStringLiteral("systemKept")));
    QVERIFY(after.boolForKey(flagKey));

    const QString to = standardSupport();
    QCOMPARE(entries(to), QStringList({"Empty", "Themes", "current", "library.db", "run.sh"}));
    QCOMPARE(readFile(to + QLatin1String("/library.db")), QByteArray("rows"));
    QCOMPARE(readFile(to + QLatin1String("/Themes/dark/theme.json")), QByteArray("{}"));
    QVERIFY(QFileInfo(to + QLatin1String("/run.sh")).permissions() & QFile::ExeOwner);
    QCOMPARE(QFileInfo(to + QLatin1String("/current")).symLinkTarget(),
             to + QLatin1String("/Themes/dark"));
    QVERIFY(QFileInfo(to + QLatin1String("/Empty")).isDir());
    QCOMPARE(entries(m_data->path()), QStringList{m_id});
    // The container is read, never changed.
    QVERIFY(QFileInfo::exists(sandboxedSupport() + QLatin1String("/library.db")));

    QCOMPARE(m_log, QStringList{QStringLiteral("[ZelKit] Sandbox\u2192standard data migration "
                                               "completed for ") +
                                m_id});

    // Done once: a second launch changes nothing, whatever the container holds by then.
    QVERIFY(writeFile(sandboxedSupport() + QLatin1String("/later.txt"), "new"));
    QDir(to).removeRecursively();
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QVERIFY(!QFileInfo::exists(to));
    QCOMPARE(m_log.size(), 1);
}

void tst_ZelSandboxMigration::preferencesWithoutSupportFolder()
{
    QVERIFY(makePlist(QStringLiteral("binary"), sandboxedPreferences()));
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QCOMPARE(defaults().value("integer"), QVariant(qlonglong(42)));
    QVERIFY(defaults().boolForKey(flagKey));
    QCOMPARE(entries(m_data->path()), QStringList());
    QCOMPARE(m_log, QStringList{QStringLiteral("[ZelKit] Sandbox\u2192standard data migration "
                                               "completed for ") +
                                m_id});
}

void tst_ZelSandboxMigration::unusablePreferencesAreSkipped_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("no preferences file") << "none";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("not a property list") << "garbage";
    QTest::newRow("truncated binary property list") << "truncated";
    QTest::newRow("top level an array") << "array";
    QTest::newRow("a folder in its place") << "folder";
}

void tst_ZelSandboxMigration::unusablePreferencesAreSkipped()
{
    QFETCH(QString, kind);
    const QString prefs = sandboxedPreferences();
    if (kind == u"empty") {
        QVERIFY(writeFile(prefs, QByteArray()));
    } else if (kind == u"garbage") {
        QVERIFY(writeFile(prefs, "<html>not a plist</html>\x01\x02"));
    } else if (kind == u"truncated") {
        QVERIFY(makePlist(QStringLiteral("binary"), prefs));
        const QByteArray whole = readFile(prefs);
        QVERIFY(writeFile(prefs, whole.left(whole.size() / 2)));
    } else if (kind == u"array") {
        QVERIFY(makePlist(QStringLiteral("array"), prefs));
    } else if (kind == u"folder") {
        QVERIFY(QDir().mkpath(prefs));
    }
    fillSupport();
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    const QStringList keys = QSettings(QSettings::IniFormat, QSettings::UserScope, m_id).allKeys();
    QCOMPARE(keys, QStringList{flagKey});
    QVERIFY(defaults().boolForKey(flagKey));
    QVERIFY(QFileInfo::exists(standardSupport() + QLatin1String("/library.db")));
    QCOMPARE(m_log.size(), 1);
}

void tst_ZelSandboxMigration::existingSupportDataIsNeverTouched_data()
{
    QTest::addColumn<QString>("existing");
    QTest::newRow("empty folder") << "folder";
    QTest::newRow("folder with data") << "data";
    QTest::newRow("a file") << "file";
    QTest::newRow("a dangling link") << "link";
}

void tst_ZelSandboxMigration::existingSupportDataIsNeverTouched()
{
    QFETCH(QString, existing);
    fillSupport();
    const QString to = standardSupport();
    if (existing == u"folder")
        QVERIFY(QDir().mkpath(to));
    else if (existing == u"data")
        QVERIFY(writeFile(to + QLatin1String("/library.db"), "the user's"));
    else if (existing == u"file")
        QVERIFY(writeFile(to, "a file"));
    else
        QVERIFY(QFile::link(QStringLiteral("nowhere"), to));
    const QStringList before = entries(to);

    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);

    QCOMPARE(entries(to), before);
    if (existing == u"data")
        QCOMPARE(readFile(to + QLatin1String("/library.db")), QByteArray("the user's"));
    if (existing == u"file")
        QCOMPARE(readFile(to), QByteArray("a file"));
    QCOMPARE(entries(m_data->path()), QStringList{m_id});
    QVERIFY(defaults().boolForKey(flagKey));
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().contains(QLatin1String("completed")));
}

void tst_ZelSandboxMigration::missingDataFolderIsCreated()
{
    fillSupport();
    const QString dataHome = m_data->filePath(QStringLiteral("not/yet/share"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QCOMPARE(readFile(dataHome + u'/' + m_id + QLatin1String("/library.db")), QByteArray("rows"));
    QVERIFY(defaults().boolForKey(flagKey));
}

// A folder so deep that its path is longer than the system accepts cannot be read: a copy
// failure that no permission bit can stand in for when the tests run as root.
void tst_ZelSandboxMigration::failedCopyLeavesNothingAndRetries()
{
    QVERIFY(makePlist(QStringLiteral("xml"), sandboxedPreferences()));
    fillSupport();
    const QString deepRoot = sandboxedSupport() + QLatin1String("/Deep");
    QVERIFY(QDir().mkpath(deepRoot));
    const QString savedCwd = QDir::currentPath();
    QVERIFY(::chdir(QFile::encodeName(deepRoot).constData()) == 0);
    const QByteArray component(200, 'd');
    for (int level = 0; level < 25; ++level) {
        QVERIFY(::mkdir(component.constData(), 0755) == 0);
        QVERIFY(::chdir(component.constData()) == 0);
    }
    QVERIFY(writeFile(QStringLiteral("bottom.txt"), "deep"));
    QVERIFY(QDir::setCurrent(savedCwd));

    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);

    QCOMPARE(entries(m_data->path()), QStringList());
    QVERIFY(!defaults().boolForKey(flagKey));
    QCOMPARE(m_log.size(), 1);
    const QString failed =
        QStringLiteral("[ZelKit] Sandbox\u2192standard data migration failed for ") + m_id +
        QLatin1String(": ");
    QVERIFY2(m_log.first().startsWith(failed) && m_log.first().size() > failed.size(),
             qPrintable(m_log.first()));
    // The preferences were merged all the same; the retry keeps them.
    QCOMPARE(defaults().value("integer"), QVariant(qlonglong(42)));

    QCOMPARE(QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), deepRoot}), 0);
    m_log.clear();
    ZelSandboxMigration::migrateFromContainerIfNeeded(m_id);
    QVERIFY(defaults().boolForKey(flagKey));
    QCOMPARE(readFile(standardSupport() + QLatin1String("/library.db")), QByteArray("rows"));
    QCOMPARE(entries(m_data->path()), QStringList{m_id});
    QCOMPARE(m_log, QStringList{QStringLiteral("[ZelKit] Sandbox\u2192standard data migration "
                                               "completed for ") +
                                m_id});
}

void tst_ZelSandboxMigration::bundleIDsThatAreNoFolderName_data()
{
    QTest::addColumn<QString>("bundleID");
    QTest::newRow("empty") << "";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("slash") << "../../escape";
}

// Such a name would lead out of the containers folder: nothing is read, nothing stored.
void tst_ZelSandboxMigration::bundleIDsThatAreNoFolderName()
{
    QFETCH(QString, bundleID);
    QVERIFY(writeFile(m_home->path() + QLatin1String("/Library/Data/Library/Preferences/...plist"),
                      "x"));
    ZelSandboxMigration::migrateFromContainerIfNeeded(bundleID);
    QVERIFY(!defaults().contains(flagKey));
    QCOMPARE(entries(m_data->path()), QStringList());
    QCOMPARE(m_log, QStringList());
}

QTEST_GUILESS_MAIN(tst_ZelSandboxMigration)
#include "tst_zelsandboxmigration.moc"
