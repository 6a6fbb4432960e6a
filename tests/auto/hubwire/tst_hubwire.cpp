// The registry server and the hub client on a real session bus, driven and
// watched by foreign peers: gdbus emits, dbus-monitor watches, a second
// connection owns names. Then the popup grid through the real controller on an
// offscreen window, where it opens beside its icon, and the status image a sibling
// sends.
#include "BusMonitor.h"
#include "HubPopover.h"
#include "HubPopoverViewController.h"

#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>
#include <ZelKit/platform/ZelLog.h>

#include <QApplication>
#include <QBuffer>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using Anchor = std::optional<QPointF>;
using Provider = std::function<HubPopoverViewController::StatusInfo(const ZelHubApp &)>;

struct TestClient : ZelHubClient
{
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

// A green image in any format Qt writes, as a sibling would send it.
QByteArray encoded(const char *format, QSize size = {16, 16})
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::green);
    QByteArray data;
    QBuffer buffer(&data);
    image.save(&buffer, format);
    return data;
}

// The "statusImageData" entry in gdbus's syntax.
QString imageData(const QByteArray &data)
{
    QStringList parts;
    for (char c : data)
        parts << QString::number(quint8(c));
    return "'statusImageData': <@ay [" + parts.join(", ") + "]>";
}

QColor centre(const QIcon &icon)
{
    const QImage image = icon.pixmap(16).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

// Each signal of ours as "MEMBER ARGUMENTS KEY=TEXT...": a string as its text, bytes as
// "png", anything else marked with "?".
QStringList described(const QList<BusMonitor::Signal> &seen)
{
    QStringList result;
    for (const BusMonitor::Signal &s : seen) {
        if (s.member == sentinel.section(u'.', -1))
            continue;
        QString text = s.member + u' ' + QString::number(s.argumentCount);
        for (auto [key, value] : s.entries.asKeyValueRange())
            text += u' ' + key + u'=' +
                    (value.startsWith(u"string \""_qs)     ? value.mid(8).chopped(1)
                     : value.startsWith(u"array of bytes") ? u"png"_qs
                                                           : u'?' + value);
        result << text.replace(u"appID=alpha appName=Alpha bundleID=com.brannel.zeltest.Alpha"_qs,
                               u"ALPHA"_qs);
    }
    return result;
}

// Red in the top-left quarter, transparent elsewhere, so a flipped or shifted
// rendering shows.
QImage quarterImage(QSize pixels, qreal dpr = 1.0)
{
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter(&image).fillRect(QRectF(QPointF(0, 0), QSizeF(pixels) / dpr / 2), Qt::red);
    return image;
}

// The controller as the popup shows it.
struct Shown
{
    Shown(int count, Provider provider, QRect icon = {400, 0, 22, 22})
    {
        for (int i = 0; i < count; ++i)
            controller->apps.append({u"id%1"_qs.arg(i), u"App %1"_qs.arg(i), {}});
        controller->statusProvider = std::move(provider);
        controller->reload();
        popover.setContentViewController(controller);
        popover.show(icon);
        QVERIFY(QTest::qWaitForWindowExposed(&popover));
    }
    HubPopover popover;
    HubPopoverViewController *controller = new HubPopoverViewController;
    QToolButton *button(int i) const { return controller->buttons().at(i); }
    QPoint at(int i) const { return button(i)->mapTo(controller, QPoint()); }
};

} // namespace

class tst_HubWire : public QObject
{
    Q_OBJECT

    QTemporaryDir theme;
    std::unique_ptr<ZelHubServer> server;
    QObject witness;
    int sentinels = 0, sentinelsSeen = 0, changes = 0;
    QStringList log;
    bool sync()
    {
        // Our own match rules are in place, and our own signals routed, once the bus has
        // answered a call made after them. A later signal of the same peer arrives after
        // the ones before it; once it is here, whatever they caused has been queued, and
        // one more turn of the loop applies it.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.freedesktop.DBus"_qs);
        ++sentinels;
        if (!emitSignal(sentinel.section(u'.', -1), {}) ||
            !QTest::qWaitFor([this] { return sentinelsSeen == sentinels; }, 20000))
            return false;
        QCoreApplication::processEvents();
        return QTest::qWaitFor([this] { return !server || server->pendingCount() == 0; }, 20000);
    }
    bool emitAndSync(const QString &member, const QStringList &args)
    {
        return sync() && emitSignal(member, args) && sync();
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
        // A theme of our own with one red icon: a symbol, and the icon of a running
        // application.
        QDir root(theme.path());
        QVERIFY(root.mkpath("zeltest/16x16"));
        QFile index(root.filePath("zeltest/index.theme"));
        QVERIFY(index.open(QIODevice::WriteOnly));
        index.write("[Icon Theme]\nName=zeltest\nDirectories=16x16\n\n[16x16]\nSize=16\n");
        index.close();
        QImage icon(16, 16, QImage::Format_ARGB32);
        icon.fill(Qt::red);
        QVERIFY(icon.save(root.filePath("zeltest/16x16/com.brannel.zeltest.Owned.png")));
        QIcon::setThemeSearchPaths({theme.path()});
        QIcon::setThemeName("zeltest");
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        DistributedNotificationCenter::defaultCenter()->addObserver(
            &witness, sentinel, [this](const ZelNotification &) { ++sentinelsSeen; });
        ZelLog::setCaptureHook([this](const QString &line) { log << line; });
    }
    void init()
    {
        QGuiApplication::setDesktopFileName({});
        log.clear();
        server = std::make_unique<ZelHubServer>();
        server->onRegistryChanged = [this] { ++changes; };
        server->start();
        QCOMPARE(log, QStringList{u"[ZelHub] server started \u2014 discovering Zel apps"_qs});
        QVERIFY(sync());
        log.clear();
        changes = 0;
    }
    void registration_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("name"); // null: dropped
        QTest::addColumn<QString>("bundleID");
        QTest::addColumn<QVariant>("title"); // invalid: none
        QTest::addColumn<QColor>("image");   // invalid: none
        const auto drop = [](const char *row, const QStringList &args) {
            QTest::newRow(row) << args << QString() << "" << QVariant() << QColor();
        };
        drop("empty appID", {"{'appID': <''>, 'appName': <'Empty'>}"});
        drop("no userInfo", {});
        // Texts beyond 255 units count as absent, before any work is done on them.
        drop("id of 256 units", {"{'appID': <'" + QString(256, u'i') + "'>}"});
        const auto keep = [](const char *row, const QString &dict, const QString &name,
                             const char *bundle = "", QVariant title = {}, QColor image = {}) {
            QTest::newRow(row) << QStringList{"{'appID': <'a'>, " + dict + "}"} << name << bundle
                               << title << image;
        };
        keep("all keys, and one unknown",
             "'appName': <'Alpha'>, 'bundleID': <'com.example.A'>, 'statusTitle': <'12\\u00b0'>, "
             "'unknownKey': <'x'>",
             "Alpha", "com.example.A", u"12\u00b0"_qs);
        keep("name of 255 units", "'appName': <'" + QString(255, u'n') + "'>", QString(255, u'n'));
        const QString green = imageData(encoded("png", {8, 8}));
        keep("known symbol wins over data",
             "'statusSymbolName': <'com.brannel.zeltest.Owned'>, " + green, "a", "", {}, Qt::red);
        keep("largest image, 1024 x 1024", imageData(encoded("png", {1024, 1024})), "a", "", {},
             Qt::green);
    }
    void registration()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, name);
        QFETCH(QString, bundleID);
        QFETCH(QVariant, title);
        QFETCH(QColor, image);
        QVERIFY(emitAndSync("register", args));
        const bool kept = !name.isNull();
        QCOMPARE(server->apps(),
                 (kept ? QList{ZelHubApp{"a", name, bundleID}} : QList<ZelHubApp>()));
        QCOMPARE(log,
                 kept ? QStringList{u"[ZelHub] registered %1 (a) \u2014 1 app(s) now"_qs.arg(name)}
                      : QStringList());
        QCOMPARE(changes, kept ? 1 : 0);
        if (!kept)
            return;
        const ZelStatusInfo info = server->statusInfo(server->apps().first());
        QCOMPARE(info.title, title.isValid() ? std::optional(title.toString()) : std::nullopt);
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
        row("repeat without image, canonically equivalent, is silent",
            u"+caf\u00e9 a t; +cafe\u0301 a t"_qs, u"caf\u00e9"_qs, 1, u"a (caf\u00e9) 1"_qs);
        row("repeat with image counts each time", "+a *; +a *", "a", 2, "a (a) 1; a (a) 1");
        row("rename replaces and re-sorts", "+a Alpha; +b Beta; +c Gamma; +a Zulu", "b c a", 4,
            "Alpha (a) 1; Beta (b) 2; Gamma (c) 3; Zulu (a) 3");
        // Equal names keep their order: a new one goes after them, a changed one stays.
        row("equal but for case, in arrival order", "+4 Zed; +5 zed; +9 ZED", "4 5 9", 3,
            "Zed (4) 1; zed (5) 2; ZED (9) 3");
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
                dict += ", " + imageData(encoded("png", {4, 4}));
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
        // Each registration line, "[ZelHub] registered NAME (ID) \u2014 COUNT app(s) now", as
        // "NAME (ID) COUNT".
        QCOMPARE(log.join(u"; "_qs)
                     .remove(u"[ZelHub] registered "_qs)
                     .remove(u" app(s) now"_qs)
                     .remove(u"\u2014 "_qs),
                 logs);
    }
    void registryIsBounded()
    {
        for (int i = 0; i < 1002; ++i)
            DistributedNotificationCenter::defaultCenter()->postNotification(
                ZelHubProtocol::register_, QVariantMap{{"appID", QString::number(i)}});
        QVERIFY(sync());
        QCOMPARE(server->apps().size(), 1000);
        QCOMPARE(log.count(u"[ZelHub] registry full \u2014 ignoring new Zel apps"_qs), 1);
        QCOMPARE(log.size(), 1001);
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

        // Without a registered status, the icon of the running application stands
        // in.
        const ZelHubApp unknown{"x", "X", owned};
        QCOMPARE(centre(server->statusInfo(unknown).image.value_or(QIcon())), QColor(Qt::red));
        QVERIFY(!server->statusInfo(unknown).title);
        QVERIFY(owner.unregisterService(owned));
        QVERIFY(!server->statusInfo(unknown).image);
        server->pruneDeadApps();
        QCOMPARE(ids(), QStringList{"0"});
        QCOMPARE(changes, 2);
    }
    void clientOnTheWire()
    {
        // What a sibling's client sends through its life, as a foreign peer sees it.
        QGuiApplication::setDesktopFileName(u"com.brannel.zeltest.Alpha"_qs);
        BusMonitor monitor("com.brannel.zelhub");
        QVERIFY(monitor.start());
        auto client = std::make_unique<TestClient>();
        Anchor activatedAt;
        client->onActivate = [&](Anchor a) { activatedAt = a; };
        client->statusBarSymbolName = u"star"_qs;
        client->statusBarImage = QImage::fromData(encoded("png"));
        client->statusBarTitle = u"T"_qs;
        client->updateStatusInfo(std::nullopt, std::nullopt, std::nullopt); // not started
        client->stop();
        QVERIFY(emitAndSync("discover", {}));
        client->start(alpha);
        QVERIFY(RunningApplications::system()->isRunning(u"com.brannel.zeltest.Alpha"_qs));
        // The server in this process hears the client's post, and the client the server's.
        QTRY_COMPARE(ids(), QStringList{"alpha"});
        const ZelHubApp a = server->apps().first();
        server->hideAll(std::nullopt);
        server->hideAll(QPointF(812, -3));
        server->hide(a, QPointF(1079.5, 0));
        server->showAll();
        server->show(a);
        server->activate(a, QPointF(0.3, 0.1 + 0.2), u""_qs);
        server->activate(a, QPointF(100000, 0.0001), u"kwin-42"_qs);
        QTRY_COMPARE(activatedAt, Anchor(QPointF(100000, 0.0001)));
        client->statusBarSymbolName.reset();
        client->updateStatusInfo(std::nullopt, std::nullopt, u"new"_qs);
        QVERIFY(emitAndSync("discover", {"{'targetID': <'beta'>}"}));
        client->start({u"beta"_qs, u"Beta"_qs, {}});
        QVERIFY(emitAndSync("discover", {}));
        QGuiApplication::setDesktopFileName({});
        client->statusBarImage = QImage();
        client->stop();
        // Stopped, the application still runs: the hub's prune keeps it.
        QVERIFY(RunningApplications::system()->isRunning(u"com.brannel.zeltest.Alpha"_qs));
        QVERIFY(emitAndSync("discover", {}));
        client->updateStatusInfo(std::nullopt, std::nullopt, u""_qs);
        const QString beta = u"register 1 appID=beta appName=Beta bundleID=com.brannel.zeltest."
                             "Alpha statusImageData=png statusTitle=new"_qs;
        const QStringList expected{
            "discover 0", "register 1 ALPHA statusSymbolName=star statusTitle=T",
            // Every coordinate as decimal text, shortest, with a point; every value a string.
            "hideIcon 1", "hideIcon 1 anchorX=812.0 anchorY=-3.0",
            "hideIcon 1 anchorX=1079.5 anchorY=0.0 targetID=alpha", "showIcon 1",
            "showIcon 1 targetID=alpha",
            "activate 1 anchorX=0.3 anchorY=0.30000000000000004 targetID=alpha",
            "activate 1 activationToken=kwin-42 anchorX=100000.0 anchorY=0.0001 targetID=alpha",
            "register 1 ALPHA statusImageData=png statusTitle=new", "discover 1 targetID=beta",
            "register 1 ALPHA statusImageData=png statusTitle=new", beta, "discover 0", beta,
            "unregister 1 appID=beta appName=Beta bundleID= statusTitle=new", "discover 0",
            "register 1 appID=beta appName=Beta bundleID= statusTitle="};
        QList<BusMonitor::Signal> seen;
        QTRY_VERIFY((seen = monitor.waitFor(99, 200), described(seen).size() >= expected.size()));
        QCOMPARE(described(seen), expected);
        for (const BusMonitor::Signal &signal : seen)
            if (signal.member == u"register")
                QCOMPARE(signal.sender + signal.path,
                         QDBusConnection::sessionBus().baseService() + u"/com/brannel/zelhub"_qs);

        // Gone without stop(): never called again, and its name is given back.
        client->start(alpha);
        client.reset();
        QVERIFY(!RunningApplications::system()->isRunning(u"com.brannel.zeltest.Alpha"_qs));
        activatedAt.reset();
        QVERIFY(emitAndSync("activate", {"@a{sv} {}"}));
        QCOMPARE(activatedAt, Anchor());
    }
    void clientReads_data()
    {
        // Before each row the client has the anchor (1, 2) and the token "kwin-41".
        QTest::addColumn<QString>("member");
        QTest::addColumn<QString>("dict");
        QTest::addColumn<bool>("reached");
        QTest::addColumn<Anchor>("anchor"); // read, and kept; none keeps (1, 2)
        QTest::addColumn<QString>("token"); // the activation's; null: none
        const auto row = [](const char *name, const QString &dict, bool reached, Anchor a = {},
                            const QString &token = {}, const char *member = "activate") {
            QTest::newRow(name) << member << dict << reached << a << token;
        };
        const auto xy = [](const QString &x, const QString &y) {
            return u"{'anchorX': <'%1'>, 'anchorY': <'%2'>}"_qs.arg(x, y);
        };
        row("812.0 and 24.5", xy("812.0", "24.5"), true, QPointF(812, 24.5));
        row("x leading tab", xy("\\t812.0", "24.5"), true);
        row("infinity", xy("inf", "1"), true);
        row("hideIcon stores its anchor", xy("10.0", "20.5"), true, QPointF(10, 20.5), {},
            "hideIcon");
        row("showIcon never reads one", xy("10.0", "20.5"), true, {}, {}, "showIcon");
        row("token", "{'activationToken': <'kwin-42'>}", true, {}, u"kwin-42"_qs);
        row("empty token", "{'activationToken': <''>}", true);
        row("token of 256 characters", "{'activationToken': <'" + QString(256, u't') + "'>}", true);
        row("targetID a number, nested junk",
            "{'targetID': <int64 5>, 'anchorX': <{'a': <1>}>, 'anchorY': <['x']>}", true);
        row("own id, canonically equivalent", "{'targetID': <'cafe\\u0301'>}", true);
        row("own id in other case", "{'targetID': <'CAF\\u00c9'>}", false);
        row("other id", "{'targetID': <'beta'>}", false);
    }
    void clientReads()
    {
        QFETCH(QString, member);
        QFETCH(QString, dict);
        QFETCH(bool, reached);
        QFETCH(Anchor, anchor);
        QFETCH(QString, token);
        TestClient client;
        int calls = 0;
        Anchor received;
        client.onActivate = [&](Anchor a) {
            ++calls;
            received = a;
        };
        client.onHideIcon = [&] { ++calls; };
        client.onShowIcon = [&] { ++calls; };
        client.start({u"caf\u00e9"_qs, {}, {}});
        QVERIFY(emitSignal("activate", {"{'anchorX': <'1'>, 'anchorY': <'2'>, "
                                        "'activationToken': <'kwin-41'>}"}));
        QVERIFY(emitAndSync(member, {dict}));
        QCOMPARE(calls, reached ? 2 : 1);
        const bool activated = reached && member == u"activate";
        QCOMPARE(received, activated ? anchor : Anchor(QPointF(1, 2)));
        QCOMPARE(client.hubAnchor(), anchor.value_or(QPointF(1, 2)));
        QCOMPARE(client.activationToken(), activated && token.isNull()
                                               ? std::nullopt
                                               : std::optional(activated ? token : u"kwin-41"_qs));
        client.stop();
    }
    void statusImagePNG_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<qreal>("factor");
        QTest::addColumn<QSize>("pixels"); // invalid: nothing is sent
        QTest::newRow("16 pt at factor 2") << quarterImage({16, 16}) << 2.0 << QSize(32, 32);
        QTest::newRow("15 pt at 1.5 truncates") << quarterImage({15, 15}) << 1.5 << QSize(22, 22);
        QTest::newRow("under one pixel") << quarterImage({1, 1}, 4) << 2.0 << QSize();
    }
    void statusImagePNG()
    {
        QFETCH(QImage, image);
        QFETCH(qreal, factor);
        QFETCH(QSize, pixels);
        const auto png = ZelHubClient::renderStatusImagePNG(image, factor);
        QCOMPARE(png.has_value(), pixels.isValid());
        if (!png)
            return;
        const QImage decoded = QImage::fromData(*png, "PNG");
        QCOMPARE(decoded.size(), pixels);
        const int w = pixels.width(), h = pixels.height();
        QCOMPARE(decoded.pixelColor(w / 4, h / 4), QColor(Qt::red));
        QCOMPARE(decoded.pixelColor(3 * w / 4, 3 * h / 4).alpha(), 0);
    }
    void grid_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("perRow");
        QTest::addColumn<QSize>("preferred");
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QPoint>("popup");
        // 18-point icons 12 apart, 12 of padding around the grid; the popup 4 pixels from
        // the icon, centred on it, on the 800 × 800 screen.
        QTest::newRow("no apps, top panel")
            << 0 << QList<int>{} << QSize(200, 44) << QRect(400, 0, 22, 22) << QPoint(310, 26);
        QTest::newRow("one app, a point only")
            << 1 << QList<int>{1} << QSize(42, 42) << QRect(300, 10, 1, 1) << QPoint(279, 15);
        QTest::newRow("a full row, kept on screen at the left")
            << 5 << QList<int>{5} << QSize(162, 42) << QRect(0, 0, 22, 22) << QPoint(0, 26);
        QTest::newRow("one more starts a row, bottom right")
            << 6 << QList<int>{5, 1} << QSize(162, 72) << QRect(790, 778, 22, 22)
            << QPoint(636, 700);
    }
    void grid()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, perRow);
        QFETCH(QSize, preferred);
        QFETCH(QRect, icon);
        QFETCH(QPoint, popup);
        Shown shown(count, {}, icon);
        QCOMPARE(shown.controller->preferredContentSize(), preferred);
        QCOMPARE(shown.popover.size(), preferred + QSize(2, 2)); // and the popup's frame
        QCOMPARE(shown.popover.pos(), popup);
        QCOMPARE(shown.controller->emptyLabel() ? shown.controller->emptyLabel()->text() : "",
                 QString(count ? "" : "No Zel apps running"));
        QCOMPARE(shown.controller->findChildren<QToolButton *>().size(), count);
        int i = 0;
        for (int r = 0; r < perRow.size(); ++r)
            for (int c = 0; c < perRow.at(r); ++c, ++i) {
                QCOMPARE(shown.at(i), QPoint(12 + 30 * c, 12 + 30 * r));
                QCOMPARE(shown.button(i)->size(), QSize(18, 18));
            }
    }
    void button_data()
    {
        QTest::addColumn<Provider>("provider");
        QTest::addColumn<QString>("text");  // empty: an 18 × 18 image-only button
        QTest::addColumn<QString>("drawn"); // "red", "text colour" or "placeholder"
        const auto row = [](const char *name, bool mask, std::optional<QString> title,
                            const char *text, const char *drawn) {
            QPixmap pixmap(32, 32);
            pixmap.fill(Qt::red);
            QIcon icon(pixmap);
            icon.setIsMask(mask);
            QTest::newRow(name) << Provider([=](const ZelHubApp &) {
                return HubPopoverViewController::StatusInfo{
                    drawn == QByteArray("placeholder") ? std::nullopt : std::optional(icon), title};
            }) << QString(text) << QString(drawn);
        };
        row("image, no title", false, {}, "", "red");
        row("template image in the text colour", true, {}, "", "text colour");
        row("title with outer blanks", false, u" \t42 \t min  "_qs, " 42 \t min", "red");
        row("blank title is no title", false, u" \t "_qs, "", "placeholder");
    }
    void button()
    {
        QFETCH(Provider, provider);
        QFETCH(QString, text);
        QFETCH(QString, drawn);
        Shown shown(2, provider);
        QToolButton *button = shown.button(0);
        QCOMPARE(button->text(), text);
        QCOMPARE(button->toolTip(), u"App 0"_qs);
        QCOMPARE(button->width() == 18, text.isEmpty());
        // The next button follows with the usual spacing, whatever the width.
        QCOMPARE(shown.at(1).x(), shown.at(0).x() + button->width() + 12);
        const QImage image = button->icon().pixmap(18).toImage();
        if (drawn == u"placeholder")
            QCOMPARE(image, HubPopoverViewController::placeholderIcon()->pixmap(18).toImage());
        else
            QCOMPARE(image.pixelColor(9, 9), drawn == u"red"
                                                 ? QColor(Qt::red)
                                                 : button->palette().color(QPalette::WindowText));
    }
    void keyboard()
    {
        Shown shown(7, {});
        // Opened by a click, the popup holds the focus; the first key acts as if the first
        // button had it.
        QTRY_VERIFY(shown.popover.hasFocus());
        const std::pair<Qt::Key, int> steps[] = {
            {Qt::Key_Right, 1}, {Qt::Key_Down, 6},  {Qt::Key_Down, 6},  {Qt::Key_Up, 1},
            {Qt::Key_Left, 0},  {Qt::Key_Left, 0},  {Qt::Key_Right, 1}, {Qt::Key_Right, 2},
            {Qt::Key_Right, 3}, {Qt::Key_Right, 4}, {Qt::Key_Down, 6}};
        for (const auto &[key, focus] : steps) {
            QTest::keyClick(QApplication::focusWidget(), key);
            QVERIFY(shown.button(focus)->hasFocus());
            if (focus == 1) // a rebuild while open keeps the keyboard where it was
                shown.controller->reload();
        }
    }
};

QTEST_MAIN(tst_HubWire)
#include "tst_hubwire.moc"
