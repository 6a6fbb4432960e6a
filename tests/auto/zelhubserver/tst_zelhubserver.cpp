#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/LocalNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>
#include <ZelKit/platform/ZelLog.h>

#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QPainter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using Info = std::optional<QVariantMap>;
Q_DECLARE_METATYPE(Info)

namespace {

class FakeRunning : public RunningApplications
{
public:
    QStringList running;
    mutable QStringList queries;
    bool isRunning(const QString &bundleID) const override
    {
        queries.append(bundleID);
        return running.contains(bundleID);
    }
    std::optional<QIcon> icon(const QString &bundleID) const override
    {
        if (!isRunning(bundleID))
            return std::nullopt;
        QPixmap p(4, 4);
        p.fill(Qt::blue);
        return QIcon(p);
    }
};

// A PNG, or another format that is not one: an ICO, a progressive JPEG.
QByteArray png(QSize size, QColor color, const char *format = "png", bool progressive = false)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A small, valid PNG whose header claims a size no status icon has: decoding it
// as told would allocate gigabytes.
QByteArray pngBomb(quint32 width, quint32 height)
{
    QByteArray bytes = png({1, 1}, Qt::red);
    // Signature (8), length (4), "IHDR" (4), then width and height, big endian.
    auto put = [&](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = char((v >> (24 - 8 * i)) & 0xff);
    };
    put(16, width);
    put(20, height);
    put(29, crc32(bytes.mid(12, 17)));
    return bytes;
}

QColor centreColor(const QIcon &icon)
{
    const QImage image = icon.pixmap(QSize(16, 16)).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

class tst_ZelHubServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void malformedRegisterIgnored_data();
    void malformedRegisterIgnored();
    void fallbacksForMissingOrWrongKeys_data();
    void fallbacksForMissingOrWrongKeys();
    void imageChoice_data();
    void imageChoice();
    void hostileImagesGiveNoImage_data();
    void hostileImagesGiveNoImage();
    void repeatedRegistration();
    void renameReplacesAndResorts();
    void sortIsLocaleAwareCaseInsensitiveStable();
    void registryIsBounded();
    void twoInstancesShareOneEntry();
    void unregister();
    void prune();
    void statusInfoFallback();
    void commandPayloads_data();
    void commandPayloads();
    void startSubscribesLogsAndDiscovers();
    void stopEndsDelivery();
    void releasedServerIgnoresQueuedWork();
    void destroyedWithoutStopIsNeverCalled();
    void handlerOnAnotherThreadAppliesOnMainThread();

private:
    void registerApp(const QVariantMap &info)
    {
        center->postNotification(ZelHubProtocol::register_, info);
    }
    // Until everything posted so far is applied, images decoded included.
    void settle()
    {
        QCoreApplication::processEvents();
        if (server)
            QTRY_COMPARE(server->pendingCount(), 0);
    }

    QTemporaryDir themeDir;
    std::unique_ptr<LocalNotificationCenter> center;
    std::unique_ptr<FakeRunning> running;
    std::unique_ptr<ZelHubServer> server;
    QStringList log;
    int changes = 0;
    QList<ZelNotification> posted;
};

void tst_ZelHubServer::initTestCase()
{
    // A theme of our own with one red "symbol", so symbol lookups are deterministic.
    QDir root(themeDir.path());
    root.mkpath("zeltest/16x16");
    QFile index(root.filePath("zeltest/index.theme"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=zeltest\nDirectories=16x16\n\n[16x16]\nSize=16\n");
    index.close();
    QImage symbol(16, 16, QImage::Format_ARGB32);
    symbol.fill(Qt::red);
    QVERIFY(symbol.save(root.filePath("zeltest/16x16/zel-test-symbol.png")));
    QIcon::setThemeSearchPaths({themeDir.path()});
    QIcon::setThemeName("zeltest");
    QVERIFY(QIcon::hasThemeIcon("zel-test-symbol"));
}

void tst_ZelHubServer::init()
{
    log.clear();
    changes = 0;
    posted.clear();
    center = std::make_unique<LocalNotificationCenter>();
    running = std::make_unique<FakeRunning>();
    server = std::make_unique<ZelHubServer>(center.get(), running.get());
    server->onRegistryChanged = [this] { ++changes; };
    ZelLog::setCaptureHook([this](const QString &line) { log.append(line); });
    for (const QString &name : {ZelHubProtocol::discover, ZelHubProtocol::hideIcon,
                                ZelHubProtocol::showIcon, ZelHubProtocol::activate})
        center->addObserver(this, name, [this](const ZelNotification &n) { posted.append(n); });
    server->start();
    log.clear();
    posted.clear();
}

void tst_ZelHubServer::cleanup()
{
    ZelLog::setCaptureHook({});
    if (server)
        server->stop();
    server.reset();
    center.reset();
}

void tst_ZelHubServer::malformedRegisterIgnored_data()
{
    QTest::addColumn<Info>("info");
    QTest::newRow("no userInfo") << Info();
    QTest::newRow("empty userInfo") << Info(QVariantMap{});
    QTest::newRow("appID missing") << Info(QVariantMap{{"appName", "Alpha"}});
    QTest::newRow("appID empty") << Info(QVariantMap{{"appID", ""}, {"appName", "Alpha"}});
    QTest::newRow("appID a number") << Info(QVariantMap{{"appID", 42}, {"appName", "Alpha"}});
    QTest::newRow("appID as bytes") << Info(QVariantMap{{"appID", QByteArray("alpha")}});
    QTest::newRow("appID a list") << Info(QVariantMap{{"appID", QStringList{"alpha"}}});
}

void tst_ZelHubServer::malformedRegisterIgnored()
{
    QFETCH(Info, info);
    center->postNotification(ZelHubProtocol::register_, info);
    settle();
    QVERIFY(server->apps().isEmpty());
    QVERIFY(log.isEmpty());
    QCOMPARE(changes, 0);
}

void tst_ZelHubServer::fallbacksForMissingOrWrongKeys_data()
{
    QTest::addColumn<QVariantMap>("info");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("bundleID");
    QTest::addColumn<bool>("hasTitle");
    QTest::addColumn<QString>("title");
    QTest::newRow("only appID") << QVariantMap{{"appID", "alpha"}} << "alpha"
                                << "" << false << "";
    QTest::newRow("empty name kept") << QVariantMap{{"appID", "alpha"}, {"appName", ""}} << ""
                                     << "" << false << "";
    QTest::newRow("numeric name") << QVariantMap{{"appID", "alpha"}, {"appName", 7}} << "alpha"
                                  << "" << false << "";
    QTest::newRow("bytes bundleID")
        << QVariantMap{{"appID", "alpha"}, {"bundleID", QByteArray("com.x.Y")}} << "alpha"
        << "" << false << "";
    QTest::newRow("empty title kept")
        << QVariantMap{{"appID", "alpha"}, {"statusTitle", ""}} << "alpha"
        << "" << true << "";
    QTest::newRow("numeric title")
        << QVariantMap{{"appID", "alpha"}, {"statusTitle", 3.5}} << "alpha"
        << "" << false << "";
    QTest::newRow("all given") << QVariantMap{{"appID", "alpha"},
                                              {"appName", "Alpha"},
                                              {"bundleID", "com.example.Alpha"},
                                              {"statusTitle", "12°"},
                                              {"unknownKey", "x"}}
                               << "Alpha"
                               << "com.example.Alpha" << true << "12°";
}

void tst_ZelHubServer::fallbacksForMissingOrWrongKeys()
{
    QFETCH(QVariantMap, info);
    QFETCH(QString, name);
    QFETCH(QString, bundleID);
    QFETCH(bool, hasTitle);
    QFETCH(QString, title);
    registerApp(info);
    settle();
    QCOMPARE(server->apps().size(), 1);
    const ZelHubApp app = server->apps().first();
    QCOMPARE(app.id, u"alpha");
    QCOMPARE(app.name, name);
    QCOMPARE(app.bundleID, bundleID);
    running->queries.clear();
    const ZelStatusInfo status = server->statusInfo(app);
    QVERIFY(!status.image);
    QCOMPARE(status.title.has_value(), hasTitle);
    if (hasTitle)
        QCOMPARE(*status.title, title);
    // A stored entry answers on its own, even (absent, absent).
    QVERIFY(running->queries.isEmpty());
    QCOMPARE(changes, 1);
}

void tst_ZelHubServer::imageChoice_data()
{
    QTest::addColumn<QVariantMap>("info");
    QTest::addColumn<QColor>("colour"); // invalid: no image
    const QByteArray green = png({8, 8}, Qt::green);
    QTest::newRow("known symbol wins over data")
        << QVariantMap{{"appID", "a"},
                       {"statusSymbolName", "zel-test-symbol"},
                       {"statusImageData", green}}
        << QColor(Qt::red);
    QTest::newRow("unknown symbol falls back to data")
        << QVariantMap{{"appID", "a"},
                       {"statusSymbolName", "no-such-symbol"},
                       {"statusImageData", green}}
        << QColor(Qt::green);
    QTest::newRow("symbol as bytes falls back to data")
        << QVariantMap{{"appID", "a"},
                       {"statusSymbolName", QByteArray("zel-test-symbol")},
                       {"statusImageData", green}}
        << QColor(Qt::green);
    QTest::newRow("data only") << QVariantMap{{"appID", "a"}, {"statusImageData", green}}
                               << QColor(Qt::green);
    QTest::newRow("unknown symbol, no data")
        << QVariantMap{{"appID", "a"}, {"statusSymbolName", "no-such-symbol"}} << QColor();
    QTest::newRow("data as text") << QVariantMap{{"appID", "a"}, {"statusImageData", "iVBOR"}}
                                  << QColor();
}

void tst_ZelHubServer::imageChoice()
{
    QFETCH(QVariantMap, info);
    QFETCH(QColor, colour);
    registerApp(info);
    settle();
    QCOMPARE(server->apps().size(), 1);
    const auto image = server->statusInfo(server->apps().first()).image;
    QCOMPARE(image.has_value(), colour.isValid());
    if (image) {
        QVERIFY(image->isMask());
        QCOMPARE(centreColor(*image), colour);
    }
}

void tst_ZelHubServer::hostileImagesGiveNoImage_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("garbage") << QByteArray("\x89PNG\r\n\x1a\nnot really", 18) << false;
    QTest::newRow("random bytes") << QByteArray(4096, '\x5a') << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("truncated png") << png({16, 16}, Qt::green).left(40) << false;
    QTest::newRow("bomb 100000 x 100000") << pngBomb(100000, 100000) << false;
    QTest::newRow("bomb 1025 x 1") << pngBomb(1025, 1) << false;
    QTest::newRow("over a mebibyte")
        << png({8, 8}, Qt::green) + QByteArray(1024 * 1024, '\0') << false;
    QTest::newRow("ICO") << png({16, 16}, Qt::green, "ico") << false;
    QTest::newRow("progressive JPEG") << png({16, 16}, Qt::green, "jpeg", true) << false;
    QTest::newRow("largest allowed") << png({1024, 1024}, Qt::green) << true;
}

void tst_ZelHubServer::hostileImagesGiveNoImage()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, accepted);
    registerApp({{"appID", "a"}, {"appName", "A"}, {"statusImageData", data}});
    settle();
    // The registration itself always goes on.
    QCOMPARE(server->apps().size(), 1);
    QCOMPARE(log.size(), 1);
    const auto image = server->statusInfo(server->apps().first()).image;
    QCOMPARE(image.has_value(), accepted);
    // What is kept is no larger than the grid draws it: 18 points on the densest screen.
    if (image)
        QVERIFY(image->availableSizes().constLast().width() <= 18 * qApp->devicePixelRatio());
}

void tst_ZelHubServer::repeatedRegistration()
{
    const QVariantMap plain{
        {"appID", "a"}, {"appName", "A"}, {"bundleID", "com.x.A"}, {"statusTitle", "t"}};
    registerApp(plain);
    settle();
    registerApp(plain);
    settle();
    QCOMPARE(log.size(), 1);
    QCOMPARE(changes, 1);

    // An image is a new object every time, so the same registration with one counts.
    QVariantMap withImage = plain;
    withImage.insert("statusImageData", png({8, 8}, Qt::green));
    registerApp(withImage);
    registerApp(withImage);
    settle();
    QCOMPARE(log.size(), 3);
    QCOMPARE(changes, 3);
    QCOMPARE(server->apps().size(), 1);

    // Back to no image: a change; then silent again.
    registerApp(plain);
    registerApp(plain);
    settle();
    QCOMPARE(changes, 4);
    // A title that differs only canonically is the same title.
    QVariantMap nfd = plain;
    nfd.insert("statusTitle", QString::fromUtf8("t"));
    registerApp(nfd);
    settle();
    QCOMPARE(changes, 4);
}

void tst_ZelHubServer::renameReplacesAndResorts()
{
    registerApp({{"appID", "a"}, {"appName", "Alpha"}});
    registerApp({{"appID", "b"}, {"appName", "Beta"}});
    registerApp({{"appID", "c"}, {"appName", "Gamma"}});
    settle();
    QCOMPARE(log.last(), u"[ZelHub] registered Gamma (c) — 3 app(s) now");
    registerApp({{"appID", "a"}, {"appName", "Zulu"}});
    settle();
    QCOMPARE(server->apps().size(), 3);
    QCOMPARE(server->apps().last().name, u"Zulu");
    QCOMPARE(server->apps().first().name, u"Beta");
    QCOMPARE(log.last(), u"[ZelHub] registered Zulu (a) — 3 app(s) now");
}

void tst_ZelHubServer::sortIsLocaleAwareCaseInsensitiveStable()
{
    // The user's locale decides where an accented letter goes; a host may set it before
    // it creates the server.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const auto restore = qScopeGuard([&] { QLocale::setDefault(previous); });
    server->stop();
    server = std::make_unique<ZelHubServer>(center.get(), running.get());
    server->start();
    registerApp({{"appID", "1"}, {"appName", "beta"}});
    registerApp({{"appID", "2"}, {"appName", "Alpha"}});
    registerApp({{"appID", "3"}, {"appName", "gamma"}});
    registerApp({{"appID", "4"}, {"appName", "Zed"}});
    registerApp({{"appID", "5"}, {"appName", "zed"}});
    registerApp({{"appID", "6"}, {"appName", QString::fromUtf8("Émile")}});
    registerApp({{"appID", "7"}, {"appName", QString::fromUtf8("Örn")}});
    settle();
    QStringList names;
    for (const auto &app : server->apps())
        names << app.name;
    QCOMPARE(names, (QStringList{"Alpha", "beta", QString::fromUtf8("Émile"), "gamma",
                                 QString::fromUtf8("Örn"), "Zed", "zed"}));
    // Re-registering the first "zed" name keeps the later one after it.
    registerApp({{"appID", "4"}, {"appName", "Zed"}, {"statusTitle", "new"}});
    settle();
    QCOMPARE(server->apps().at(5).id, u"4");
    QCOMPARE(server->apps().at(6).id, u"5");
    // Another locale sorts the list again at the next registration, once and stably.
    QLocale::setDefault(QLocale(QLocale::Swedish, QLocale::Sweden));
    registerApp({{"appID", "8"}, {"appName", "Omega"}});
    settle();
    names.clear();
    for (const auto &app : server->apps())
        names << app.id;
    QCOMPARE(names, (QStringList{"2", "1", "6", "3", "8", "4", "5", "7"}));
}

void tst_ZelHubServer::registryIsBounded()
{
    for (int i = 0; i < 1002; ++i)
        registerApp({{"appID", QString::number(i)}});
    settle();
    QCOMPARE(server->apps().size(), 1000);
    // Logged once until the registry is below the bound again; known apps still change.
    registerApp({{"appID", "5"}, {"statusTitle", "t"}});
    center->postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", "7"}});
    registerApp({{"appID", "1001"}});
    registerApp({{"appID", "1002"}});
    settle();
    const QString full = "[ZelHub] registry full \u2014 ignoring new Zel apps";
    QCOMPARE(log.mid(1000),
             (QStringList{full, "[ZelHub] registered 5 (5) \u2014 1000 app(s) now",
                          "[ZelHub] registered 1001 (1001) \u2014 1000 app(s) now", full}));
}

void tst_ZelHubServer::twoInstancesShareOneEntry()
{
    registerApp({{"appID", "notes"}, {"appName", "Notes"}, {"statusTitle", "first"}});
    registerApp({{"appID", "notes"}, {"appName", "Notes"}, {"statusTitle", "second"}});
    settle();
    QCOMPARE(server->apps().size(), 1);
    QCOMPARE(server->statusInfo(server->apps().first()).title, std::optional<QString>("second"));
    center->postNotification(ZelHubProtocol::unregister,
                             QVariantMap{{"appID", "notes"}, {"appName", "Notes"}});
    settle();
    QVERIFY(server->apps().isEmpty());
}

void tst_ZelHubServer::unregister()
{
    registerApp({{"appID", "a"}, {"appName", "A"}});
    registerApp({{"appID", ""}, {"appName", "Empty"}}); // refused by register
    settle();
    QCOMPARE(changes, 1);
    log.clear();

    for (const Info &bad : {Info(), Info(QVariantMap{}), Info(QVariantMap{{"appID", 1}})})
        center->postNotification(ZelHubProtocol::unregister, bad);
    center->postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", "unknown"}});
    center->postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", ""}});
    settle();
    QCOMPARE(changes, 1);
    QCOMPARE(server->apps().size(), 1);

    center->postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", "a"}});
    settle();
    QCOMPARE(changes, 2);
    QVERIFY(server->apps().isEmpty());
    QVERIFY(log.isEmpty());
    // Its status info went with it: the lookup falls back to the running applications.
    running->queries.clear();
    server->statusInfo({"a", "A", "com.x.A"});
    QCOMPARE(running->queries, QStringList{"com.x.A"});
}

void tst_ZelHubServer::prune()
{
    registerApp({{"appID", "a"}, {"appName", "A"}, {"bundleID", "com.x.A"}});
    registerApp({{"appID", "b"}, {"appName", "B"}});
    registerApp({{"appID", "c"}, {"appName", "C"}, {"bundleID", "com.x.C"}});
    registerApp({{"appID", "d"}, {"appName", "D"}, {"bundleID", "com.x.D"}});
    settle();
    changes = 0;
    running->running = {"com.x.A", "com.x.C", "com.x.D"};
    running->queries.clear();
    server->pruneDeadApps();
    QCOMPARE(changes, 0);
    QCOMPARE(running->queries, (QStringList{"com.x.A", "com.x.C", "com.x.D"}));

    running->running = {"com.x.C"};
    server->pruneDeadApps();
    QCOMPARE(changes, 1);
    QStringList ids;
    for (const auto &app : server->apps())
        ids << app.id;
    // The entry without a bundle id is never pruned.
    QCOMPARE(ids, (QStringList{"b", "c"}));
    QVERIFY(log.size() == 4);
}

void tst_ZelHubServer::statusInfoFallback()
{
    const ZelHubApp unknown{"x", "X", "com.x.X"};
    auto info = server->statusInfo(unknown);
    QVERIFY(!info.image && !info.title);
    running->running = {"com.x.X"};
    info = server->statusInfo(unknown);
    QVERIFY(info.image);
    QVERIFY(!info.title);
    QCOMPARE(centreColor(*info.image), QColor(Qt::blue));
}

void tst_ZelHubServer::commandPayloads_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Info>("info");
    const QPointF at(812, 40.5);
    Q_UNUSED(at);
    QTest::newRow("discover") << 0 << ZelHubProtocol::discover << Info();
    QTest::newRow("hideAll without anchor") << 1 << ZelHubProtocol::hideIcon << Info(QVariantMap{});
    QTest::newRow("hideAll with anchor")
        << 2 << ZelHubProtocol::hideIcon
        << Info(QVariantMap{{"anchorX", "812.0"}, {"anchorY", "40.5"}});
    QTest::newRow("hide one with anchor")
        << 3 << ZelHubProtocol::hideIcon
        << Info(QVariantMap{{"targetID", "alpha"}, {"anchorX", "812.0"}, {"anchorY", "40.5"}});
    QTest::newRow("showAll") << 4 << ZelHubProtocol::showIcon << Info(QVariantMap{});
    QTest::newRow("show one") << 5 << ZelHubProtocol::showIcon
                              << Info(QVariantMap{{"targetID", "alpha"}});
    QTest::newRow("activate at point")
        << 6 << ZelHubProtocol::activate
        << Info(QVariantMap{{"targetID", "alpha"}, {"anchorX", "812.0"}, {"anchorY", "40.5"}});
    QTest::newRow("activate without point")
        << 7 << ZelHubProtocol::activate << Info(QVariantMap{{"targetID", "alpha"}});
}

void tst_ZelHubServer::commandPayloads()
{
    QFETCH(int, command);
    QFETCH(QString, name);
    QFETCH(Info, info);
    const ZelHubApp alpha{"alpha", "Alpha", "com.x.Alpha"};
    const QPointF at(812, 40.5);
    switch (command) {
    case 0:
        server->discover();
        break;
    case 1:
        server->hideAll(std::nullopt);
        break;
    case 2:
        server->hideAll(at);
        break;
    case 3:
        server->hide(alpha, at);
        break;
    case 4:
        server->showAll();
        break;
    case 5:
        server->show(alpha);
        break;
    case 6:
        server->activate(alpha, at);
        break;
    case 7:
        server->activate(alpha, std::nullopt);
        break;
    }
    QCOMPARE(posted.size(), 1);
    QCOMPARE(posted.first().name, name);
    QCOMPARE(posted.first().userInfo, info);
    if (info)
        for (const QVariant &v : *posted.first().userInfo)
            QCOMPARE(v.typeId(), int(QMetaType::QString));
}

void tst_ZelHubServer::startSubscribesLogsAndDiscovers()
{
    ZelHubServer fresh(center.get(), running.get());
    fresh.start();
    QCOMPARE(log, QStringList{"[ZelHub] server started — discovering Zel apps"});
    QCOMPARE(posted.size(), 1);
    QCOMPARE(posted.first().name, ZelHubProtocol::discover);
    QVERIFY(!posted.first().userInfo);
    fresh.stop();
}

void tst_ZelHubServer::stopEndsDelivery()
{
    server->stop();
    registerApp({{"appID", "a"}});
    settle();
    QVERIFY(server->apps().isEmpty());
    // Commands still go out after stop().
    server->showAll();
    QCOMPARE(posted.size(), 1);
}

void tst_ZelHubServer::releasedServerIgnoresQueuedWork()
{
    bool called = false;
    server->onRegistryChanged = [&called] { called = true; };
    registerApp({{"appID", "a"}});
    server.reset(); // the main-thread half is still queued
    settle();
    QVERIFY(!called);
    QVERIFY(log.isEmpty());
}

void tst_ZelHubServer::destroyedWithoutStopIsNeverCalled()
{
    server.reset(); // no stop()
    registerApp({{"appID", "a"}});
    center->postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", "a"}});
    settle();
    QVERIFY(log.isEmpty());
}

void tst_ZelHubServer::handlerOnAnotherThreadAppliesOnMainThread()
{
    QThread *seenOn = nullptr;
    server->onRegistryChanged = [&seenOn] { seenOn = QThread::currentThread(); };
    std::unique_ptr<QThread> poster(QThread::create([this] {
        registerApp({{"appID", "a"}, {"statusImageData", png({8, 8}, Qt::green)}});
    }));
    poster->start();
    QVERIFY(poster->wait(10000));
    QVERIFY(server->apps().isEmpty()); // nothing applied on the delivering thread
    QTRY_COMPARE(server->apps().size(), 1);
    QCOMPARE(seenOn, QThread::currentThread());
    QVERIFY(server->statusInfo(server->apps().first()).image);
}

QTEST_MAIN(tst_ZelHubServer)
#include "tst_zelhubserver.moc"
