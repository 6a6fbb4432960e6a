// The protocol's value rules through the real client and server on an
// in-process center, and the popup grid through the real controller on an
// offscreen window.
#include "HubPopover.h"
#include "HubPopoverViewController.h"

#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/ZelScreenAnchor.h>
#include <ZelKit/platform/LocalNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QTest>
#include <QToolButton>

#include <clocale>
#include <cstdio>

using Info = std::optional<QVariantMap>;
using Anchor = std::optional<QPointF>;
using Posts = QList<std::pair<QString, QVariantMap>>;
using Provider = std::function<HubPopoverViewController::StatusInfo(const ZelHubApp &)>;

class TestClient : public ZelHubClient
{
public:
    explicit TestClient(DistributedNotificationCenter *center) : ZelHubClient(center) {}
};

namespace {

const ZelAppConfig alpha{u"alpha"_qs, u"Alpha"_qs, u"http://127.0.0.1"_qs};

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

QVariantMap anchorInfo(const QVariant &x, const QVariant &y)
{
    QVariantMap info;
    if (x.isValid())
        info.insert(u"anchorX"_qs, x);
    if (y.isValid())
        info.insert(u"anchorY"_qs, y);
    return info;
}

QList<ZelHubApp> makeApps(int n)
{
    QList<ZelHubApp> apps;
    for (int i = 0; i < n; ++i)
        apps.append({u"id%1"_qs.arg(i), u"App %1"_qs.arg(i), u"com.example.App%1"_qs.arg(i)});
    return apps;
}

QIcon redIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::red);
    return QIcon(pixmap);
}

// The controller as the popup shows it.
struct Shown
{
    Shown(int count, Provider provider)
    {
        controller = new HubPopoverViewController;
        controller->apps = makeApps(count);
        controller->statusProvider = std::move(provider);
        controller->reload();
        popover.setContentViewController(controller);
        popover.show(QRect(400, 0, 22, 22));
        QVERIFY(QTest::qWaitForWindowExposed(&popover));
    }
    HubPopover popover;
    HubPopoverViewController *controller = nullptr;
    QPoint at(int i) const { return controller->buttons().at(i)->mapTo(controller, QPoint()); }
};

} // namespace

class tst_HubRules : public QObject
{
    Q_OBJECT
    std::unique_ptr<LocalNotificationCenter> center;
    std::unique_ptr<TestClient> client;
    Posts posts;
    QObject recorder;

    bool play(const QString &script)
    {
        const QImage image = quarterImage({16, 16});
        TestClient &c = *client;
        for (const QString &word : script.split(u' ')) {
            const QString value = word.section(u'=', 1);
            if (word == u"image" || word == u"nullimage")
                c.statusBarImage = word == u"image" ? image : QImage();
            else if (word.startsWith(u"symbol="))
                c.statusBarSymbolName = value;
            else if (word == u"nosymbol")
                c.statusBarSymbolName.reset();
            else if (word.startsWith(u"title="))
                c.statusBarTitle = value;
            else if (word == u"nobundle")
                QGuiApplication::setDesktopFileName({});
            else if (word.startsWith(u"start"))
                c.start(value.isEmpty() ? alpha : ZelAppConfig{value, u"Beta"_qs, {}});
            else if (word == u"stop")
                c.stop();
            else if (word.startsWith(u"discover"))
                center->postNotification(ZelHubProtocol::discover,
                                         word == u"discover" ? Info()
                                                             : QVariantMap{{"targetID", "beta"}});
            else if (word.startsWith(u"update"))
                c.updateStatusInfo(word == u"update:image" ? std::optional(image) : std::nullopt,
                                   std::nullopt,
                                   word.contains(u'=') ? std::optional(value) : std::nullopt);
            else
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        // Every coordinate is read and written under a decimal-comma locale when
        // one exists.
        for (const char *name : {"de_DE.UTF-8", "de_DE.utf8"})
            if (std::setlocale(LC_NUMERIC, name))
                break;
    }
    void init()
    {
        QGuiApplication::setDesktopFileName(u"com.brannel.TestSibling"_qs);
        client.reset();
        posts.clear();
        center = std::make_unique<LocalNotificationCenter>();
        client = std::make_unique<TestClient>(center.get());
        for (const QString &name : {ZelHubProtocol::register_, ZelHubProtocol::unregister})
            center->addObserver(&recorder, name, [this](const ZelNotification &n) {
                posts.append({n.name.section(u'.', -1), n.userInfo.value_or(QVariantMap())});
            });
    }
    void anchorReading_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QVariantMap>("info");
        QTest::addColumn<Anchor>("expected"); // what the callback gets; none keeps (1, 2)
        const auto row = [](const char *name, const QVariant &x, const QVariant &y, Anchor a,
                            const QString &command = u"activate"_qs) {
            QTest::newRow(name) << command << anchorInfo(x, y) << a;
        };
        row("812.0 and 24.5", "812.0", "24.5", QPointF(812, 24.5));
        row("integral text", "812", "-3", QPointF(812, -3));
        row("exponent and plus sign", "1.5e2", "+7", QPointF(150, 7));
        row("hexadecimal, as strtod reads it", "0x10", "1", QPointF(16, 1));
        row("y empty", "812.0", "", {});
        row("y leading blank", "812.0", " 24.5", {});
        row("x leading tab", "\t812.0", "24.5", {});
        row("x leading newline", "\n812.0", "24.5", {});
        row("x leading NUL", QString(QChar(0)) + u"1"_qs, "2", {});
        row("x embedded NUL", u"24"_qs + QChar(0) + u"5"_qs, "2", {});
        row("y trailing letters", "812.0", "24.5px", {});
        row("y trailing blank", "812.0", "24.5 ", {});
        row("decimal comma", "24,5", "1", {});
        row("infinity", "inf", "1", {});
        row("not a number", "1", "nan", {});
        row("overflow", "1e999", "1", {});
        row("only x", "812.0", QVariant(), {});
        row("only y", QVariant(), "24.5", {});
        row("y a number", "812.0", 24.5, {});
        row("x as bytes", QByteArray("812.0"), "24.5", {});
        row("hideIcon stores its anchor", "10.0", "20.5", QPointF(10, 20.5), u"hideIcon"_qs);
        row("hideIcon without anchor keeps it", QVariant(), QVariant(), {}, u"hideIcon"_qs);
        row("showIcon never reads one", "10.0", "20.5", {}, u"showIcon"_qs);
    }
    void anchorReading()
    {
        QFETCH(QString, command);
        QFETCH(QVariantMap, info);
        QFETCH(Anchor, expected);
        client->start(alpha);
        center->postNotification(ZelHubProtocol::activate, anchorInfo("1.0", "2.0"));
        int calls = 0;
        Anchor received, storedDuringCall;
        const auto seen = [&](Anchor a) {
            ++calls;
            received = a;
            storedDuringCall = client->hubAnchor();
        };
        client->onActivate = seen;
        client->onHideIcon = [&] { seen(expected); };
        client->onShowIcon = [&] { seen(expected); };
        center->postNotification(u"com.brannel.zelhub."_qs + command, info);
        QCOMPARE(calls, 1);
        QCOMPARE(received, expected);
        const Anchor stored = command == u"showIcon" || !expected ? QPointF(1, 2) : expected;
        QCOMPARE(storedDuringCall, stored);
        QCOMPARE(client->hubAnchor(), stored);
    }
    void activationToken_data()
    {
        QTest::addColumn<QVariant>("token");
        QTest::addColumn<QString>("expected"); // null: none, also none left over from before
        QTest::newRow("text") << QVariant("kwin-42") << "kwin-42";
        QTest::newRow("absent") << QVariant() << QString();
        QTest::newRow("bytes") << QVariant(QByteArray("kwin-43")) << QString();
        QTest::newRow("empty") << QVariant("") << QString();
        QTest::newRow("255 characters, the bound of every text")
            << QVariant(QString(255, u't')) << QString(255, u't');
        QTest::newRow("256 characters") << QVariant(QString(256, u't')) << QString();
    }
    void activationToken()
    {
        QFETCH(QVariant, token);
        QFETCH(QString, expected);
        client->start(alpha);
        std::optional<QString> seen;
        client->onActivate = [&](Anchor) { seen = client->activationToken(); };
        center->postNotification(ZelHubProtocol::activate,
                                 QVariantMap{{"activationToken", "kwin-41"}});
        QCOMPARE(seen, std::optional<QString>(u"kwin-41"_qs));
        QVariantMap info;
        if (token.isValid())
            info.insert("activationToken", token);
        center->postNotification(ZelHubProtocol::activate, info);
        QCOMPARE(seen, expected.isNull() ? std::nullopt : std::optional(expected));
    }
    void addressing_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("own"); // the client's id; null: not started
        QTest::addColumn<Info>("info");
        QTest::addColumn<bool>("reached");
        const auto row = [](const char *name, const QVariant &target, bool reached,
                            const QString &own = u"caf\u00e9"_qs,
                            const QString &command = u"activate"_qs) {
            const Info info = target.isValid() ? Info(QVariantMap{{u"targetID"_qs, target}})
                                               : Info(QVariantMap{{"x", "y"}});
            QTest::newRow(name) << command << own << info << reached;
        };
        QTest::newRow("no userInfo") << u"activate"_qs << u"caf\u00e9"_qs << Info() << true;
        row("no targetID", QVariant(), true);
        row("targetID a number", 7, true);
        row("targetID as bytes", QByteArray("beta"), true);
        row("empty targetID", u""_qs, true);
        row("not started, targeted", u"caf\u00e9"_qs, false, QString());
        row("not started, empty targetID", u""_qs, true, QString());
        row("own id", u"caf\u00e9"_qs, true);
        row("own id, canonically equivalent", u"cafe\u0301"_qs, true);
        row("own id in other case", u"CAF\u00c9"_qs, false);
        row("other id", u"beta"_qs, false);
        row("own id of 255 units", QString(255, u'n'), true, QString(255, u'n'));
        row("own id of 256 units is meant for nobody", QString(256, u'n'), false,
            QString(256, u'n'));
        row("hideIcon, other id", u"beta"_qs, false, u"caf\u00e9"_qs, u"hideIcon"_qs);
        row("showIcon, other id", u"beta"_qs, false, u"caf\u00e9"_qs, u"showIcon"_qs);
        row("showIcon, own id", u"caf\u00e9"_qs, true, u"caf\u00e9"_qs, u"showIcon"_qs);
    }
    void addressing()
    {
        QFETCH(QString, command);
        QFETCH(QString, own);
        QFETCH(Info, info);
        QFETCH(bool, reached);
        int calls = 0;
        client->onHideIcon = [&] { ++calls; };
        client->onShowIcon = [&] { ++calls; };
        client->onActivate = [&](Anchor) { ++calls; };
        const ZelNotification n{u"com.brannel.zelhub."_qs + command, info};
        if (!own.isNull()) {
            client->start({own, own, QString()});
            center->postNotification(n.name, info);
        } else if (command == u"activate") {
            // Nothing is subscribed before start(): only a direct call can reach it.
            client->handleActivate(n);
        }
        QCOMPARE(calls, reached ? 1 : 0);
    }
    void coordinateText_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 812.0 << "812.0";
        QTest::newRow("half") << 40.5 << "40.5";
        QTest::newRow("zero") << 0.0 << "0.0";
        QTest::newRow("negative whole") << -3.0 << "-3.0";
        QTest::newRow("1079.5") << 1079.5 << "1079.5";
        QTest::newRow("shortest, not 17 digits") << 0.3 << "0.3";
        QTest::newRow("sum with error") << 0.1 + 0.2 << "0.30000000000000004";
        QTest::newRow("large whole, no exponent") << 100000.0 << "100000.0";
        QTest::newRow("small, no exponent") << 0.0001 << "0.0001";
    }
    void coordinateText()
    {
        // The hub's command, read back by the client: text on the way, the same
        // double after.
        QFETCH(double, value);
        QFETCH(QString, text);
        class NoApps : public RunningApplications
        {
            bool isRunning(const QString &) const override { return false; }
        } none;
        ZelHubServer server(center.get(), &none);
        QVariantMap sent;
        center->addObserver(&recorder, ZelHubProtocol::activate,
                            [&](const ZelNotification &n) { sent = n.userInfo.value_or(sent); });
        Anchor received;
        client->onActivate = [&](Anchor a) { received = a; };
        client->start(alpha);
        server.activate({u"alpha"_qs, u"Alpha"_qs, QString()}, QPointF(value, value));
        QCOMPARE(sent, (QVariantMap{{"targetID", "alpha"}, {"anchorX", text}, {"anchorY", text}}));
        QCOMPARE(received, Anchor(QPointF(value, value)));
    }
    void appInfo_data()
    {
        // The client is driven by words (see play()); each post is its name and the keys
        // that differ from alpha's, "statusImageData" as the PNG's pixel size.
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("posts");
        const auto row = [](const char *name, const char *script, const QString &posts) {
            QTest::newRow(name) << QString(script) << posts;
        };
        row("start announces id, name and bundle id", "start", "register");
        row("no bundle identifier is the empty string", "nobundle start", "register bundleID=");
        row("nothing before start; fields kept for it",
            "image symbol=star title=T update stop discover start",
            "register statusSymbolName=star statusTitle=T");
        row("symbol wins over image, also after an image update",
            "image symbol=star start update:image",
            "register statusSymbolName=star, register statusSymbolName=star");
        row("image at the screen's factor once the symbol is cleared",
            "symbol=star start nosymbol update:image",
            "register statusSymbolName=star, register statusImageData=16x16");
        row("update replaces only what it is given, and always posts",
            "symbol=s title=old start update:title=new update",
            "register statusSymbolName=s statusTitle=old, register statusSymbolName=s "
            "statusTitle=new, register statusSymbolName=s statusTitle=new");
        row("unrenderable image left out, the rest sent", "nullimage title= start",
            "register statusTitle=");
        row("discover answered whatever it carries", "start discover discover:junk",
            "register, register, register");
        row("stop sends the same info and stops listening", "title=T start stop discover update",
            "register statusTitle=T, unregister statusTitle=T, register statusTitle=T");
        row("second start listens once, under the new id", "start start=beta discover",
            "register, register appID=beta appName=Beta, register appID=beta appName=Beta");
    }
    void appInfo()
    {
        QFETCH(QString, script);
        QFETCH(QString, posts);
        Posts expected;
        for (const QString &post : posts.split(u", "_qs)) {
            QVariantMap info{
                {"appID", "alpha"}, {"appName", "Alpha"}, {"bundleID", "com.brannel.TestSibling"}};
            const QStringList words = post.split(u' ');
            for (const QString &w : words.mid(1))
                info[w.section(u'=', 0, 0)] = w.startsWith(u"statusImageData=")
                                                  ? QVariant(QSize(16, 16))
                                                  : QVariant(w.section(u'=', 1));
            expected.append({words.first(), info});
        }
        QVERIFY(play(script));
        for (auto &[name, info] : this->posts)
            for (auto it = info.begin(); it != info.end(); ++it)
                if (it->typeId() == QMetaType::QByteArray)
                    *it = QImage::fromData(it->toByteArray(), "PNG").size();
                else
                    QCOMPARE(it->typeId(), int(QMetaType::QString));
        QCOMPARE(this->posts, expected);
    }
    void statusImagePNG_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<qreal>("factor");
        QTest::addColumn<QSize>("pixels"); // invalid: nothing is sent
        QTest::newRow("16 pt at factor 1") << quarterImage({16, 16}) << 1.0 << QSize(16, 16);
        QTest::newRow("16 pt at factor 2") << quarterImage({16, 16}) << 2.0 << QSize(32, 32);
        QTest::newRow("16 pt drawn at 2x, factor 1")
            << quarterImage({32, 32}, 2) << 1.0 << QSize(16, 16);
        QTest::newRow("15 pt at 1.5 truncates") << quarterImage({15, 15}) << 1.5 << QSize(22, 22);
        QTest::newRow("wide 21x7 at 1.25") << quarterImage({21, 7}) << 1.25 << QSize(26, 8);
        QTest::newRow("null image") << QImage() << 2.0 << QSize();
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
        QVERIFY(png->startsWith("\x89PNG\r\n\x1a\n"));
        const QImage decoded = QImage::fromData(*png, "PNG");
        QCOMPARE(decoded.size(), pixels);
        const int w = pixels.width(), h = pixels.height();
        QCOMPARE(decoded.pixelColor(w / 4, h / 4), QColor(Qt::red));
        QCOMPARE(decoded.pixelColor(3 * w / 4, 3 * h / 4).alpha(), 0);
        QCOMPARE(decoded.pixelColor(3 * w / 4, h / 4).alpha(), 0);
    }
    void noScreenMeansFactorTwo()
    {
        QProcess child;
        child.setProcessEnvironment([] {
            auto env = QProcessEnvironment::systemEnvironment();
            env.insert("ZEL_CORE_CHILD", "1");
            return env;
        }());
        child.start(QCoreApplication::applicationFilePath());
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.readAllStandardOutput(), QByteArray("32x32\n"));
    }
    void screenAnchor_data()
    {
        // The offscreen screen is 800 × 800 at the origin; anchors have y going up
        // from its bottom.
        QTest::addColumn<QPointF>("anchor");
        QTest::addColumn<QPointF>("global");
        QTest::newRow("bottom-left corner") << QPointF(0, 0) << QPointF(0, 800);
        QTest::newRow("below a top panel's icon") << QPointF(400, 775.5) << QPointF(400, 24.5);
        QTest::newRow("off the screen") << QPointF(-50, -10) << QPointF(-50, 810);
    }
    void screenAnchor()
    {
        QFETCH(QPointF, anchor);
        QFETCH(QPointF, global);
        QCOMPARE(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 800, 800));
        QCOMPARE(ZelScreenAnchor::toGlobal(anchor), global);
        QCOMPARE(ZelScreenAnchor::fromGlobal(global), anchor);
    }
    void grid_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("perRow");
        QTest::addColumn<QSize>("preferred");
        // 18-point icons 12 apart, 12 of padding around the grid.
        QTest::newRow("no apps") << 0 << QList<int>{} << QSize(200, 44);
        QTest::newRow("one app") << 1 << QList<int>{1} << QSize(42, 42);
        QTest::newRow("a full row") << 5 << QList<int>{5} << QSize(162, 42);
        QTest::newRow("one more starts a row") << 6 << QList<int>{5, 1} << QSize(162, 72);
        QTest::newRow("eleven apps") << 11 << QList<int>{5, 5, 1} << QSize(162, 102);
    }
    void grid()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, perRow);
        QFETCH(QSize, preferred);
        Shown shown(count, {});
        QCOMPARE(shown.controller->preferredContentSize(), preferred);
        QCOMPARE(shown.popover.size(), preferred + QSize(2, 2)); // and the popup's frame
        QCOMPARE(shown.controller->emptyLabel() != nullptr, count == 0);
        if (count == 0)
            QCOMPARE(shown.controller->emptyLabel()->text(), u"No Zel apps running"_qs);
        QCOMPARE(shown.controller->findChildren<QToolButton *>().size(), count);
        int i = 0;
        for (int r = 0; r < perRow.size(); ++r)
            for (int c = 0; c < perRow.at(r); ++c, ++i) {
                QCOMPARE(shown.at(i), QPoint(12 + 30 * c, 12 + 30 * r));
                QCOMPARE(shown.controller->buttons().at(i)->size(), QSize(18, 18));
            }
        QCOMPARE(i, count);
        if (count == 0)
            return;
        // Each app keeps its button across a rebuild; one that left takes its button along.
        const QList<QToolButton *> before = shown.controller->buttons();
        shown.controller->apps.removeAt(0);
        shown.controller->reload();
        QCOMPARE(shown.controller->buttons(), before.mid(1));
    }
    void button_data()
    {
        QTest::addColumn<Provider>("provider");
        QTest::addColumn<QString>("text");  // empty: an 18 × 18 image-only button
        QTest::addColumn<QString>("drawn"); // "red", "text colour" or "placeholder"
        const auto row = [](const char *name, std::optional<QIcon> icon,
                            std::optional<QString> title, const char *text, const char *drawn) {
            QTest::newRow(name) << Provider([=](const ZelHubApp &) {
                return HubPopoverViewController::StatusInfo{icon, title};
            }) << QString(text) << QString(drawn);
        };
        QIcon mask = redIcon();
        mask.setIsMask(true);
        row("image, no title", redIcon(), {}, "", "red");
        row("template image in the text colour", mask, {}, "", "text colour");
        row("title with outer blanks", redIcon(), u" \t42 \t min  "_qs, " 42 \t min", "red");
        row("no-break spaces are blanks too", redIcon(), u"\u00a0A B\u2003"_qs, " A B", "red");
        row("line breaks are not blanks", redIcon(), u"\nA\n"_qs, " \nA\n", "red");
        row("blank title is no title", {}, u" \t "_qs, "", "placeholder");
        QTest::newRow("no provider") << Provider() << ""
                                     << "placeholder";
    }
    void button()
    {
        QFETCH(Provider, provider);
        QFETCH(QString, text);
        QFETCH(QString, drawn);
        Shown shown(2, provider);
        QToolButton *button = shown.controller->buttons().at(0);
        QCOMPARE(button->text(), text);
        QCOMPARE(button->toolTip(), u"App 0"_qs);
        QCOMPARE(button->height(), 18);
        QCOMPARE(button->toolButtonStyle(),
                 text.isEmpty() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
        if (text.isEmpty())
            QCOMPARE(button->width(), 18);
        else
            QCOMPARE(button->font().pixelSize(), 11);
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
    void click_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("k");
        QTest::newRow("first") << 1 << 0;
        QTest::newRow("last of the first row") << 6 << 4;
        QTest::newRow("alone in the second row") << 6 << 5;
        QTest::newRow("middle of eleven") << 11 << 7;
        QTest::newRow("tag below the apps") << 2 << -1;
        QTest::newRow("tag past the apps") << 2 << 2;
    }
    void click()
    {
        QFETCH(int, count);
        QFETCH(int, k);
        Shown shown(count, {});
        QList<ZelHubApp> chosen;
        shown.controller->onSelect = [&](const ZelHubApp &app) { chosen.append(app); };
        if (k < 0 || k >= count) {
            shown.controller->iconClicked(k);
            QCOMPARE(chosen, QList<ZelHubApp>());
            return;
        }
        QToolButton *button = shown.controller->buttons().at(k);
        QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
        QCOMPARE(chosen, QList<ZelHubApp>{makeApps(count).at(k)});
        QVERIFY(shown.popover.isVisible()); // closing is the owner's
    }
    void keyboard()
    {
        Shown shown(7, {});
        QStringList chosen;
        shown.controller->onSelect = [&](const ZelHubApp &app) { chosen.append(app.id); };
        int closed = 0;
        shown.popover.onDidClose = [&] { ++closed; };
        const auto &buttons = shown.controller->buttons();
        // Opened by a click, the popup holds the focus; the first key acts as if the first
        // button had it.
        QTRY_VERIFY(shown.popover.hasFocus());
        const struct
        {
            Qt::Key key;
            int focus;
        } steps[] = {{Qt::Key_Right, 1}, {Qt::Key_Down, 6},  {Qt::Key_Down, 6},  {Qt::Key_Up, 1},
                     {Qt::Key_Left, 0},  {Qt::Key_Left, 0},  {Qt::Key_Right, 1}, {Qt::Key_Right, 2},
                     {Qt::Key_Right, 3}, {Qt::Key_Right, 4}, {Qt::Key_Down, 6}};
        for (const auto &step : steps) {
            QTest::keyClick(QApplication::focusWidget(), step.key);
            QVERIFY(buttons.at(step.focus)->hasFocus());
            if (step.focus == 1) // a rebuild while open keeps the keyboard where it was
                shown.controller->reload();
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_COMPARE(chosen, QStringList{u"id6"_qs});
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!shown.popover.isVisible());
        QCOMPARE(closed, 1);
    }
    void placement_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QPoint>("expected");
        // A 100 × 60 popup on a 1024 × 768 screen, 4 pixels from the icon.
        QTest::newRow("panel at the top") << QRect(500, 0, 22, 22) << QPoint(461, 26);
        QTest::newRow("panel at the bottom") << QRect(500, 746, 22, 22) << QPoint(461, 682);
        QTest::newRow("kept on screen at the right") << QRect(1000, 0, 22, 22) << QPoint(924, 26);
        QTest::newRow("kept on screen at the left") << QRect(0, 0, 22, 22) << QPoint(0, 26);
        QTest::newRow("a point only") << QRect(300, 10, 1, 1) << QPoint(251, 15);
    }
    void placement()
    {
        QFETCH(QRect, anchor);
        QFETCH(QPoint, expected);
        QCOMPARE(HubPopover::placement(QSize(100, 60), anchor, QRect(0, 0, 1024, 768)), expected);
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("ZEL_CORE_CHILD")) {
        // No GUI application, so no screen: a 16-point image goes at factor 2.
        QCoreApplication app(argc, argv);
        LocalNotificationCenter center;
        TestClient client(&center);
        QObject observer;
        QSize size;
        center.addObserver(&observer, ZelHubProtocol::register_, [&](const ZelNotification &n) {
            size = QImage::fromData(n.userInfo->value("statusImageData").toByteArray()).size();
        });
        client.statusBarImage = quarterImage({16, 16});
        client.start(alpha);
        std::printf("%dx%d\n", size.width(), size.height());
        return 0;
    }
    QApplication app(argc, argv);
    tst_HubRules test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_hubrules.moc"
