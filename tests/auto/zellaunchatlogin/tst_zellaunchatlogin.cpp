// Launch at login as an XDG autostart entry: the file a session reads, checked with the
// freedesktop validator and read back the way a session would.
#include <ZelKit/ZelLaunchAtLogin.h>
#include <ZelKit/platform/ZelLog.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString appID = QStringLiteral("com.brannel.LaunchTest");

QString autostartFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/autostart");
}

QString entryPath(const QString &id = appID)
{
    return autostartFolder() + u'/' + id + QLatin1String(".desktop");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

// The value of key in the [Desktop Entry] group, with the string escapes undone.
QString entryValue(const QByteArray &contents, const QByteArray &key)
{
    bool inGroup = false;
    for (const QByteArray &line : contents.split('\n')) {
        if (line.startsWith('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup || !line.startsWith(key + '='))
            continue;
        const QString raw = QString::fromUtf8(line.mid(key.size() + 1));
        QString value;
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] != u'\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const QChar next = raw[++i];
            value += next == u's'   ? u' '
                     : next == u'n' ? u'\n'
                     : next == u't' ? u'\t'
                     : next == u'r' ? u'\r'
                                    : next;
        }
        return value;
    }
    return QString();
}

// The Exec value split into arguments as a launcher does: double quotes group, and inside
// them a backslash takes the next character literally; "%%" is a percent sign.
QStringList execArguments(const QString &exec)
{
    QStringList arguments;
    QString current;
    bool quoted = false;
    bool any = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == u'\\' && i + 1 < exec.size()) {
            current += exec[++i];
        } else if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c == u' ') {
            if (any || !current.isEmpty())
                arguments << current;
            current.clear();
            any = false;
        } else if (c == u'%' && i + 1 < exec.size() && exec[i + 1] == u'%') {
            current += u'%';
            ++i;
        } else {
            current += c;
        }
    }
    if (any || !current.isEmpty())
        arguments << current;
    return arguments;
}

// desktop-file-validate prints nothing for an entry without errors, warnings or hints.
QString validatorComplaints(const QString &path)
{
    QProcess validator;
    validator.start(QStringLiteral("desktop-file-validate"), {path});
    if (!validator.waitForFinished(20000))
        return QStringLiteral("desktop-file-validate did not finish");
    const QString output =
        QString::fromUtf8(validator.readAllStandardOutput() + validator.readAllStandardError());
    if (validator.exitCode() != 0 || !output.isEmpty())
        return QStringLiteral("exit %1: %2").arg(validator.exitCode()).arg(output);
    return QString();
}

} // namespace

class tst_ZelLaunchAtLogin : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void enableWritesAValidEntry();
    void disableRemovesTheEntry();
    void enableAgainRewritesASwitchedOffEntry();
    void switchedOff_data();
    void switchedOff();
    void execNamesTheExecutable_data();
    void execNamesTheExecutable();
    void failures_data();
    void failures();

private:
    QStringList m_log;
    QByteArray m_configHome;
};

void tst_ZelLaunchAtLogin::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty(),
             "desktop-file-validate is needed");
    m_configHome = qgetenv("XDG_CONFIG_HOME");
    ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
}

void tst_ZelLaunchAtLogin::init()
{
    QGuiApplication::setDesktopFileName(appID);
    QDir(autostartFolder()).removeRecursively();
    m_log.clear();
}

void tst_ZelLaunchAtLogin::cleanup()
{
    qputenv("XDG_CONFIG_HOME", m_configHome);
    QDir(autostartFolder()).removeRecursively();
}

void tst_ZelLaunchAtLogin::enableWritesAValidEntry()
{
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    ZelLaunchAtLogin::setEnabled(true);
    QVERIFY(ZelLaunchAtLogin::isEnabled());
    const QByteArray contents = readFile(entryPath());
    QVERIFY(contents.startsWith("[Desktop Entry]\n"));
    QCOMPARE(entryValue(contents, "Type"), QStringLiteral("Application"));
    QVERIFY(!entryValue(contents, "Name").isEmpty());
    QCOMPARE(execArguments(entryValue(contents, "Exec")),
             QStringList{QCoreApplication::applicationFilePath()});
    QVERIFY(QFileInfo(QCoreApplication::applicationFilePath()).isAbsolute());
    const QString complaints = validatorComplaints(entryPath());
    QVERIFY2(complaints.isEmpty(), qPrintable(complaints));
    QCOMPARE(m_log, QStringList());
}

void tst_ZelLaunchAtLogin::disableRemovesTheEntry()
{
    ZelLaunchAtLogin::setEnabled(true);
    QVERIFY(QFileInfo::exists(entryPath()));
    ZelLaunchAtLogin::setEnabled(false);
    QVERIFY(!QFileInfo::exists(entryPath()));
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    // Already off: the request goes out again and finds nothing to undo.
    ZelLaunchAtLogin::setEnabled(false);
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    QCOMPARE(m_log, QStringList());
}

void tst_ZelLaunchAtLogin::enableAgainRewritesASwitchedOffEntry()
{
    writeFile(entryPath(), "[Desktop Entry]\nType=Application\nName=X\nExec=x\nHidden=true\n");
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    ZelLaunchAtLogin::setEnabled(true);
    QVERIFY(ZelLaunchAtLogin::isEnabled());
    QVERIFY(!readFile(entryPath()).contains("Hidden"));
}

void tst_ZelLaunchAtLogin::switchedOff_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("enabled");
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=X\nExec=x\n";
    QTest::newRow("plain entry") << head << true;
    QTest::newRow("Hidden=true") << head + "Hidden=true\n" << false;
    QTest::newRow("Hidden=false") << head + "Hidden=false\n" << true;
    QTest::newRow("X-GNOME-Autostart-enabled=false") << head + "X-GNOME-Autostart-enabled=false\n"
                                                     << false;
    QTest::newRow("X-GNOME-Autostart-enabled=true") << head + "X-GNOME-Autostart-enabled=true\n"
                                                    << true;
    QTest::newRow("Hidden=true in another group")
        << head + "[Desktop Action x]\nName=Y\nExec=y\nHidden=true\n"
        << true;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("no [Desktop Entry] group") << QByteArray("Exec=x\n") << false;
}

// The file is read afresh on every call: a change made behind our back shows at once.
void tst_ZelLaunchAtLogin::switchedOff()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, enabled);
    writeFile(entryPath(), contents);
    QCOMPARE(ZelLaunchAtLogin::isEnabled(), enabled);
    QFile::remove(entryPath());
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
}

void tst_ZelLaunchAtLogin::execNamesTheExecutable_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain") << "bin";
    QTest::newRow("space") << "My Apps";
    QTest::newRow("leading space") << " lead";
    QTest::newRow("double quote") << "say \"hi\"";
    QTest::newRow("backtick and dollar") << "`id` $HOME";
    QTest::newRow("backslash") << "back\\slash";
    QTest::newRow("percent") << "100%s %f";
    QTest::newRow("shell characters") << "a;b&c|d<e>f*g?h#i(j)k'l~m";
    QTest::newRow("non-ASCII") << "Programme · Zel ✓";
    QTest::newRow("tab") << "a\tb";
}

// A copy of a small program run from a folder of that name writes the entry; the Exec
// line must bring back exactly that program's path.
void tst_ZelLaunchAtLogin::execNamesTheExecutable()
{
    QFETCH(QString, folder);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString dir = root.filePath(folder);
    QVERIFY(QDir().mkpath(dir));
    const QString program = dir + QLatin1String("/launchprobe");
    QVERIFY(QFile::copy(QStringLiteral(ZEL_LAUNCHPROBE), program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const QString id = QStringLiteral("com.brannel.LaunchTest.probe");
    QProcess probe;
    probe.start(program, {QStringLiteral("enable"), id});
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(probe.readAllStandardOutput(), QByteArray("enabled\n"));

    const QByteArray contents = readFile(entryPath(id));
    QCOMPARE(execArguments(entryValue(contents, "Exec")),
             QStringList{QFileInfo(program).canonicalFilePath()});
    const QString complaints = validatorComplaints(entryPath(id));
    QVERIFY2(complaints.isEmpty(), qPrintable(complaints));

    probe.start(program, {QStringLiteral("disable"), id});
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.readAllStandardOutput(), QByteArray("disabled\n"));
    QVERIFY(!QFileInfo::exists(entryPath(id)));
}

void tst_ZelLaunchAtLogin::failures_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("enable");
    QTest::newRow("autostart folder is a file, enable") << "folder is a file" << true;
    QTest::newRow("autostart folder is a file, disable") << "folder is a file" << false;
    QTest::newRow("entry is a folder, disable") << "entry is a folder" << false;
    QTest::newRow("entry is a folder, enable") << "entry is a folder" << true;
    QTest::newRow("no application id, enable") << "no application id" << true;
    QTest::newRow("config folder is a file, enable") << "config home is a file" << true;
}

// Root may write anywhere, so the obstacles are files standing where folders must be.
void tst_ZelLaunchAtLogin::failures()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, enable);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    if (obstacle == u"folder is a file")
        writeFile(autostartFolder(), "not a folder");
    else if (obstacle == u"entry is a folder")
        QVERIFY(QDir().mkpath(entryPath()));
    else if (obstacle == u"no application id")
        QGuiApplication::setDesktopFileName(QString());
    else if (obstacle == u"config home is a file")
        writeFile(home.filePath(QStringLiteral("config")), "not a folder");

    const bool wasEnabled = ZelLaunchAtLogin::isEnabled();
    ZelLaunchAtLogin::setEnabled(enable);
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    // Removing an entry that is not there is no failure; everything else is one line.
    if (obstacle == u"folder is a file" && !enable) {
        QCOMPARE(m_log, QStringList());
        return;
    }
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(QLatin1String("[ZelKit] Launch at login error: ")),
             qPrintable(m_log.first()));
    QVERIFY(m_log.first().size() > int(qstrlen("[ZelKit] Launch at login error: ")));
    QVERIFY(!wasEnabled);
}

QTEST_GUILESS_MAIN(tst_ZelLaunchAtLogin)
#include "tst_zellaunchatlogin.moc"
