// The block every sibling's status menu ends with, as the user sees it and as its items act.
#include <ZelKit/ZelLaunchAtLogin.h>
#include <ZelKit/ZelStandardMenu.h>
#include <ZelKit/ZelUpdater.h>
#include <ZelKit/platform/ZelLog.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

const ZelAppConfig demo{QStringLiteral("demo"), QStringLiteral("Demo"),
                        QStringLiteral("http://127.0.0.1:9")};

// Titles in order, "-" for a separator.
QStringList titles(const QMenu &menu)
{
    QStringList out;
    for (const QAction *action : menu.actions())
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

QAction *item(const QMenu &menu, const QString &title)
{
    for (QAction *action : menu.actions()) {
        if (action->text() == title)
            return action;
    }
    return nullptr;
}

QString autostartEntry()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/autostart/") + QGuiApplication::desktopFileName() +
           QLatin1String(".desktop");
}

// The request lines of every GET that reaches it, in order.
class RequestRecorder : public QObject
{
    Q_OBJECT
public:
    RequestRecorder()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (socket->canReadLine()) {
                        requests << QString::fromUtf8(socket->readLine()).trimmed();
                        // A connection closed without an answer would be retried.
                        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n");
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QString baseURL() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
    }
    QStringList requests;

private:
    QTcpServer m_server;
};

// Stands in for the browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

} // namespace

class tst_ZelStandardMenu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void layout_data();
    void layout();
    void shortcuts();
    void quitTitleShowsTheNameAsWritten();
    void preferencesCallsTheCallback();
    void checkForUpdatesAsksTheOwnConfigurationsManifest();
    void checkForUpdatesUsesTheGivenUpdater();
    void moreAppsOpensThePage();
    void launchAtLoginMarkFollowsTheEntry();
    void launchAtLoginMarkStaysOffWhenTheChangeFails();
    void itemsOutlivingTheObjectDoNothing();
    void quitEndsTheEventLoop();

private:
    QStringList m_log;
};

void tst_ZelStandardMenu::initTestCase()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.MenuTest"));
    ZelLog::setCaptureHook([this](const QString &line) { m_log << line; });
}

void tst_ZelStandardMenu::init()
{
    QFile::remove(autostartEntry());
    m_log.clear();
}

void tst_ZelStandardMenu::layout_data()
{
    QTest::addColumn<bool>("hostItems");
    QTest::addColumn<bool>("preferences");
    QTest::addColumn<bool>("launchAtLogin");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("expected");

    const QString prefs = QStringLiteral("Preferences\u2026");
    const QString check = QStringLiteral("Check for Updates\u2026");
    const QString more = QStringLiteral("More from Brannel IT");
    const QString login = QStringLiteral("Launch at Login");
    const QString quit = QStringLiteral("Quit Demo");
    const QString host = QStringLiteral("Open Demo");
    const QString sep = QStringLiteral("-");

    QTest::newRow("empty menu, bare block")
        << false << false << false << false << QStringList{check, more, sep, quit};
    QTest::newRow("host items first")
        << true << false << false << false << QStringList{host, sep, check, more, sep, quit};
    QTest::newRow("with preferences")
        << false << true << false << false << QStringList{prefs, check, more, sep, quit};
    QTest::newRow("with launch at login")
        << false << false << true << false << QStringList{check, more, sep, login, sep, quit};
    QTest::newRow("everything") << true << true << true << true
                                << QStringList{host, sep,   prefs, check, more,
                                               sep,  login, sep,   quit};
}

void tst_ZelStandardMenu::layout()
{
    QFETCH(bool, hostItems);
    QFETCH(bool, preferences);
    QFETCH(bool, launchAtLogin);
    QFETCH(bool, enabled);
    QFETCH(QStringList, expected);

    ZelLaunchAtLogin::setEnabled(enabled);
    QMenu menu;
    if (hostItems)
        menu.addAction(QStringLiteral("Open Demo"));
    ZelStandardMenu standard(demo, nullptr, preferences ? std::function<void()>([] {}) : nullptr);
    standard.append(&menu, launchAtLogin);
    QCOMPARE(titles(menu), expected);
    if (launchAtLogin) {
        QAction *login = item(menu, QStringLiteral("Launch at Login"));
        QVERIFY(login->isCheckable());
        QCOMPARE(login->isChecked(), enabled);
    }
    for (QAction *action : menu.actions()) {
        if (action->text() != u"Launch at Login")
            QVERIFY2(!action->isCheckable(), qPrintable(action->text()));
    }
    ZelLaunchAtLogin::setEnabled(false);
}

void tst_ZelStandardMenu::shortcuts()
{
    QMenu menu;
    ZelStandardMenu standard(demo, nullptr, [] {});
    standard.append(&menu, true);
    QCOMPARE(item(menu, QStringLiteral("Preferences\u2026"))->shortcut(),
             QKeySequence(Qt::CTRL | Qt::Key_Comma));
    QCOMPARE(item(menu, QStringLiteral("Quit Demo"))->shortcut(),
             QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (const QString &title :
         {QStringLiteral("Check for Updates\u2026"), QStringLiteral("More from Brannel IT"),
          QStringLiteral("Launch at Login")})
        QVERIFY2(item(menu, title)->shortcut().isEmpty(), qPrintable(title));
}

// A menu reads '&' as a mnemonic marker: the name must still show as written.
void tst_ZelStandardMenu::quitTitleShowsTheNameAsWritten()
{
    QMenu menu;
    ZelStandardMenu standard(ZelAppConfig{"x", "Salt & Pepper", "http://127.0.0.1"});
    standard.append(&menu, false);
    QAction *quit = menu.actions().last();
    QCOMPARE(quit->text(), QStringLiteral("Quit Salt && Pepper"));
    QCOMPARE(quit->iconText(), QStringLiteral("Quit Salt & Pepper"));
}

void tst_ZelStandardMenu::preferencesCallsTheCallback()
{
    int calls = 0;
    QMenu menu;
    ZelStandardMenu standard(demo, nullptr, [&calls] { ++calls; });
    standard.append(&menu, false);
    item(menu, QStringLiteral("Preferences\u2026"))->trigger();
    QCOMPARE(calls, 1);
    // Without a callback the action is harmless.
    ZelStandardMenu bare(demo);
    bare.handlePreferences();
}

void tst_ZelStandardMenu::checkForUpdatesAsksTheOwnConfigurationsManifest()
{
    RequestRecorder server;
    QMenu menu;
    ZelStandardMenu standard(ZelAppConfig{"notes", "Notes", server.baseURL()});
    QVERIFY(standard.updater());
    QCOMPARE(standard.updater()->config(), standard.config());
    standard.append(&menu, false);
    item(menu, QStringLiteral("Check for Updates\u2026"))->trigger();
    QTRY_COMPARE(server.requests, QStringList{"GET /notes/version.json HTTP/1.1"});
}

void tst_ZelStandardMenu::checkForUpdatesUsesTheGivenUpdater()
{
    RequestRecorder server;
    auto updater = ZelUpdater::create(ZelAppConfig{"other", "Other", server.baseURL()});
    QMenu menu;
    ZelStandardMenu standard(ZelAppConfig{"notes", "Notes", "http://127.0.0.1:9"}, updater);
    QCOMPARE(standard.updater(), updater);
    standard.append(&menu, false);
    item(menu, QStringLiteral("Check for Updates\u2026"))->trigger();
    QTRY_COMPARE(server.requests, QStringList{"GET /other/version.json HTTP/1.1"});
}

void tst_ZelStandardMenu::moreAppsOpensThePage()
{
    UrlRecorder browser;
    QMenu menu;
    ZelStandardMenu standard(ZelAppConfig{"notes", "Notes", "http://example.invalid"});
    standard.append(&menu, false);
    item(menu, QStringLiteral("More from Brannel IT"))->trigger();
    QCOMPARE(browser.opened, QList<QUrl>{QUrl("http://example.invalid/our-apps/?ref=notes")});
}

void tst_ZelStandardMenu::launchAtLoginMarkFollowsTheEntry()
{
    QMenu menu;
    ZelStandardMenu standard(demo);
    standard.append(&menu, true);
    QAction *login = item(menu, QStringLiteral("Launch at Login"));
    QVERIFY(!login->isChecked());

    login->trigger();
    QVERIFY(QFile::exists(autostartEntry()));
    QVERIFY(login->isChecked());

    login->trigger();
    QVERIFY(!QFile::exists(autostartEntry()));
    QVERIFY(!login->isChecked());

    // A change made elsewhere shows only at the next toggle, which starts from it.
    QVERIFY(!ZelLaunchAtLogin::isEnabled());
    ZelLaunchAtLogin::setEnabled(true);
    QVERIFY(!login->isChecked());
    login->trigger();
    QVERIFY(!QFile::exists(autostartEntry()));
    QVERIFY(!login->isChecked());
    QCOMPARE(m_log, QStringList());
}

void tst_ZelStandardMenu::launchAtLoginMarkStaysOffWhenTheChangeFails()
{
    // A folder where the entry belongs: it cannot be written, even by root.
    QVERIFY(QDir().mkpath(autostartEntry()));
    QMenu menu;
    ZelStandardMenu standard(demo);
    standard.append(&menu, true);
    QAction *login = item(menu, QStringLiteral("Launch at Login"));
    login->trigger();
    QVERIFY(!login->isChecked());
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().startsWith(QLatin1String("[ZelKit] Launch at login error: ")));
    QVERIFY(QDir().rmdir(autostartEntry()));
}

// A host that lets the object go before its menu: the items stay, and act on nothing.
void tst_ZelStandardMenu::itemsOutlivingTheObjectDoNothing()
{
    RequestRecorder server;
    UrlRecorder browser;
    int calls = 0;
    QMenu menu;
    {
        ZelStandardMenu standard(ZelAppConfig{"gone", "Gone", server.baseURL()}, nullptr,
                                 [&calls] { ++calls; });
        standard.append(&menu, true);
    }
    for (QAction *action : menu.actions())
        action->trigger();
    QCOMPARE(calls, 0);
    QCOMPARE(browser.opened, QList<QUrl>());
    QVERIFY(!QFile::exists(autostartEntry()));
    // Give a request that should not exist the time to arrive.
    RequestRecorder control;
    ZelStandardMenu live(ZelAppConfig{"live", "Live", control.baseURL()});
    live.handleCheckForUpdates();
    QTRY_COMPARE(control.requests.size(), 1);
    QCOMPARE(server.requests, QStringList());
}

void tst_ZelStandardMenu::quitEndsTheEventLoop()
{
    QMenu menu;
    ZelStandardMenu standard(demo);
    standard.append(&menu, false);
    QAction *quit = item(menu, QStringLiteral("Quit Demo"));
    QTimer::singleShot(0, quit, &QAction::trigger);
    // Should the request go nowhere, the loop still ends, with another code.
    QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(7); });
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(tst_ZelStandardMenu)
#include "tst_zelstandardmenu.moc"
