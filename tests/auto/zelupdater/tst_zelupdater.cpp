#include <ZelKit/ZelUpdater.h>

#include "ManifestServer.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

// What one message box showed, read from the real widget while it ran.
struct ShownDialog
{
    QString title;
    QString text;
    QString informative;
    QStringList buttons;
    QString defaultButton;
    QString escapeButton;
    Qt::TextFormat informativeFormat = Qt::AutoText;
    QColor iconColor;
};

// Answers every message box that becomes modal with the button named press.
class DialogWatcher : public QObject
{
    Q_OBJECT
public:
    explicit DialogWatcher(QString press) : m_press(std::move(press))
    {
        connect(&m_timer, &QTimer::timeout, this, &DialogWatcher::look);
        m_timer.start(10);
    }
    QList<ShownDialog> shown;

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || m_answered.contains(box))
            return;
        m_answered.append(box);
        ShownDialog d;
        d.title = box->windowTitle();
        d.text = box->text();
        d.informative = box->informativeText();
        for (QAbstractButton *b : box->buttons())
            d.buttons << b->text();
        d.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        d.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
        if (auto *label = box->findChild<QLabel *>(QLatin1String("qt_msgbox_informativelabel")))
            d.informativeFormat = label->textFormat();
        const QImage icon = box->iconPixmap().toImage();
        if (!icon.isNull())
            d.iconColor = icon.pixelColor(icon.width() / 2, icon.height() / 2);
        shown.append(d);
        for (QAbstractButton *b : box->buttons()) {
            if (b->text() == m_press) {
                b->click();
                return;
            }
        }
        box->reject();
    }

    QString m_press;
    QTimer m_timer;
    QList<QMessageBox *> m_answered;
};

// Stands in for the desktop's browser: QDesktopServices hands web addresses here.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    UrlRecorder()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
    }
    ~UrlRecorder() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class tst_ZelUpdater : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void compareVersions_data();
    void compareVersions();
    void runningVersion();
    void check_data();
    void check();
    void oversizedBody_data();
    void oversizedBody();
    void endlessBodyEndsTheCheck();
    void silentServerEndsAfterTimeout();
    void unreachableServerIsSilent();
    void twoChecksRunIndependently();
    void iconIsAppIconResource();
    void iconFallsBackToWindowIcon();

private:
    // Runs one check with the updater released at once, as an owner might, and waits
    // until the check has let go of it: that is the end of the check.
    QList<ShownDialog> runCheck(const QString &id, bool silent, const QString &press,
                                int timeoutMs = 10000);

    ManifestServer m_server;
    UrlRecorder *m_urls = nullptr;
};

void tst_ZelUpdater::initTestCase()
{
    QVERIFY2(m_server.start(), "the manifest server did not start");
    m_urls = new UrlRecorder;
    QApplication::setWindowIcon(QIcon());
    Q_CLEANUP_RESOURCE(updater_icon);
}

void tst_ZelUpdater::cleanup()
{
    m_urls->opened.clear();
    QCoreApplication::setApplicationVersion(QString());
}

QList<ShownDialog> tst_ZelUpdater::runCheck(const QString &id, bool silent, const QString &press,
                                            int timeoutMs)
{
    DialogWatcher watcher(press);
    std::shared_ptr<ZelUpdater> updater =
        ZelUpdater::create(ZelAppConfig{id, QStringLiteral("Demo"), m_server.baseURL()});
    const std::weak_ptr<ZelUpdater> alive = updater;
    updater->checkForUpdates(silent);
    updater.reset();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), timeoutMs); }();
    return watcher.shown;
}

void tst_ZelUpdater::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");
    QTest::newRow("1.10 > 1.9") << "1.10"
                                << "1.9" << 1;
    QTest::newRow("2.0 > 1.99") << "2.0"
                                << "1.99" << 1;
    QTest::newRow("1.2.0 > 1.2") << "1.2.0"
                                 << "1.2" << 1;
    QTest::newRow("1.2 < 1.2.0") << "1.2"
                                 << "1.2.0" << -1;
    QTest::newRow("1.2b > 1.2a") << "1.2b"
                                 << "1.2a" << 1;
    QTest::newRow("1.2 == 1.2") << "1.2"
                                << "1.2" << 0;
    QTest::newRow("both empty") << ""
                                << "" << 0;
    QTest::newRow("empty < 1.0") << ""
                                 << "1.0" << -1;
    QTest::newRow("1.0 > empty") << "1.0"
                                 << "" << 1;
    QTest::newRow("leading zeros equal") << "1.01"
                                         << "1.1" << 0;
    QTest::newRow("leading zeros 007 == 7") << "007"
                                            << "7" << 0;
    QTest::newRow("leading zeros 1.002 < 1.10") << "1.002"
                                                << "1.10" << -1;
    QTest::newRow("all zeros") << "1.000"
                               << "1.0" << 0;
    QTest::newRow("1.9 < 1.10") << "1.9"
                                << "1.10" << -1;
    QTest::newRow("1.0.1 > 1.0") << "1.0.1"
                                 << "1.0" << 1;
    QTest::newRow("case-sensitive: B < a") << "1.2B"
                                           << "1.2a" << -1;
    QTest::newRow("digit against letter by code") << "1.2"
                                                  << "1.a" << -1;
    QTest::newRow("numbers beyond 64 bits") << "1.123456789012345678901234567890"
                                            << "1.123456789012345678901234567889" << 1;
    QTest::newRow("longer number larger") << "10"
                                          << "9" << 1;
    QTest::newRow("non-ASCII digits by code") << "1.\u0663"
                                              << "1.3" << 1;
}

void tst_ZelUpdater::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(ZelUpdater::compareVersions(a, b), expected);
    QCOMPARE(ZelUpdater::compareVersions(b, a), -expected);
}

void tst_ZelUpdater::runningVersion()
{
    QCoreApplication::setApplicationVersion(QString());
    QCOMPARE(ZelUpdater::runningVersion(), QStringLiteral("1.0"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.4.1"));
    QCOMPARE(ZelUpdater::runningVersion(), QStringLiteral("3.4.1"));
}

void tst_ZelUpdater::check_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("running");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("press");
    QTest::addColumn<QString>("text"); // empty: no dialog at all
    QTest::addColumn<QString>("informative");
    QTest::addColumn<QString>("opened"); // empty: nothing opened

    const QString update = QStringLiteral("Demo update available");
    const QString upToDate = QStringLiteral("Demo is up to date");
    const QString latest = QStringLiteral("You're running the latest version.");
    const QString dl =
        QStringLiteral("https://downloads.example.invalid/Demo-1.10.zip?ref=a%20b#x");
    const QByteArray manifest110 =
        R"({"version": "1.10", "url": ")" + dl.toUtf8() + R"(", "notes": "Faster sync."})";

    QTest::newRow("newer, user-initiated, download")
        << manifest110 << 200 << "1.9" << false << "Download Update" << update
        << "Version 1.10 is available.\n\nRelease notes: Faster sync." << dl;
    QTest::newRow("newer, silent, download")
        << manifest110 << 200 << "1.9" << true << "Download Update" << update
        << "Version 1.10 is available.\n\nRelease notes: Faster sync." << dl;
    QTest::newRow("newer, later opens nothing")
        << manifest110 << 200 << "1.9" << false << "Later" << update
        << "Version 1.10 is available.\n\nRelease notes: Faster sync."
        << "";
    QTest::newRow("equal, user-initiated")
        << QByteArray(R"({"version":"1.2","url":"https://e.invalid/x"})") << 200 << "1.2" << false
        << "OK" << upToDate << latest << "";
    QTest::newRow("equal, silent") << QByteArray(R"({"version":"1.2","url":"https://e.invalid/x"})")
                                   << 200 << "1.2" << true << "OK"
                                   << ""
                                   << ""
                                   << "";
    QTest::newRow("older, user-initiated")
        << QByteArray(R"({"version":"1.1","url":"https://e.invalid/x"})") << 200 << "1.2" << false
        << "OK" << upToDate << latest << "";
    QTest::newRow("older, silent") << QByteArray(R"({"version":"1.1","url":"https://e.invalid/x"})")
                                   << 200 << "1.2" << true << "OK"
                                   << ""
                                   << ""
                                   << "";
    QTest::newRow("1.2.0 against running 1.2 offers an update")
        << QByteArray(R"({"version":"1.2.0","url":"http://e.invalid/x"})") << 200 << "1.2" << false
        << "Later" << update << "Version 1.2.0 is available."
        << "";
    QTest::newRow("no running version: 1.0.1 is newer")
        << QByteArray(R"({"version":"1.0.1","url":"http://e.invalid/x"})") << 200 << "" << false
        << "Later" << update << "Version 1.0.1 is available."
        << "";
    QTest::newRow("no running version: 1.0 is up to date")
        << QByteArray(R"({"version":"1.0","url":"http://e.invalid/x"})") << 200 << "" << false
        << "OK" << upToDate << latest << "";
    QTest::newRow("notes absent") << QByteArray(R"({"version":"2","url":"http://e.invalid/x"})")
                                  << 200 << "1" << false << "Later" << update
                                  << "Version 2 is available."
                                  << "";
    QTest::newRow("notes null") << QByteArray(
                                       R"({"version":"2","url":"http://e.invalid/x","notes":null})")
                                << 200 << "1" << false << "Later" << update
                                << "Version 2 is available."
                                << "";
    QTest::newRow("notes a number")
        << QByteArray(R"({"version":"2","url":"http://e.invalid/x","notes":3})") << 200 << "1"
        << false << "Later" << update << "Version 2 is available."
        << "";
    QTest::newRow("notes empty") << QByteArray(
                                        R"({"version":"2","url":"http://e.invalid/x","notes":""})")
                                 << 200 << "1" << false << "Later" << update
                                 << "Version 2 is available."
                                 << "";
    QTest::newRow("notes with markup stay text")
        << QByteArray(
               R"({"version":"2","url":"http://e.invalid/x","notes":"<a href='file:///'>x</a>\nline"})")
        << 200 << "1" << false << "Later" << update
        << "Version 2 is available.\n\nRelease notes: <a href='file:///'>x</a>\nline"
        << "";
    QTest::newRow("other keys ignored")
        << QByteArray(R"({"version":"2","url":"http://e.invalid/x","extra":[1,2]})") << 200 << "1"
        << false << "Later" << update << "Version 2 is available."
        << "";
    QTest::newRow("500 with a valid manifest")
        << QByteArray(R"({"version":"2","url":"http://e.invalid/x"})") << 500 << "1" << false
        << "Later" << update << "Version 2 is available."
        << "";
    QTest::newRow("version as a number")
        << QByteArray(R"({"version":2,"url":"http://e.invalid/x"})") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("version missing")
        << QByteArray(R"({"url":"http://e.invalid/x"})") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("url missing") << QByteArray(R"({"version":"9"})") << 200 << "1" << false << ""
                                 << ""
                                 << ""
                                 << "";
    QTest::newRow("url a number") << QByteArray(R"({"version":"9","url":5})") << 200 << "1" << false
                                  << ""
                                  << ""
                                  << ""
                                  << "";
    QTest::newRow("url unparseable")
        << QByteArray(R"({"version":"9","url":"http://[::1/x"})") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("url relative") << QByteArray(R"({"version":"9","url":"/downloads/x.zip"})")
                                  << 200 << "1" << false << ""
                                  << ""
                                  << ""
                                  << "";
    QTest::newRow("url file scheme")
        << QByteArray(R"({"version":"9","url":"file:///etc/passwd"})") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("url custom scheme")
        << QByteArray(R"({"version":"9","url":"x-run:/usr/bin/xterm"})") << 200 << "1" << false
        << ""
        << ""
        << ""
        << "";
    QTest::newRow("top level an array")
        << QByteArray(R"([{"version":"9","url":"http://e/x"}])") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("top level a string") << QByteArray(R"("9")") << 200 << "1" << false << ""
                                        << ""
                                        << ""
                                        << "";
    QTest::newRow("404 with an HTML page")
        << QByteArray("<html><body><h1>Not Found</h1></body></html>") << 404 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("truncated JSON")
        << QByteArray(R"({"version":"9","url":"http://e/x")") << 200 << "1" << false << ""
        << ""
        << ""
        << "";
    QTest::newRow("empty body") << QByteArray() << 200 << "1" << false << ""
                                << ""
                                << ""
                                << "";
    QTest::newRow("binary garbage")
        << QByteArray("\x00\xff\xfe{\x01", 5) << 200 << "1" << false << ""
        << ""
        << ""
        << "";
}

void tst_ZelUpdater::check()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, running);
    QFETCH(bool, silent);
    QFETCH(QString, press);
    QFETCH(QString, text);
    QFETCH(QString, informative);
    QFETCH(QString, opened);

    static int rows = 0;
    const QString id = QStringLiteral("row%1").arg(++rows);
    m_server.serve(id, body, status);
    QCoreApplication::setApplicationVersion(running);

    const QList<ShownDialog> shown = runCheck(id, silent, press);
    QCOMPARE(m_server.requestCount(id), 1);
    if (text.isEmpty()) {
        QCOMPARE(shown.size(), 0);
    } else {
        QCOMPARE(shown.size(), 1);
        const ShownDialog &d = shown.first();
        QCOMPARE(d.text, text);
        QCOMPARE(d.informative, informative);
        QCOMPARE(d.informativeFormat, Qt::PlainText);
        QCOMPARE(d.title, QStringLiteral("Demo"));
        if (text.endsWith(QLatin1String("available"))) {
            QCOMPARE(d.buttons, QStringList({"Download Update", "Later"}));
            QCOMPARE(d.defaultButton, QStringLiteral("Download Update"));
            QCOMPARE(d.escapeButton, QStringLiteral("Later"));
        } else {
            QCOMPARE(d.buttons, QStringList({"OK"}));
            QCOMPARE(d.defaultButton, QStringLiteral("OK"));
        }
    }
    if (opened.isEmpty()) {
        QCOMPARE(m_urls->opened.size(), 0);
    } else {
        QCOMPARE(m_urls->opened.size(), 1);
        QCOMPARE(m_urls->opened.first().toString(QUrl::FullyEncoded), opened);
    }
}

void tst_ZelUpdater::oversizedBody_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("shown");
    QTest::newRow("exactly the bound") << int(ZelUpdater::maxManifestBytes) << true;
    QTest::newRow("one byte over") << int(ZelUpdater::maxManifestBytes + 1) << false;
    QTest::newRow("twenty megabytes") << 20 * 1024 * 1024 << false;
}

// A valid, newer manifest padded with JSON whitespace: only the bound keeps it out.
void tst_ZelUpdater::oversizedBody()
{
    QFETCH(int, size);
    QFETCH(bool, shown);
    QByteArray body = R"({"version":"9","url":"http://e.invalid/x"})";
    body.append(QByteArray(size - body.size(), ' '));
    const QString id = QStringLiteral("big%1").arg(size);
    m_server.serve(id, body);
    QCoreApplication::setApplicationVersion(QStringLiteral("1"));
    QCOMPARE(runCheck(id, false, QStringLiteral("Later")).size(), shown ? 1 : 0);
}

void tst_ZelUpdater::endlessBodyEndsTheCheck()
{
    m_server.endless(QStringLiteral("endless"), R"({"version":"9","url":"http://e.invalid/x"})");
    QCoreApplication::setApplicationVersion(QStringLiteral("1"));
    QCOMPARE(runCheck(QStringLiteral("endless"), false, QStringLiteral("Later")).size(), 0);
    QTRY_VERIFY(m_server.events().contains(QStringLiteral("closed endless")));
}

void tst_ZelUpdater::silentServerEndsAfterTimeout()
{
    m_server.hang(QStringLiteral("hung"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runCheck(QStringLiteral("hung"), false, QStringLiteral("OK"), 20000).size(), 0);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 4500 && elapsed < 15000, qPrintable(QString::number(elapsed)));
    QTRY_VERIFY(m_server.events().contains(QStringLiteral("closed hung")));
}

void tst_ZelUpdater::unreachableServerIsSilent()
{
    // A port that was free a moment ago: the connection is refused at once.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    DialogWatcher watcher(QStringLiteral("OK"));
    auto updater = ZelUpdater::create(
        ZelAppConfig{"gone", "Demo", QStringLiteral("http://127.0.0.1:%1").arg(port)});
    const std::weak_ptr<ZelUpdater> alive = updater;
    updater->checkForUpdates(false);
    updater.reset();
    QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), 10000);
    QCOMPARE(watcher.shown.size(), 0);
}

void tst_ZelUpdater::twoChecksRunIndependently()
{
    m_server.serve(QStringLiteral("twice"), R"({"version":"1","url":"http://e.invalid/x"})");
    QCoreApplication::setApplicationVersion(QStringLiteral("1"));
    DialogWatcher watcher(QStringLiteral("OK"));
    auto updater = ZelUpdater::create(ZelAppConfig{"twice", "Demo", m_server.baseURL()});
    updater->checkForUpdates(false);
    updater->checkForUpdates(false);
    const std::weak_ptr<ZelUpdater> alive = updater;
    updater.reset();
    QTRY_VERIFY_WITH_TIMEOUT(alive.expired(), 10000);
    QCOMPARE(watcher.shown.size(), 2);
    QCOMPARE(m_server.requestCount(QStringLiteral("twice")), 2);
}

void tst_ZelUpdater::iconIsAppIconResource()
{
    Q_INIT_RESOURCE(updater_icon);
    QPixmap red(32, 32);
    red.fill(Qt::red);
    QApplication::setWindowIcon(QIcon(red));
    m_server.serve(QStringLiteral("icon1"), R"({"version":"1","url":"http://e.invalid/x"})");
    QCoreApplication::setApplicationVersion(QStringLiteral("1"));
    const QList<ShownDialog> shown = runCheck(QStringLiteral("icon1"), false, QStringLiteral("OK"));
    Q_CLEANUP_RESOURCE(updater_icon);
    QApplication::setWindowIcon(QIcon());
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().iconColor, QColor(Qt::green));
}

void tst_ZelUpdater::iconFallsBackToWindowIcon()
{
    QPixmap red(32, 32);
    red.fill(Qt::red);
    QApplication::setWindowIcon(QIcon(red));
    m_server.serve(QStringLiteral("icon2"), R"({"version":"1","url":"http://e.invalid/x"})");
    QCoreApplication::setApplicationVersion(QStringLiteral("1"));
    const QList<ShownDialog> shown = runCheck(QStringLiteral("icon2"), false, QStringLiteral("OK"));
    QApplication::setWindowIcon(QIcon());
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().iconColor, QColor(Qt::red));
}

QTEST_MAIN(tst_ZelUpdater)
#include "tst_zelupdater.moc"
