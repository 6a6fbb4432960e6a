#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelScreenAnchor.h>
#include <ZelKit/platform/DBusNotificationCenter.h>
#include <ZelKit/platform/LocalNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>

#include "BusMonitor.h"

#include <QBuffer>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QThread>

#include <memory>

using Info = std::optional<QVariantMap>;
using Anchor = std::optional<QPointF>;
Q_DECLARE_METATYPE(Info)
Q_DECLARE_METATYPE(Anchor)

namespace {

class TestClient : public ZelHubClient
{
public:
    explicit TestClient(DistributedNotificationCenter *center) : ZelHubClient(center) {}
};

// Everything the client posts, as the hub would see it.
struct Post
{
    QString name;
    Info userInfo;
    QThread *thread;
};

class Recorder : public QObject
{
public:
    explicit Recorder(DistributedNotificationCenter *center)
    {
        for (const QString &name : {ZelHubProtocol::register_, ZelHubProtocol::unregister})
            center->addObserver(this, name, [this](const ZelNotification &n) {
                posts.append({n.name, n.userInfo, QThread::currentThread()});
            });
    }
    QList<Post> posts;
    QVariantMap last() const { return posts.isEmpty() ? QVariantMap() : *posts.last().userInfo; }
};

const ZelAppConfig alpha{QStringLiteral("alpha"), QStringLiteral("Alpha"),
                         QStringLiteral("http://127.0.0.1")};

QImage filledImage(QSize pixels, qreal dpr = 1.0)
{
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(QRect(QPoint(0, 0), pixels / dpr / 2), Qt::red); // top-left quarter only
    return image;
}

QImage decodePNG(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "PNG");
    return reader.read();
}

QVariantMap anchorInfo(const QVariant &x, const QVariant &y)
{
    QVariantMap info;
    if (x.isValid())
        info.insert(ZelHubProtocol::keyAnchorX, x);
    if (y.isValid())
        info.insert(ZelHubProtocol::keyAnchorY, y);
    return info;
}

} // namespace

class tst_ZelHubClient : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void sharedIsOneInstanceFromAnyThread();
    void idleClientPostsNothing();
    void startPostsAppInfo();
    void stopPostsTheSameInfoAndUnsubscribes();
    void secondStartDoesNotSubscribeTwice();
    void discoverIsAnsweredWhateverItCarries_data();
    void discoverIsAnsweredWhateverItCarries();

    void addressing_data();
    void addressing();
    void anchorParsing_data();
    void anchorParsing();
    void hideKeepsAnchorWithoutOne();
    void showIgnoresAnchor();

    void symbolWinsOverImage();
    void updateStatusInfoNeverClears_data();
    void updateStatusInfoNeverClears();

    void pngPixelSize_data();
    void pngPixelSize();
    void pngKeepsTransparencyAndLayout();
    void pngAtTheScreensFactor();
    void pngInAProcessOfItsOwn_data();
    void pngInAProcessOfItsOwn();

    void effectRunsAtOnceOnMainThread();
    void effectFromOtherThreadRunsLaterOnMainThread();
    void discoverFromOtherThreadAnswersOnMainThread();
    void queuedEffectIsDroppedWhenClientIsGone();
    void destroyedClientIsNeverCalled();
    void callbackMayReplaceItself();

    void bundleIdentifierIsOwnedUntilDestroyed();
    void bundleIdentifierQueuesBehindAnotherOwner();
    void invalidBundleIdentifierIsSentButNotClaimed();

    void wireFormatSeenByDBusMonitor();
    void malformedSignalsFromGdbus_data();
    void malformedSignalsFromGdbus();

    void screenAnchorConversion_data();
    void screenAnchorConversion();

private:
    std::unique_ptr<LocalNotificationCenter> m_center;
    std::unique_ptr<Recorder> m_recorder;
    std::unique_ptr<TestClient> m_client;
};

void tst_ZelHubClient::init()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.TestSibling"));
    m_client.reset();
    m_recorder.reset();
    m_center = std::make_unique<LocalNotificationCenter>();
    m_recorder = std::make_unique<Recorder>(m_center.get());
    m_client = std::make_unique<TestClient>(m_center.get());
}

void tst_ZelHubClient::sharedIsOneInstanceFromAnyThread()
{
    ZelHubClient *fromThreads[4] = {};
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto &slot : fromThreads)
        threads.emplace_back(QThread::create([&slot] { slot = ZelHubClient::shared(); }));
    for (auto &t : threads)
        t->start();
    for (auto &t : threads)
        t->wait();
    ZelHubClient *client = ZelHubClient::shared();
    for (ZelHubClient *c : fromThreads)
        QCOMPARE(c, client);
    // Created on a worker thread or not, its queued effects must land on the main thread.
    QCOMPARE(client->thread(), QCoreApplication::instance()->thread());
}

void tst_ZelHubClient::idleClientPostsNothing()
{
    m_client->statusBarTitle = QStringLiteral("set before start");
    m_client->updateStatusInfo(QImage(), QStringLiteral("star"), QStringLiteral("T"));
    m_client->stop();
    m_client->handleDiscover({ZelHubProtocol::discover, std::nullopt});
    m_center->postNotification(ZelHubProtocol::discover, std::nullopt);
    QCOMPARE(m_recorder->posts.size(), 0);
    // The fields are kept for the first "register".
    QCOMPARE(m_client->statusBarSymbolName, std::optional<QString>(u"star"_qs));
    m_client->start(alpha);
    QCOMPARE(m_recorder->posts.size(), 1);
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyStatusSymbolName), QVariant(u"star"_qs));
}

void tst_ZelHubClient::startPostsAppInfo()
{
    m_client->start(alpha);
    QCOMPARE(m_recorder->posts.size(), 1);
    QCOMPARE(m_recorder->posts.first().name, ZelHubProtocol::register_);
    const QVariantMap expected{{ZelHubProtocol::keyAppID, u"alpha"_qs},
                               {ZelHubProtocol::keyAppName, u"Alpha"_qs},
                               {ZelHubProtocol::keyBundleID, u"com.brannel.TestSibling"_qs}};
    QCOMPARE(m_recorder->last(), expected);
    // Text travels as text: strict readers on the hub side must accept every value.
    for (const QVariant &v : expected)
        QCOMPARE(v.typeId(), int(QMetaType::QString));

    QGuiApplication::setDesktopFileName(QString());
    m_client->updateStatusInfo();
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyBundleID), QVariant(QString()));
    QVERIFY(m_recorder->last().contains(ZelHubProtocol::keyBundleID));
}

void tst_ZelHubClient::stopPostsTheSameInfoAndUnsubscribes()
{
    bool activated = false;
    m_client->onActivate = [&](Anchor) { activated = true; };
    m_client->statusBarTitle = QStringLiteral("Notes");
    m_client->start(alpha);
    m_client->stop();
    QCOMPARE(m_recorder->posts.size(), 2);
    QCOMPARE(m_recorder->posts.at(1).name, ZelHubProtocol::unregister);
    QCOMPARE(*m_recorder->posts.at(1).userInfo, *m_recorder->posts.at(0).userInfo);

    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    m_center->postNotification(ZelHubProtocol::discover, std::nullopt);
    QVERIFY(!activated);
    QCOMPARE(m_recorder->posts.size(), 2);

    // Still configured: an update announces the application again, and a new start
    // subscribes again.
    m_client->updateStatusInfo();
    QCOMPARE(m_recorder->posts.size(), 3);
    m_client->start(alpha);
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    QVERIFY(activated);
}

void tst_ZelHubClient::secondStartDoesNotSubscribeTwice()
{
    int activations = 0;
    m_client->onActivate = [&](Anchor) { ++activations; };
    m_client->start(alpha);
    m_client->start({u"beta"_qs, u"Beta"_qs, QString()});
    QCOMPARE(m_recorder->posts.size(), 2);
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyAppID), QVariant(u"beta"_qs));
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    QCOMPARE(activations, 1);
    m_center->postNotification(ZelHubProtocol::discover, std::nullopt);
    QCOMPARE(m_recorder->posts.size(), 3);
    // The new configuration decides the addressing.
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap{{"targetID", u"alpha"_qs}});
    QCOMPARE(activations, 1);
}

void tst_ZelHubClient::discoverIsAnsweredWhateverItCarries_data()
{
    QTest::addColumn<Info>("userInfo");
    QTest::newRow("no userInfo") << Info();
    QTest::newRow("empty userInfo") << Info(QVariantMap());
    QTest::newRow("targetID of another app") << Info(QVariantMap{{"targetID", u"beta"_qs}});
    QTest::newRow("garbage") << Info(QVariantMap{{"appID", 42}, {"x", QByteArray("\0\1", 2)}});
}

void tst_ZelHubClient::discoverIsAnsweredWhateverItCarries()
{
    QFETCH(Info, userInfo);
    m_client->start(alpha);
    m_center->postNotification(ZelHubProtocol::discover, userInfo);
    QCOMPARE(m_recorder->posts.size(), 2);
    QCOMPARE(m_recorder->posts.at(1).name, ZelHubProtocol::register_);
    QCOMPARE(*m_recorder->posts.at(1).userInfo, *m_recorder->posts.at(0).userInfo);
}

void tst_ZelHubClient::addressing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("started");
    QTest::addColumn<Info>("userInfo");
    QTest::addColumn<bool>("reached");

    const QString composed = QStringLiteral("caf\u00e9");
    const QString decomposed = QStringLiteral("cafe\u0301");
    for (const QString &command :
         {ZelHubProtocol::hideIcon, ZelHubProtocol::showIcon, ZelHubProtocol::activate}) {
        const QByteArray c = command.mid(command.lastIndexOf(u'.') + 1).toLatin1();
        auto row = [&](const char *what) -> QTestData & {
            return QTest::newRow((c + ": " + what).constData());
        };
        row("1 no userInfo") << command << true << Info() << true;
        row("2 no targetID") << command << true << Info(QVariantMap{{"other", u"x"_qs}}) << true;
        row("3 targetID not a string")
            << command << true << Info(QVariantMap{{"targetID", 7}}) << true;
        row("3 targetID as bytes")
            << command << true << Info(QVariantMap{{"targetID", QByteArray("beta")}}) << true;
        row("4 empty targetID") << command << true << Info(QVariantMap{{"targetID", QString()}})
                                << true;
        row("5 no configuration yet")
            << command << false << Info(QVariantMap{{"targetID", composed}}) << false;
        row("5 no configuration, empty targetID")
            << command << false << Info(QVariantMap{{"targetID", QString()}}) << true;
        row("6 own id") << command << true << Info(QVariantMap{{"targetID", composed}}) << true;
        row("6 own id, canonically equivalent")
            << command << true << Info(QVariantMap{{"targetID", decomposed}}) << true;
        row("6 other id") << command << true << Info(QVariantMap{{"targetID", u"beta"_qs}})
                          << false;
        row("6 id differing in case")
            << command << true << Info(QVariantMap{{"targetID", u"CAF\u00c9"_qs}}) << false;
    }
}

void tst_ZelHubClient::addressing()
{
    QFETCH(QString, command);
    QFETCH(bool, started);
    QFETCH(Info, userInfo);
    QFETCH(bool, reached);

    int calls = 0;
    m_client->onHideIcon = [&] { ++calls; };
    m_client->onShowIcon = [&] { ++calls; };
    m_client->onActivate = [&](Anchor) { ++calls; };
    const ZelNotification notification{command, userInfo};
    if (started) {
        m_client->start({QStringLiteral("caf\u00e9"), QStringLiteral("Caf\u00e9"), QString()});
        m_center->postNotification(command, userInfo);
    } else {
        // Nothing is subscribed before start(); the transport would not even deliver.
        if (command == ZelHubProtocol::hideIcon)
            m_client->handleHide(notification);
        else if (command == ZelHubProtocol::showIcon)
            m_client->handleShow(notification);
        else
            m_client->handleActivate(notification);
    }
    QCOMPARE(calls, reached ? 1 : 0);
}

void tst_ZelHubClient::anchorParsing_data()
{
    QTest::addColumn<QVariantMap>("userInfo");
    QTest::addColumn<Anchor>("expected");

    QTest::newRow("812.0 and 24.5")
        << anchorInfo(u"812.0"_qs, u"24.5"_qs) << Anchor(QPointF(812, 24.5));
    QTest::newRow("integral text") << anchorInfo(u"812"_qs, u"-3"_qs) << Anchor(QPointF(812, -3));
    QTest::newRow("exponent") << anchorInfo(u"8.12e2"_qs, u"0x10"_qs) << Anchor(QPointF(812, 16));
    QTest::newRow("leading blank in y") << anchorInfo(u"812.0"_qs, u" 24.5"_qs) << Anchor();
    QTest::newRow("leading tab in x") << anchorInfo(u"\t812.0"_qs, u"24.5"_qs) << Anchor();
    QTest::newRow("leading NUL") << anchorInfo(QString(QChar(0)) + u"1"_qs, u"2"_qs) << Anchor();
    QTest::newRow("trailing blank") << anchorInfo(u"812.0 "_qs, u"24.5"_qs) << Anchor();
    QTest::newRow("trailing letters") << anchorInfo(u"812.0"_qs, u"24.5px"_qs) << Anchor();
    QTest::newRow("empty text") << anchorInfo(u"812.0"_qs, QString()) << Anchor();
    QTest::newRow("number instead of text") << anchorInfo(u"812.0"_qs, 24.5) << Anchor();
    QTest::newRow("bytes instead of text")
        << anchorInfo(QByteArray("812.0"), u"24.5"_qs) << Anchor();
    QTest::newRow("one bad coordinate") << anchorInfo(u"abc"_qs, u"24.5"_qs) << Anchor();
    QTest::newRow("only x") << anchorInfo(u"812.0"_qs, QVariant()) << Anchor();
    QTest::newRow("only y") << anchorInfo(QVariant(), u"24.5"_qs) << Anchor();
    QTest::newRow("comma decimal") << anchorInfo(u"812,5"_qs, u"24"_qs) << Anchor();
    QTest::newRow("infinite") << anchorInfo(u"1e400"_qs, u"24"_qs) << Anchor();
    QTest::newRow("nan") << anchorInfo(u"nan"_qs, u"24"_qs) << Anchor();
    QTest::newRow("absurdly long") << anchorInfo(QString(100000, u'9'), u"1"_qs) << Anchor();
}

void tst_ZelHubClient::anchorParsing()
{
    QFETCH(QVariantMap, userInfo);
    QFETCH(Anchor, expected);

    m_client->start(alpha);
    // An earlier anchor, which a message without a usable one must not clear.
    m_center->postNotification(ZelHubProtocol::activate, anchorInfo(u"1.0"_qs, u"2.0"_qs));
    QCOMPARE(m_client->hubAnchor(), Anchor(QPointF(1, 2)));

    int calls = 0;
    Anchor received;
    Anchor storedDuringCall;
    m_client->onActivate = [&](Anchor a) {
        ++calls;
        received = a;
        storedDuringCall = m_client->hubAnchor();
    };
    userInfo.insert(ZelHubProtocol::keyTargetID, u"alpha"_qs);
    m_center->postNotification(ZelHubProtocol::activate, userInfo);
    QCOMPARE(calls, 1);
    QCOMPARE(received, expected);
    // hubAnchor is set before the callback runs, and only from a usable anchor.
    QCOMPARE(storedDuringCall, expected ? expected : Anchor(QPointF(1, 2)));
    QCOMPARE(m_client->hubAnchor(), storedDuringCall);
}

void tst_ZelHubClient::hideKeepsAnchorWithoutOne()
{
    m_client->start(alpha);
    int hides = 0;
    m_client->onHideIcon = [&] { ++hides; };
    m_center->postNotification(ZelHubProtocol::hideIcon, anchorInfo(u"10.0"_qs, u"20.5"_qs));
    QCOMPARE(hides, 1);
    QCOMPARE(m_client->hubAnchor(), Anchor(QPointF(10, 20.5)));
    m_center->postNotification(ZelHubProtocol::hideIcon, QVariantMap());
    QCOMPARE(hides, 2);
    QCOMPARE(m_client->hubAnchor(), Anchor(QPointF(10, 20.5)));
    m_center->postNotification(ZelHubProtocol::hideIcon, std::nullopt);
    QCOMPARE(hides, 3);
    QCOMPARE(m_client->hubAnchor(), Anchor(QPointF(10, 20.5)));
}

void tst_ZelHubClient::showIgnoresAnchor()
{
    m_client->start(alpha);
    int shows = 0;
    m_client->onShowIcon = [&] { ++shows; };
    m_center->postNotification(ZelHubProtocol::showIcon, anchorInfo(u"10.0"_qs, u"20.0"_qs));
    QCOMPARE(shows, 1);
    QCOMPARE(m_client->hubAnchor(), Anchor());
}

void tst_ZelHubClient::symbolWinsOverImage()
{
    m_client->statusBarImage = filledImage({16, 16});
    m_client->statusBarSymbolName = QStringLiteral("mail-unread");
    m_client->start(alpha);
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyStatusSymbolName),
             QVariant(u"mail-unread"_qs));
    QVERIFY(!m_recorder->last().contains(ZelHubProtocol::keyStatusImageData));

    // An image alone does not displace a symbol ...
    m_client->updateStatusInfo(filledImage({20, 20}));
    QVERIFY(m_recorder->last().contains(ZelHubProtocol::keyStatusSymbolName));
    QVERIFY(!m_recorder->last().contains(ZelHubProtocol::keyStatusImageData));

    // ... clearing the symbol first does.
    m_client->statusBarSymbolName.reset();
    m_client->updateStatusInfo();
    QVERIFY(!m_recorder->last().contains(ZelHubProtocol::keyStatusSymbolName));
    const auto data =
        ZelHubProtocol::dataValue(m_recorder->last(), ZelHubProtocol::keyStatusImageData);
    QVERIFY(data);
    QCOMPARE(decodePNG(*data).size(), QSize(20, 20));

    // An image that cannot be rendered is left out; the rest still goes.
    m_client->statusBarImage = QImage();
    m_client->statusBarTitle = QStringLiteral("T");
    m_client->updateStatusInfo();
    QVERIFY(!m_recorder->last().contains(ZelHubProtocol::keyStatusImageData));
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyStatusTitle), QVariant(u"T"_qs));
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyAppID), QVariant(u"alpha"_qs));
}

void tst_ZelHubClient::updateStatusInfoNeverClears_data()
{
    QTest::addColumn<bool>("giveImage");
    QTest::addColumn<bool>("giveSymbol");
    QTest::addColumn<bool>("giveTitle");
    for (int mask = 0; mask < 8; ++mask) {
        const bool i = mask & 1, s = mask & 2, t = mask & 4;
        const QByteArray name = QByteArray("image ") + (i ? "given" : "absent") + ", symbol " +
                                (s ? "given" : "absent") + ", title " + (t ? "given" : "absent");
        QTest::newRow(name.constData()) << i << s << t;
    }
}

void tst_ZelHubClient::updateStatusInfoNeverClears()
{
    QFETCH(bool, giveImage);
    QFETCH(bool, giveSymbol);
    QFETCH(bool, giveTitle);

    const QImage oldImage = filledImage({8, 8});
    const QImage newImage = filledImage({12, 12});
    m_client->statusBarImage = oldImage;
    m_client->statusBarSymbolName = QStringLiteral("old-symbol");
    m_client->statusBarTitle = QStringLiteral("old title");
    m_client->start(alpha);
    const qsizetype before = m_recorder->posts.size();

    m_client->updateStatusInfo(giveImage ? std::optional<QImage>(newImage) : std::nullopt,
                               giveSymbol ? std::optional<QString>(u"new-symbol"_qs) : std::nullopt,
                               giveTitle ? std::optional<QString>(u"new title"_qs) : std::nullopt);
    QCOMPARE(m_client->statusBarImage->size(), giveImage ? newImage.size() : oldImage.size());
    QCOMPARE(*m_client->statusBarSymbolName, giveSymbol ? u"new-symbol"_qs : u"old-symbol"_qs);
    QCOMPARE(*m_client->statusBarTitle, giveTitle ? u"new title"_qs : u"old title"_qs);
    // Posted even when nothing changed.
    QCOMPARE(m_recorder->posts.size(), before + 1);
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyStatusTitle),
             QVariant(*m_client->statusBarTitle));
}

void tst_ZelHubClient::pngPixelSize_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<qreal>("factor");
    QTest::addColumn<QSize>("pixels");

    QTest::newRow("16 pt at factor 1") << filledImage({16, 16}) << 1.0 << QSize(16, 16);
    QTest::newRow("16 pt at factor 2") << filledImage({16, 16}) << 2.0 << QSize(32, 32);
    QTest::newRow("16 pt drawn at 2x, factor 1")
        << filledImage({32, 32}, 2.0) << 1.0 << QSize(16, 16);
    QTest::newRow("16 pt drawn at 2x, factor 2")
        << filledImage({32, 32}, 2.0) << 2.0 << QSize(32, 32);
    QTest::newRow("15 pt at 1.5 truncates") << filledImage({15, 15}) << 1.5 << QSize(22, 22);
    QTest::newRow("wide 21x7 at 1.25") << filledImage({21, 7}) << 1.25 << QSize(26, 8);
    QTest::newRow("3 px at 3x is 1 pt") << filledImage({3, 3}, 3.0) << 2.0 << QSize(2, 2);
}

void tst_ZelHubClient::pngPixelSize()
{
    QFETCH(QImage, image);
    QFETCH(qreal, factor);
    QFETCH(QSize, pixels);
    const auto png = ZelHubClient::renderStatusImagePNG(image, factor);
    QVERIFY(png);
    QVERIFY(png->startsWith("\x89PNG"));
    QCOMPARE(decodePNG(*png).size(), pixels);
}

void tst_ZelHubClient::pngKeepsTransparencyAndLayout()
{
    const auto png = ZelHubClient::renderStatusImagePNG(filledImage({16, 16}), 2.0);
    QVERIFY(png);
    const QImage decoded = decodePNG(*png);
    QVERIFY(decoded.hasAlphaChannel());
    // The red quarter stays top left; the rest stays fully transparent.
    QCOMPARE(decoded.pixelColor(4, 4), QColor(Qt::red));
    QCOMPARE(decoded.pixelColor(28, 28).alpha(), 0);
    QCOMPARE(decoded.pixelColor(28, 4).alpha(), 0);

    QVERIFY(!ZelHubClient::renderStatusImagePNG(QImage(), 2.0));
    // Less than one pixel after truncation: nothing to send.
    QVERIFY(!ZelHubClient::renderStatusImagePNG(filledImage({1, 1}, 4.0), 2.0));
    QVERIFY(!ZelHubClient::renderStatusImagePNG(filledImage({16, 16}), 0.0));
}

void tst_ZelHubClient::pngAtTheScreensFactor()
{
    // The offscreen test platform has one screen of ratio 1.
    QVERIFY(QGuiApplication::primaryScreen());
    QCOMPARE(ZelHubClient::statusImageScaleFactor(),
             QGuiApplication::primaryScreen()->devicePixelRatio());
    m_client->statusBarImage = filledImage({16, 16});
    m_client->start(alpha);
    const auto data =
        ZelHubProtocol::dataValue(m_recorder->last(), ZelHubProtocol::keyStatusImageData);
    QVERIFY(data);
    const qreal factor = QGuiApplication::primaryScreen()->devicePixelRatio();
    QCOMPARE(decodePNG(*data).size(), QSize(int(16 * factor), int(16 * factor)));
}

void tst_ZelHubClient::pngInAProcessOfItsOwn_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("scaleFactor");
    QTest::addColumn<QString>("expected");
    QTest::newRow("screen of factor 1") << "gui"
                                        << "1"
                                        << "16x16";
    QTest::newRow("screen of factor 2") << "gui"
                                        << "2"
                                        << "32x32";
    QTest::newRow("no GUI application, so no screen") << "core"
                                                      << ""
                                                      << "32x32";
}

void tst_ZelHubClient::pngInAProcessOfItsOwn()
{
    QFETCH(QString, mode);
    QFETCH(QString, scaleFactor);
    QFETCH(QString, expected);
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("QT_SCALE_FACTOR");
    if (!scaleFactor.isEmpty())
        env.insert("QT_SCALE_FACTOR", scaleFactor);
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(ZEL_PNGPROBE), {mode});
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), expected);
}

void tst_ZelHubClient::effectRunsAtOnceOnMainThread()
{
    m_client->start(alpha);
    QThread *ranOn = nullptr;
    m_client->onShowIcon = [&] { ranOn = QThread::currentThread(); };
    m_client->handleShow({ZelHubProtocol::showIcon, QVariantMap()});
    QCOMPARE(ranOn, QThread::currentThread());
}

void tst_ZelHubClient::effectFromOtherThreadRunsLaterOnMainThread()
{
    m_client->start(alpha);
    QThread *ranOn = nullptr;
    Anchor received;
    m_client->onActivate = [&](Anchor a) {
        ranOn = QThread::currentThread();
        received = a;
    };
    QVariantMap info = anchorInfo(u"5.5"_qs, u"6.0"_qs);
    info.insert(ZelHubProtocol::keyTargetID, u"alpha"_qs);
    std::unique_ptr<QThread> worker(QThread::create([&] {
        m_client->handleActivate({ZelHubProtocol::activate, info});
    }));
    worker->start();
    QVERIFY(worker->wait(10000));
    // Not yet: it waits for the main thread's event loop.
    QCOMPARE(ranOn, nullptr);
    QCOMPARE(m_client->hubAnchor(), Anchor());
    QTRY_COMPARE(ranOn, QThread::currentThread());
    QCOMPARE(received, Anchor(QPointF(5.5, 6)));
    QCOMPARE(m_client->hubAnchor(), received);
}

void tst_ZelHubClient::discoverFromOtherThreadAnswersOnMainThread()
{
    m_client->start(alpha);
    std::unique_ptr<QThread> worker(QThread::create(
        [&] { m_center->postNotification(ZelHubProtocol::discover, std::nullopt); }));
    worker->start();
    QVERIFY(worker->wait(10000));
    QCOMPARE(m_recorder->posts.size(), 1);
    QTRY_COMPARE(m_recorder->posts.size(), 2);
    QCOMPARE(m_recorder->posts.at(1).thread, QThread::currentThread());
}

void tst_ZelHubClient::queuedEffectIsDroppedWhenClientIsGone()
{
    m_client->start(alpha);
    auto calls = std::make_shared<int>(0);
    m_client->onActivate = [calls](Anchor) { ++*calls; };
    std::unique_ptr<QThread> worker(QThread::create([&] {
        m_client->handleActivate({ZelHubProtocol::activate, std::nullopt});
    }));
    worker->start();
    QVERIFY(worker->wait(10000));
    m_client.reset();
    QCoreApplication::processEvents();
    QTest::qWait(50);
    QCOMPARE(*calls, 0);
}

void tst_ZelHubClient::destroyedClientIsNeverCalled()
{
    // The process's client may end without stop(); a destroyed one must leave nothing
    // behind in the center, on a local center as on the bus.
    auto calls = std::make_shared<int>(0);
    m_client->onActivate = [calls](Anchor) { ++*calls; };
    m_client->onHideIcon = [calls] { ++*calls; };
    m_client->start(alpha);
    m_client.reset();
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    m_center->postNotification(ZelHubProtocol::hideIcon, QVariantMap());
    m_center->postNotification(ZelHubProtocol::discover, std::nullopt);
    QCOMPARE(*calls, 0);
    QCOMPARE(m_recorder->posts.size(), 1); // only the first "register"

    DBusNotificationCenter bus(QDBusConnection::sessionBus());
    auto busClient = std::make_unique<TestClient>(&bus);
    busClient->onActivate = [calls](Anchor) { ++*calls; };
    busClient->start(alpha);
    QObject witness;
    int witnessed = 0;
    bus.addObserver(&witness, ZelHubProtocol::activate,
                    [&](const ZelNotification &) { ++witnessed; });
    bus.postNotification(ZelHubProtocol::activate, QVariantMap());
    QTRY_COMPARE(witnessed, 1);
    QCOMPARE(*calls, 1);
    busClient.reset();
    bus.postNotification(ZelHubProtocol::activate, QVariantMap());
    QTRY_COMPARE(witnessed, 2);
    QCOMPARE(*calls, 1);
}

void tst_ZelHubClient::callbackMayReplaceItself()
{
    m_client->start(alpha);
    QStringList log;
    // The lambda's captures die when it is replaced; the call must still finish on a copy.
    const QString label = QStringLiteral("first callback, with captured state");
    m_client->onActivate = [this, &log, label](Anchor) {
        m_client->onActivate = [&log](Anchor) { log << u"second"_qs; };
        log << label;
    };
    m_client->onHideIcon = [this, &log, label] {
        m_client->onHideIcon = nullptr;
        log << label + u" (hide)"_qs;
    };
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    m_center->postNotification(ZelHubProtocol::activate, QVariantMap());
    m_center->postNotification(ZelHubProtocol::hideIcon, QVariantMap());
    m_center->postNotification(ZelHubProtocol::hideIcon, QVariantMap());
    QCOMPARE(log, QStringList({label, u"second"_qs, label + u" (hide)"_qs}));
}

void tst_ZelHubClient::bundleIdentifierIsOwnedUntilDestroyed()
{
    const QString id = QStringLiteral("com.brannel.TestSibling.Owned");
    QGuiApplication::setDesktopFileName(id);
    RunningApplications *running = RunningApplications::system();
    QVERIFY(!running->isRunning(id));
    m_client->start(alpha);
    QVERIFY(running->isRunning(id));
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyBundleID), QVariant(id));
    // Stopped, the application still runs.
    m_client->stop();
    QVERIFY(running->isRunning(id));

    // Gone: nothing is posted, and the name does not stay behind.
    m_client->start(alpha);
    QVERIFY(running->isRunning(id));
    const qsizetype posts = m_recorder->posts.size();
    m_client.reset();
    QVERIFY(!running->isRunning(id));
    QCOMPARE(m_recorder->posts.size(), posts);
}

void tst_ZelHubClient::bundleIdentifierQueuesBehindAnotherOwner()
{
    const QString id = QStringLiteral("com.brannel.TestSibling.Queued");
    QGuiApplication::setDesktopFileName(id);
    QDBusConnection other =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other"));
    QVERIFY(other.isConnected());
    QVERIFY(other.registerService(id));
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();

    m_client->start(alpha);
    // Started all the same: the first instance keeps the name, this one waits.
    QCOMPARE(m_recorder->posts.size(), 1);
    QCOMPARE(bus->serviceOwner(id).value(), other.baseService());

    QVERIFY(other.unregisterService(id));
    QTRY_COMPARE(bus->serviceOwner(id).value(), QDBusConnection::sessionBus().baseService());
    m_client.reset();
    QTRY_VERIFY(!bus->isServiceRegistered(id).value());
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
}

void tst_ZelHubClient::invalidBundleIdentifierIsSentButNotClaimed()
{
    const QString id = QStringLiteral("not a bus name");
    QGuiApplication::setDesktopFileName(id);
    m_client->start(alpha);
    QCOMPARE(m_recorder->last().value(ZelHubProtocol::keyBundleID), QVariant(id));
    QVERIFY(!RunningApplications::system()->isRunning(id));
    m_client->stop();
    QCOMPARE(m_recorder->posts.size(), 2);
}

void tst_ZelHubClient::wireFormatSeenByDBusMonitor()
{
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());
    DBusNotificationCenter bus(QDBusConnection::sessionBus());
    TestClient client(&bus);
    client.statusBarImage = filledImage({16, 16});
    client.statusBarTitle = QStringLiteral("Inbox");
    client.start(alpha);
    client.stop();
    const auto seen = monitor.waitFor(2);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0).member, u"register"_qs);
    QCOMPARE(seen.at(0).path, u"/com/brannel/zelhub"_qs);
    QCOMPARE(seen.at(0).sender, QDBusConnection::sessionBus().baseService());
    QCOMPARE(seen.at(0).argumentCount, 1);
    QVERIFY(seen.at(0).dictionary);
    QCOMPARE(seen.at(0).entries.value(u"appID"_qs), u"string \"alpha\""_qs);
    QCOMPARE(seen.at(0).entries.value(u"appName"_qs), u"string \"Alpha\""_qs);
    QCOMPARE(seen.at(0).entries.value(u"statusTitle"_qs), u"string \"Inbox\""_qs);
    QVERIFY(seen.at(0).entries.value(u"statusImageData"_qs).startsWith(u"array of bytes"_qs));
    QCOMPARE(seen.at(1).member, u"unregister"_qs);
    QCOMPARE(seen.at(1).entries, seen.at(0).entries);
}

void tst_ZelHubClient::malformedSignalsFromGdbus_data()
{
    QTest::addColumn<QStringList>("emitArgs");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<Anchor>("anchor");

    QTest::newRow("no arguments") << QStringList() << true << Anchor();
    QTest::newRow("anchor as doubles")
        << QStringList{"{'anchorX': <812.0>, 'anchorY': <24.5>}"} << true << Anchor();
    QTest::newRow("anchor as text") << QStringList{"{'anchorX': <'812.0'>, 'anchorY': <'24.5'>}"}
                                    << true << Anchor(QPointF(812, 24.5));
    QTest::newRow("absurd anchor text")
        << QStringList{"{'anchorX': <'1e999'>, 'anchorY': <'\u00e9\u00e9'>}"} << true << Anchor();
    QTest::newRow("targetID as number, nested junk")
        << QStringList{"{'targetID': <int64 5>, 'anchorX': <{'a': <1>}>, 'anchorY': <['x']>}"}
        << true << Anchor();
    QTest::newRow("targetID of another app")
        << QStringList{"{'targetID': <'beta'>}"} << false << Anchor();
    // Bounded before it is compared: normalising it froze every sibling for seconds.
    QTest::newRow("targetID of 64 KB of combining marks")
        << QStringList{"{'targetID': <'a" + QString(16000, QChar(0x301)) +
                       QString(16000, QChar(0x316)) + "'>}"}
        << false << Anchor();
    QTest::newRow("a string instead of a dictionary")
        << QStringList{"'alpha'"} << false << Anchor();
    QTest::newRow("two dictionaries")
        << QStringList{"{'a': <'b'>}", "{'c': <'d'>}"} << false << Anchor();
    QTest::newRow("dictionary of strings, not variants")
        << QStringList{"@a{ss} {'targetID': 'alpha'}"} << false << Anchor();
}

void tst_ZelHubClient::malformedSignalsFromGdbus()
{
    QFETCH(QStringList, emitArgs);
    QFETCH(bool, handled);
    QFETCH(Anchor, anchor);

    DBusNotificationCenter bus(QDBusConnection::sessionBus());
    TestClient client(&bus);
    QList<Anchor> activations;
    int markers = 0;
    client.onActivate = [&](Anchor a) { activations.append(a); };
    client.onShowIcon = [&] { ++markers; };
    client.start(alpha);

    auto emitSignal = [](const QString &member, const QStringList &args) {
        return QProcess::execute("gdbus", QStringList{"emit", "--session", "--object-path",
                                                      "/com/brannel/zelhub", "--signal",
                                                      "com.brannel.zelhub." + member} +
                                              args) == 0;
    };
    // The match rules reach the bus asynchronously; wait until a foreign signal arrives.
    QVERIFY(QTest::qWaitFor(
        [&] {
            emitSignal("showIcon", {"@a{sv} {}"});
            return QTest::qWaitFor([&] { return markers > 0; }, 200);
        },
        20000));
    QVERIFY(emitSignal("activate", emitArgs));
    // A marker sent after it by the same peer arrives after it.
    const int before = markers;
    QVERIFY(emitSignal("showIcon", {"@a{sv} {}"}));
    QTRY_VERIFY(markers > before);
    QCOMPARE(activations.size(), handled ? 1 : 0);
    if (handled)
        QCOMPARE(activations.first(), anchor);
    client.stop();
}

void tst_ZelHubClient::screenAnchorConversion_data()
{
    QTest::addColumn<QPointF>("anchor");
    QTest::addColumn<QPointF>("global");
    const QRect primary = QGuiApplication::primaryScreen()->geometry();
    const qreal bottom = primary.y() + primary.height();
    QTest::newRow("bottom-left corner") << QPointF(0, 0) << QPointF(primary.x(), bottom);
    QTest::newRow("below a top panel's icon")
        << QPointF(400, primary.height() - 24.5) << QPointF(primary.x() + 400, primary.y() + 24.5);
    QTest::newRow("above a bottom panel") << QPointF(100.25, 40) << QPointF(100.25, bottom - 40);
    QTest::newRow("off the primary screen") << QPointF(-50, -10) << QPointF(-50, bottom + 10);
}

void tst_ZelHubClient::screenAnchorConversion()
{
    QFETCH(QPointF, anchor);
    QFETCH(QPointF, global);
    QCOMPARE(ZelScreenAnchor::toGlobal(anchor), global);
    QCOMPARE(ZelScreenAnchor::fromGlobal(global), anchor);
}

QTEST_MAIN(tst_ZelHubClient)
#include "tst_zelhubclient.moc"
