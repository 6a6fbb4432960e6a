// The registry server and the hub client on a real session bus, driven and
// watched by foreign peers: gdbus emits, dbus-monitor watches, a second
// connection owns names.
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/DBusNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>
#include <ZelKit/platform/ZelLog.h>

#include "BusMonitor.h"
#include "TestImages.h"

#include <QBuffer>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QIcon>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

using Anchor = std::optional<QPointF>;

class TestClient : public ZelHubClient
{
public:
    TestClient() : ZelHubClient(DistributedNotificationCenter::defaultCenter()) {}
};

namespace {

const ZelAppConfig alpha{u"alpha"_qs, u"Alpha"_qs, u"http://127.0.0.1"_qs};
const QString sentinel = u"com.brannel.zelhub.zelTestSentinel"_qs;

bool emitSignal(const QString &member, const QStringList &args)
{
    return QProcess::execute("gdbus", QStringList{"emit", "--session", "--object-path",
                                                  "/com/brannel/zelhub", "--signal",
                                                  "com.brannel.zelhub." + member} +
                                          args) == 0;
}

QString bytes(const QByteArray &data)
{
    QStringList parts;
    for (char c : data)
        parts << QString::number(quint8(c));
    return "<@ay [" + parts.join(", ") + "]>";
}

// A valid PNG whose header claims a size no status icon has.
QByteArray pngBomb(quint32 width, quint32 height)
{
    QByteArray png = solidPng({1, 1});
    const auto put = [&](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            png[at + i] = char(v >> (24 - 8 * i));
    };
    put(16, width);
    put(20, height);
    quint32 crc = 0xffffffffu;
    for (char ch : png.mid(12, 17)) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    put(29, ~crc);
    return png;
}

QString marks(int n)
{
    return QString(n, QChar(0x301)) + QString(n, QChar(0x316));
}

QByteArray encoded(const char *format)
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::green);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(true);
    writer.write(image);
    return data;
}

QString imageData(const QByteArray &data)
{
    return "'statusImageData': " + bytes(data);
}

QColor centre(const QIcon &icon)
{
    const QImage image = icon.pixmap(16).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

class tst_HubWire : public QObject
{
    Q_OBJECT

    QTemporaryDir theme;
    std::unique_ptr<DBusNotificationCenter> peer; // a second connection, for big payloads
    std::unique_ptr<ZelHubServer> server;
    QObject witness;
    int sentinels = 0, sentinelsSeen = 0, changes = 0;
    QStringList log;
    bool sync(bool fromPeer = false)
    {
        // A later signal of the same peer arrives after the ones before it; once it
        // is here, whatever they caused has been queued, and one more turn of the
        // loop applies it. Our own match rules are in place once the bus has
        // answered a call made after them.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.freedesktop.DBus"_qs);
        ++sentinels;
        if (fromPeer)
            peer->postNotification(sentinel, std::nullopt);
        else if (!emitSignal(sentinel.section(u'.', -1), {}))
            return false;
        if (!QTest::qWaitFor([this] { return sentinelsSeen == sentinels; }, 20000))
            return false;
        QCoreApplication::processEvents();
        return QTest::qWaitFor([this] { return !server || server->pendingCount() == 0; }, 20000);
    }
    QStringList ids() const
    {
        QStringList result;
        for (const ZelHubApp &app : server->apps())
            result << app.id;
        return result;
    }

private slots:
    void initTestCase()
    {
        // A theme of our own: a red symbol, and a blue icon for a running
        // application.
        QDir root(theme.path());
        QVERIFY(root.mkpath("zeltest/16x16"));
        QFile index(root.filePath("zeltest/index.theme"));
        QVERIFY(index.open(QIODevice::WriteOnly));
        index.write("[Icon Theme]\nName=zeltest\nDirectories=16x16\n\n[16x16]\nSize=16\n");
        index.close();
        for (const auto &[name, colour] : {std::pair{"zel-test-symbol", Qt::red},
                                           std::pair{"com.brannel.zeltest.Owned", Qt::blue}}) {
            QImage icon(16, 16, QImage::Format_ARGB32);
            icon.fill(colour);
            QVERIFY(icon.save(root.filePath(u"zeltest/16x16/%1.png"_qs.arg(QLatin1String(name)))));
        }
        QIcon::setThemeSearchPaths({theme.path()});
        QIcon::setThemeName("zeltest");
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        peer = std::make_unique<DBusNotificationCenter>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "peer"));
        DistributedNotificationCenter::defaultCenter()->addObserver(
            &witness, sentinel, [this](const ZelNotification &) { ++sentinelsSeen; });
        ZelLog::setCaptureHook([this](const QString &line) { log << line; });
    }
    void init()
    {
        server = std::make_unique<ZelHubServer>();
        server->onRegistryChanged = [this] { ++changes; };
        server->start();
        QVERIFY(sync());
        log.clear();
        changes = 0;
    }
    void cleanup()
    {
        server->stop();
        server.reset();
    }
    void registration_data()
    {
        QTest::addColumn<QVariant>("payload"); // gdbus arguments, or a userInfo for the peer
        QTest::addColumn<QString>("name");     // null: dropped
        QTest::addColumn<QString>("bundleID");
        QTest::addColumn<QVariant>("title"); // invalid: none
        QTest::addColumn<QColor>("image");   // invalid: none
        const auto drop = [](const char *row, const QStringList &args) {
            QTest::newRow(row) << QVariant(args) << QString() << "" << QVariant() << QColor();
        };
        drop("empty appID", {"{'appID': <''>, 'appName': <'Empty'>}"});
        drop("numeric appID", {"{'appID': <7>}"});
        drop("appID as bytes", {"{'appID': <b'a'>}"});
        drop("appID an object path", {"{'appID': <objectpath '/a'>}"});
        drop("appID missing", {"{'appName': <'Nobody'>}"});
        drop("no userInfo", {});
        drop("empty userInfo", {"@a{sv} {}"});
        drop("a string, not a dictionary", {"'a'"});
        drop("two dictionaries", {"{'appID': <'a'>}", "{'appID': <'a'>}"});
        drop("a{ss}, not a{sv}", {"@a{ss} {'appID': 'a'}"});
        // Texts beyond 255 units count as absent, before any work is done on them.
        drop("id of 256 units", {"{'appID': <'" + QString(256, u'i') + "'>}"});
        drop("id of 64 KB of combining marks", {"{'appID': <'a" + marks(16000) + "'>}"});
        const auto keep = [](const char *row, const QString &dict, const char *name,
                             const char *bundle = "", QVariant title = {}, QColor image = {}) {
            QTest::newRow(row) << QVariant(QStringList{"{'appID': <'a'>, " + dict + "}"}) << name
                               << bundle << title << image;
        };
        keep("all keys, and one unknown",
             "'appName': <'Alpha'>, 'bundleID': <'com.example.A'>, 'statusTitle': "
             "<'12\u00b0'>, "
             "'unknownKey': <'x'>",
             "Alpha", "com.example.A", u"12\u00b0"_qs);
        keep("only appID", "'x': <'y'>", "a");
        keep("empty name kept", "'appName': <''>", "");
        keep("numeric name", "'appName': <3>", "a");
        keep("boolean bundleID", "'bundleID': <true>", "a");
        keep("empty title kept", "'statusTitle': <''>", "a", "", u""_qs);
        keep("numeric title", "'statusTitle': <3.5>", "a");
        keep("name of 256 units is no name", "'appName': <'" + QString(256, u'n') + "'>", "a");
        keep("title of 60000 combining marks", "'statusTitle': <'a" + marks(30000) + "'>", "a");
        keep("an ICO is not a PNG", imageData(encoded("ico")), "a");
        keep("a progressive JPEG is not a PNG", imageData(encoded("jpeg")), "a");
        const QString green = imageData(solidPng({8, 8}));
        keep("known symbol wins over data", "'statusSymbolName': <'zel-test-symbol'>, " + green,
             "a", "", {}, Qt::red);
        keep("unknown symbol falls back to data",
             "'statusSymbolName': <'no-such-symbol'>, " + green, "a", "", {}, Qt::green);
        keep("symbol as bytes falls back to data",
             "'statusSymbolName': <b'zel-test-symbol'>, " + green, "a", "", {}, Qt::green);
        keep("unknown symbol, no data", "'statusSymbolName': <'no-such-symbol'>", "a");
        keep("data as text", "'statusImageData': <'iVBOR'>", "a");
        keep("garbage data", imageData("\x89PNG\r\n\x1a\nnot really"), "a");
        keep("truncated png", imageData(solidPng({16, 16}).left(40)), "a");
        keep("bomb 100000 x 100000", imageData(pngBomb(100000, 100000)), "a");
        keep("bomb 1025 x 1", imageData(pngBomb(1025, 1)), "a");
        keep("largest image, 1024 x 1024", imageData(solidPng({1024, 1024})), "a", "", {},
             Qt::green);
        QTest::newRow("over a mebibyte of data")
            << QVariant(QVariantMap{{"appID", "a"},
                                    {"statusImageData", solidPng({8, 8}) + QByteArray(1 << 20, 0)}})
            << "a"
            << "" << QVariant() << QColor();
    }
    void registration()
    {
        QFETCH(QVariant, payload);
        QFETCH(QString, name);
        QFETCH(QString, bundleID);
        QFETCH(QVariant, title);
        QFETCH(QColor, image);
        const bool fromPeer = payload.typeId() == QMetaType::QVariantMap;
        if (fromPeer)
            peer->postNotification(ZelHubProtocol::register_, payload.toMap());
        else
            QVERIFY(emitSignal("register", payload.toStringList()));
        QVERIFY(sync(fromPeer));
        if (name.isNull()) {
            QCOMPARE(server->apps().size(), 0);
            QCOMPARE(log, QStringList());
            QCOMPARE(changes, 0);
            return;
        }
        QCOMPARE(server->apps(), (QList<ZelHubApp>{{"a", name, bundleID}}));
        QCOMPARE(log, QStringList{u"[ZelHub] registered %1 (a) \u2014 1 app(s) now"_qs.arg(name)});
        QCOMPARE(changes, 1);
        const ZelStatusInfo info = server->statusInfo(server->apps().first());
        QCOMPARE(info.title.has_value(), title.isValid());
        if (title.isValid())
            QCOMPARE(*info.title, title.toString());
        QCOMPARE(info.image.has_value(), image.isValid());
        if (info.image) {
            QVERIFY(info.image->isMask());
            QCOMPARE(centre(*info.image), image);
            // Kept no larger than the grid draws it: 18 points on this screen of ratio 1.
            QVERIFY(info.image->availableSizes().constLast().width() <= 18);
        }
    }
    void registry_data()
    {
        // "+ID NAME TITLE" registers (NAME and TITLE optional, "*" for an image), "-ID"
        // unregisters; anything else goes to gdbus as it is.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("ids"); // in list order
        QTest::addColumn<int>("changes");
        QTest::addColumn<QString>("logs"); // "NAME (ID) COUNT" of each registration line
        const auto row = [](const char *name, const QString &steps, const QString &ids, int changes,
                            const QString &logs) {
            QTest::newRow(name) << steps.split(u"; "_qs) << ids.split(u' ', Qt::SkipEmptyParts)
                                << changes << logs;
        };
        row("repeat without image is silent", "+a a t; +a a t", "a", 1, "a (a) 1");
        row("repeat with image counts each time", "+a *; +a *", "a", 2, "a (a) 1; a (a) 1");
        row("canonically equivalent id and name are the same app",
            u"+caf\u00e9 Caf\u00e9; +cafe\u0301 Cafe\u0301"_qs, u"caf\u00e9"_qs, 1,
            u"Caf\u00e9 (caf\u00e9) 1"_qs);
        row("rename replaces and re-sorts", "+a Alpha; +b Beta; +c Gamma; +a Zulu", "b c a", 4,
            "Alpha (a) 1; Beta (b) 2; Gamma (c) 3; Zulu (a) 3");
        // Equal names keep their order: a new one goes after them, a changed one stays.
        row("by name, case-insensitive, in the locale's order, stable",
            u"+1 beta; +2 Alpha; +3 gamma; +4 Zed; +5 zed; +6 \u00c9mile; +7 \u00d6rn; +9 ZED; "
            "+5 zed x; locale sv_SE; +8 Omega"_qs,
            "2 1 6 3 8 4 5 9 7", 10,
            u"beta (1) 1; Alpha (2) 2; gamma (3) 3; Zed (4) 4; zed (5) 5; \u00c9mile (6) 6; "
            "\u00d6rn (7) 7; ZED (9) 8; zed (5) 8; Omega (8) 9"_qs);
        row("unregister: malformed and unknown ignored, known removed silently",
            "+a Alpha; unregister {'appID': <1>}; unregister; unregister 'a'; -b; "
            "unregister {'appID': <''>}; unregister {'appID': <'a'>, 'appName': <'other'>}",
            "", 2, "Alpha (a) 1");
        row("two instances share one entry", "+n Notes first; +n Notes second; -n", "", 3,
            "Notes (n) 1; Notes (n) 1");
    }
    void registry()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, ids);
        QFETCH(int, changes);
        QFETCH(QString, logs);
        for (const QString &step : steps) {
            const QStringList w = step.mid(1).split(u' ');
            QString dict = u"{'appID': <'%1'>"_qs.arg(w[0]);
            if (w.value(1) == u"*")
                dict += ", 'statusImageData': " + bytes(solidPng({4, 4}));
            else if (w.size() > 1)
                dict += u", 'appName': <'%1'>"_qs.arg(w[1]);
            if (w.size() > 2)
                dict += u", 'statusTitle': <'%1'>"_qs.arg(w[2]);
            if (step.startsWith(u"locale "))
                QLocale::setDefault(QLocale(step.mid(7)));
            else if (step.startsWith(u'+') || step.startsWith(u'-'))
                QVERIFY(emitSignal(step[0] == u'+' ? "register" : "unregister", {dict + "}"}));
            else // "MEMBER ARGUMENT", the argument in gdbus's syntax
                QVERIFY(emitSignal(step.section(u' ', 0, 0),
                                   step.contains(u' ') ? QStringList{step.section(u' ', 1)}
                                                       : QStringList()));
        }
        QVERIFY(sync());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(this->ids(), ids);
        QCOMPARE(this->changes, changes);
        QStringList lines;
        for (const QString &l : logs.split(u"; "_qs))
            lines << "[ZelHub] registered " + QString(l).replace(u") "_qs, u") \u2014 "_qs) +
                         " app(s) now";
        QCOMPARE(log, lines);
    }
    void registryIsBounded()
    {
        const auto post = [this](const QString &name, const QVariantMap &info) {
            peer->postNotification(u"com.brannel.zelhub."_qs + name, info);
        };
        for (int i = 0; i < 1002; ++i)
            post("register", {{"appID", QString::number(i)}});
        QVERIFY(sync(true));
        QCOMPARE(server->apps().size(), 1000);
        QCOMPARE(log.count(u"[ZelHub] registry full \u2014 ignoring new Zel apps"_qs), 1);
        QCOMPARE(log.size(), 1001);
        // Known apps still change; below the bound again, a new one comes in.
        post("register", {{"appID", "5"}, {"statusTitle", "t"}});
        post("unregister", {{"appID", "7"}});
        post("register", {{"appID", "1001"}});
        post("register", {{"appID", "1002"}});
        QVERIFY(sync(true));
        QCOMPARE(log.mid(1001),
                 (QStringList{u"[ZelHub] registered 5 (5) \u2014 1000 app(s) now"_qs,
                              u"[ZelHub] registered 1001 (1001) \u2014 1000 app(s) now"_qs,
                              u"[ZelHub] registry full \u2014 ignoring new Zel apps"_qs}));
    }
    void prune()
    {
        // Another connection owns the names of running siblings, as their processes
        // would.
        const QString owned = u"com.brannel.zeltest.Owned"_qs;
        QDBusConnection owner = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "owner");
        QVERIFY(owner.registerService(owned));
        const QStringList bundles{"", owned, "com.brannel.zeltest.Gone", "com.brannel.My Notes",
                                  owner.baseService()};
        for (int i = 0; i < bundles.size(); ++i)
            QVERIFY(emitSignal(
                "register", {u"{'appID': <'%1'>, 'bundleID': <'%2'>}"_qs.arg(i).arg(bundles[i])}));
        QVERIFY(sync());
        changes = 0;
        server->pruneDeadApps();
        QCOMPARE(ids(), (QStringList{"0", "1"}));
        QCOMPARE(changes, 1);
        server->pruneDeadApps();
        QCOMPARE(changes, 1);

        // Without a registered status, the icon of the running application stands
        // in.
        const ZelHubApp unknown{"x", "X", owned};
        QCOMPARE(centre(server->statusInfo(unknown).image.value_or(QIcon())), QColor(Qt::blue));
        QVERIFY(!server->statusInfo(unknown).title);
        QVERIFY(owner.unregisterService(owned));
        QVERIFY(!RunningApplications::system()->isRunning(owned));
        QVERIFY(!server->statusInfo(unknown).image);
        server->pruneDeadApps();
        QCOMPARE(ids(), QStringList{"0"});
        QCOMPARE(changes, 2);
    }
    void commands()
    {
        BusMonitor monitor("com.brannel.zelhub");
        QVERIFY(monitor.start());
        ZelHubServer fresh;
        fresh.start();
        QCOMPARE(log, QStringList{u"[ZelHub] server started \u2014 discovering Zel apps"_qs});
        const ZelHubApp a{"alpha", "Alpha", "com.example.Alpha"};
        fresh.hideAll(std::nullopt);
        fresh.hideAll(QPointF(812, 40.5));
        fresh.hide(a, QPointF(1079.5, 0));
        fresh.showAll();
        fresh.show(a);
        fresh.activate(a, QPointF(812, 40.5));
        fresh.activate(a, std::nullopt, u"kwin-42"_qs);
        fresh.stop();
        // Each signal as "MEMBER ARGUMENTS KEY=TEXT..."; every value is a string.
        const QStringList expected{"discover 0",
                                   "hideIcon 1",
                                   "hideIcon 1 anchorX=812.0 anchorY=40.5",
                                   "hideIcon 1 anchorX=1079.5 anchorY=0.0 targetID=alpha",
                                   "showIcon 1",
                                   "showIcon 1 targetID=alpha",
                                   "activate 1 anchorX=812.0 anchorY=40.5 targetID=alpha",
                                   "activate 1 activationToken=kwin-42 targetID=alpha"};
        const auto seen = monitor.waitFor(expected.size());
        QCOMPARE(seen.size(), expected.size());
        for (int i = 0; i < seen.size(); ++i) {
            QCOMPARE(seen[i].path, u"/com/brannel/zelhub"_qs);
            QString text = seen[i].member + u' ' + QString::number(seen[i].argumentCount);
            for (auto [key, value] : seen[i].entries.asKeyValueRange())
                text += u' ' + key + u'=' +
                        (value.startsWith(u"string \""_qs) && value.endsWith(u'"')
                             ? value.mid(8).chopped(1)
                             : u'?' + value);
            QCOMPARE(text, expected[i]);
        }
    }
    void stoppedOrGoneServerDoesNothing()
    {
        server->stop();
        QVERIFY(emitSignal("register", {"{'appID': <'a'>}"}));
        QVERIFY(sync());
        QCOMPARE(server->apps().size(), 0);
        // A registration read just before the server goes is dropped with it.
        server->handleRegister({ZelHubProtocol::register_, QVariantMap{{"appID", "a"}}});
        server = std::make_unique<ZelHubServer>();
        QCoreApplication::processEvents();
        QCOMPARE(log, QStringList());
    }
    void clientOnTheWire()
    {
        QGuiApplication::setDesktopFileName(u"com.brannel.zeltest.Alpha"_qs);
        BusMonitor monitor("com.brannel.zelhub");
        QVERIFY(monitor.start());
        auto client = std::make_unique<TestClient>();
        Anchor activatedAt;
        client->onActivate = [&](Anchor a) { activatedAt = a; };
        client->statusBarImage = QImage::fromData(solidPng({16, 16}));
        client->statusBarTitle = u"Inbox"_qs;
        client->start(alpha);
        QVERIFY(RunningApplications::system()->isRunning(u"com.brannel.zeltest.Alpha"_qs));
        // The server in this process hears the client's post, and the client the
        // server's.
        QTRY_COMPARE(ids(), QStringList{"alpha"});
        server->activate(server->apps().first(), QPointF(812, 24.5));
        QTRY_COMPARE(activatedAt, Anchor(QPointF(812, 24.5)));
        // A foreign peer's "discover" is answered (with an image, which always
        // counts as new).
        QVERIFY(emitSignal("discover", {}));
        QTRY_COMPARE(changes, 2);
        client->stop();

        QList<BusMonitor::Signal> seen;
        QTRY_VERIFY([&] {
            seen = monitor.waitFor(5, 200);
            return seen.size() >= 5 && seen.last().member == u"unregister";
        }());
        QStringList members;
        for (const auto &signal : seen)
            members << signal.member;
        QCOMPARE(members,
                 (QStringList{"register", "activate", "discover", "register", "unregister"}));
        const BusMonitor::Signal &reg = seen.first();
        QCOMPARE(reg.sender, QDBusConnection::sessionBus().baseService());
        QVERIFY(reg.dictionary);
        QCOMPARE(reg.entries.value("appID"), u"string \"alpha\""_qs);
        QCOMPARE(reg.entries.value("appName"), u"string \"Alpha\""_qs);
        QCOMPARE(reg.entries.value("bundleID"), u"string \"com.brannel.zeltest.Alpha\""_qs);
        QCOMPARE(reg.entries.value("statusTitle"), u"string \"Inbox\""_qs);
        QVERIFY(reg.entries.value("statusImageData").startsWith(u"array of bytes"_qs));
        QCOMPARE(seen.last().entries, reg.entries);
        QCOMPARE(seen.at(3).entries, reg.entries);

        // Gone without stop(): never called again, and its name is given back.
        client->start(alpha);
        client.reset();
        QVERIFY(!RunningApplications::system()->isRunning(u"com.brannel.zeltest.Alpha"_qs));
        activatedAt.reset();
        QVERIFY(emitSignal("activate", {"@a{sv} {}"}));
        QVERIFY(sync());
        QCOMPARE(activatedAt, Anchor());
    }
    void foreignSignalsToClient_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("handled");
        QTest::addColumn<Anchor>("anchor");
        const auto row = [](const char *name, const QStringList &args, bool handled,
                            Anchor anchor = {}) {
            QTest::newRow(name) << args << handled << anchor;
        };
        row("no arguments", {}, true);
        row("anchor as text", {"{'anchorX': <'812.0'>, 'anchorY': <'24.5'>}"}, true,
            QPointF(812, 24.5));
        row("anchor as doubles", {"{'anchorX': <812.0>, 'anchorY': <24.5>}"}, true);
        row("huge anchor text",
            {"{'anchorX': <'1." + QString(20000, u'0') + "'>, 'anchorY': <'1'>}"}, true);
        row("targetID of 64 KB of combining marks", {"{'targetID': <'a" + marks(16000) + "'>}"},
            false);
        row("targetID a number, nested junk",
            {"{'targetID': <int64 5>, 'anchorX': <{'a': <1>}>, 'anchorY': <['x']>}"}, true);
        row("own targetID", {"{'targetID': <'alpha'>}"}, true);
        row("targetID of another app", {"{'targetID': <'beta'>}"}, false);
        row("a string, not a dictionary", {"'alpha'"}, false);
        row("two dictionaries", {"{'a': <'b'>}", "{'c': <'d'>}"}, false);
        row("a{ss}, not a{sv}", {"@a{ss} {'targetID': 'alpha'}"}, false);
    }
    void foreignSignalsToClient()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, handled);
        QFETCH(Anchor, anchor);
        TestClient client;
        QList<Anchor> activations;
        client.onActivate = [&](Anchor a) { activations.append(a); };
        client.start(alpha);
        QVERIFY(emitSignal("activate", args));
        QVERIFY(sync());
        QCOMPARE(activations, handled ? QList<Anchor>{anchor} : QList<Anchor>());
        client.stop();
    }
    void bundleIdentifier_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("heldByAnother");
        QTest::addColumn<bool>("claimed");
        QTest::newRow("application id") << "com.brannel.zeltest.Mine" << false << true;
        QTest::newRow("queued behind a running instance")
            << "com.brannel.zeltest.Queued" << true << true;
        QTest::newRow("not a bus name: sent, not claimed") << "not a bus name" << false << false;
    }
    void bundleIdentifier()
    {
        QFETCH(QString, id);
        QFETCH(bool, heldByAnother);
        QFETCH(bool, claimed);
        QGuiApplication::setDesktopFileName(id);
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "other");
        if (heldByAnother)
            QVERIFY(other.registerService(id));
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        auto client = std::make_unique<TestClient>();
        client->start(alpha);
        QTRY_COMPARE(ids(), QStringList{"alpha"});
        QCOMPARE(server->apps().first().bundleID, id);
        if (heldByAnother) {
            QCOMPARE(bus->serviceOwner(id).value(), other.baseService());
            QVERIFY(other.unregisterService(id));
        }
        if (claimed)
            QTRY_COMPARE(bus->serviceOwner(id).value(),
                         QDBusConnection::sessionBus().baseService());
        // Stopped, the application still runs: the hub's prune keeps it.
        client->stop();
        QCOMPARE(RunningApplications::system()->isRunning(id), claimed);
        QVERIFY(emitSignal("register", {u"{'appID': <'alpha'>, 'bundleID': <'%1'>}"_qs.arg(id)}));
        QVERIFY(sync());
        server->pruneDeadApps();
        QCOMPARE(ids(), claimed ? QStringList{"alpha"} : QStringList());
        client.reset();
        QTRY_VERIFY(!bus->isServiceRegistered(id).value());
        QDBusConnection::disconnectFromBus("other");
    }
};

QTEST_MAIN(tst_HubWire)
#include "tst_hubwire.moc"
