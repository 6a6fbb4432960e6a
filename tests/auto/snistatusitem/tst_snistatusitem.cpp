// The StatusNotifierItem backend against a watcher and host of our own in another process,
// on the test's private session bus.
#include <ZelKit/platform/SniStatusItem.h>

#include "SniTestHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTest>

#include <memory>

using Click = ZelStatusItem::Click;
using Button = ZelStatusItem::Button;
Q_DECLARE_METATYPE(std::optional<QPoint>)

namespace {

const QString toolTipText = QStringLiteral("ZelHub — click to open the hub");

QIcon solidIcon(const QColor &colour, int size = 64)
{
    QPixmap pixmap(size, size);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

bool nameOwned(const QString &name)
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

QJsonObject props(SniTestHost &host)
{
    host.send("props");
    const std::optional<QString> line = host.take("props ");
    if (!line)
        return {};
    return QJsonDocument::fromJson(line->mid(6).toUtf8()).object();
}

// An item shown and registered with the host.
struct Shown
{
    std::unique_ptr<SniStatusItem> item;
    QList<Click> clicks;
    QList<bool> availability;
};

} // namespace

class tst_SniStatusItem : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Shown> showWith(SniTestHost &host)
    {
        auto shown = std::make_unique<Shown>();
        shown->item = std::make_unique<SniStatusItem>(QDBusConnection::sessionBus());
        Shown *raw = shown.get();
        shown->item->onClicked = [raw](const Click &click) { raw->clicks << click; };
        shown->item->onAvailabilityChanged = [raw](bool on) { raw->availability << on; };
        shown->item->setIcon(solidIcon(Qt::red));
        shown->item->setToolTip(toolTipText);
        shown->item->setVisible(true);
        if (!host.take("registered " + shown->item->serviceName()))
            return nullptr;
        if (!SniTestHost::waitUntil([raw] { return raw->item->isAvailable(); }))
            return nullptr;
        return shown;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QGuiApplication::setApplicationDisplayName(QStringLiteral("ZelHub"));
        QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    }

    void withoutWatcherNothingIsShown()
    {
        SniStatusItem item(QDBusConnection::sessionBus());
        QVERIFY(item.isHostKnown());
        QVERIFY(!item.isHostPresent());
        item.setVisible(true);
        QVERIFY(!item.isAvailable());
        // Nobody to show it to, so the name that hosts look for is not taken.
        QVERIFY(!nameOwned(item.serviceName()));
        QVERIFY(item.geometry().isEmpty());
    }

    void registersWithWatcher_data()
    {
        QTest::addColumn<bool>("watcherFirst");
        QTest::newRow("watcher already running") << true;
        QTest::newRow("watcher starts after the item") << false;
    }

    void registersWithWatcher()
    {
        QFETCH(bool, watcherFirst);
        SniTestHost host;
        if (watcherFirst)
            QVERIFY(host.start());
        SniStatusItem item(QDBusConnection::sessionBus());
        QList<bool> availability;
        QList<bool> presence;
        item.onAvailabilityChanged = [&](bool on) { availability << on; };
        item.onHostPresenceChanged = [&](bool on) { presence << on; };
        item.setVisible(true);
        if (!watcherFirst) {
            QVERIFY(!item.isAvailable());
            QVERIFY(host.start());
        }
        const std::optional<QString> line = host.take("registered ");
        QVERIFY2(line, qPrintable(host.errors()));
        QCOMPARE(*line, "registered " + item.serviceName() + " /StatusNotifierItem");
        QVERIFY(item.serviceName().startsWith(QStringLiteral("org.kde.StatusNotifierItem-%1-")
                                                  .arg(QCoreApplication::applicationPid())));
        QTRY_VERIFY(item.isAvailable());
        QCOMPARE(availability, QList<bool>{true});
        QCOMPARE(presence.last(), true);
        QVERIFY(item.isHostPresent());
    }

    void exportsProperties()
    {
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        const QJsonObject p = props(host);
        QCOMPARE(p.value("Category").toString(), "ApplicationStatus");
        QCOMPARE(p.value("Id").toString(), "com.brannel.ZelHub");
        QCOMPARE(p.value("Title").toString(), "ZelHub");
        QCOMPARE(p.value("Status").toString(), "Active");
        QCOMPARE(p.value("ItemIsMenu").toBool(true), false);
        QCOMPARE(p.value("Menu").toString(), "/NO_DBUSMENU");
        QCOMPARE(p.value("IconName").toString("x"), QString());
        const QJsonObject toolTip = p.value("ToolTip").toObject();
        QCOMPARE(toolTip.value("title").toString(), toolTipText);
        QCOMPARE(toolTip.value("text").toString("x"), QString());
        QList<int> sizes;
        for (const QJsonValue &pixmap : p.value("IconPixmap").toArray()) {
            const QJsonObject o = pixmap.toObject();
            QCOMPARE(o.value("width").toInt(), o.value("height").toInt());
            QVERIFY(o.value("length_ok").toBool());
            QCOMPARE(o.value("opaque").toInt(),
                     o.value("width").toInt() * o.value("height").toInt());
            sizes << o.value("width").toInt();
        }
        QCOMPARE(sizes, (QList<int>{18, 22, 36, 44}));
    }

    void pixelsTravelAsNetworkOrderArgb_data()
    {
        QTest::addColumn<QIcon>("icon");
        QTest::addColumn<QString>("centre");
        QTest::addColumn<int>("count");
        QTest::newRow("opaque red") << solidIcon(Qt::red) << "ffff0000" << 4;
        QTest::newRow("opaque blue") << solidIcon(Qt::blue) << "ff0000ff" << 4;
        // Qt keeps pixmaps premultiplied; the wire wants straight alpha.
        QTest::newRow("half transparent red")
            << solidIcon(QColor(255, 0, 0, 128)) << "80ff0000" << 4;
        QIcon mask = solidIcon(Qt::red);
        mask.setIsMask(true);
        const QColor text = QGuiApplication::palette().color(QPalette::WindowText);
        QTest::newRow("mask drawn in the text colour")
            << mask << QStringLiteral("ff%1").arg(text.rgb() & 0xffffff, 6, 16, QChar('0')) << 4;
        // A pixmap icon smaller than the offered sizes is still offered at every size.
        QTest::newRow("small pixmap icon") << solidIcon(Qt::green, 8) << "ff00ff00" << 4;
        QTest::newRow("no icon") << QIcon() << QString() << 0;
    }

    void pixelsTravelAsNetworkOrderArgb()
    {
        QFETCH(QIcon, icon);
        QFETCH(QString, centre);
        QFETCH(int, count);
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        shown->item->setIcon(icon);
        QVERIFY(host.take("signal NewIcon"));
        const QJsonArray pixmaps = props(host).value("IconPixmap").toArray();
        QCOMPARE(pixmaps.size(), count);
        for (const QJsonValue &pixmap : pixmaps) {
            QVERIFY(pixmap.toObject().value("length_ok").toBool());
            // Hue survives exactly, alpha within rounding of the premultiplied source.
            const QString got = pixmap.toObject().value("centre").toString();
            QCOMPARE(got.mid(2), centre.mid(2));
            QVERIFY2(qAbs(got.left(2).toInt(nullptr, 16) - centre.left(2).toInt(nullptr, 16)) <= 1,
                     qPrintable(got));
        }
    }

    void interfaceAsHostsExpectIt()
    {
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        host.send("introspect");
        const std::optional<QString> line = host.take("introspect ");
        QVERIFY(line);
        const QJsonObject found = QJsonDocument::fromJson(line->mid(11).toUtf8()).object();
        const QList<std::pair<QString, QString>> expected = {
            {"property IconPixmap", "a(iiay)"},
            {"property ToolTip", "(sa(iiay)ss)"},
            {"property ItemIsMenu", "b"},
            {"property Menu", "o"},
            {"property Category", "s"},
            {"property Id", "s"},
            {"property Title", "s"},
            {"property Status", "s"},
            {"method Activate", "ii"},
            {"method SecondaryActivate", "ii"},
            {"method ContextMenu", "ii"},
            {"method Scroll", "is"},
            {"signal NewIcon", ""},
            {"signal NewToolTip", ""},
            {"signal NewTitle", ""},
            {"signal NewStatus", "s"},
        };
        for (const auto &[key, type] : expected) {
            QVERIFY2(found.contains(key), qPrintable(key));
            QCOMPARE(found.value(key).toString(), type);
        }
    }

    void changeSignals()
    {
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        shown->item->setToolTip("Something else");
        QVERIFY(host.take("signal NewToolTip"));
        QCOMPARE(props(host).value("ToolTip").toObject().value("title").toString(),
                 "Something else");
        shown->item->setIcon(solidIcon(Qt::blue));
        QVERIFY(host.take("signal NewIcon"));
        QGuiApplication::setApplicationDisplayName("ZelHub Test");
        QVERIFY(host.take("signal NewTitle"));
        QCOMPARE(props(host).value("Title").toString(), "ZelHub Test");
        QGuiApplication::setApplicationDisplayName("ZelHub");
        QVERIFY(host.take("signal NewTitle"));
    }

    void hostClicks_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("button");
        QTest::addColumn<std::optional<QPoint>>("position");
        QTest::newRow("Activate is a left click at the host's position")
            << "call Activate 812 24" << int(Button::Left)
            << std::optional<QPoint>(QPoint(812, 24));
        QTest::newRow("ContextMenu is a right click at the host's position")
            << "call ContextMenu 812 24" << int(Button::Right)
            << std::optional<QPoint>(QPoint(812, 24));
        QTest::newRow("SecondaryActivate is a left click")
            << "call SecondaryActivate 300 590" << int(Button::Left)
            << std::optional<QPoint>(QPoint(300, 590));
        QTest::newRow("0,0 means the host does not know")
            << "call Activate 0 0" << int(Button::Left) << std::optional<QPoint>();
        QTest::newRow("ContextMenu without position")
            << "call ContextMenu 0 0" << int(Button::Right) << std::optional<QPoint>();
        QTest::newRow("left screen edge is a position")
            << "call Activate 0 24" << int(Button::Left) << std::optional<QPoint>(QPoint(0, 24));
        QTest::newRow("screen left of the primary one")
            << "call ContextMenu -1200 30" << int(Button::Right)
            << std::optional<QPoint>(QPoint(-1200, 30));
        QTest::newRow("extreme coordinates")
            << "call Activate -2147483648 2147483647" << int(Button::Left)
            << std::optional<QPoint>(QPoint(-2147483647 - 1, 2147483647));
    }

    void hostClicks()
    {
        QFETCH(QString, call);
        QFETCH(int, button);
        QFETCH(std::optional<QPoint>, position);
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        host.send(call);
        const std::optional<QString> reply = host.take("reply ");
        QVERIFY(reply);
        QVERIFY2(reply->contains(" ok "), qPrintable(*reply));
        QTRY_COMPARE(shown->clicks.size(), 1);
        QCOMPARE(int(shown->clicks.first().button), button);
        QCOMPARE(shown->clicks.first().position, position);
        // Nothing held on the test's (offscreen) keyboard.
        QVERIFY(!(shown->clicks.first().modifiers & Qt::ControlModifier));
    }

    void malformedCallsAreRefused_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("error");
        QTest::newRow("Activate with texts") << "raw Activate ss 812 24"
                                             << "org.freedesktop.DBus.Error.UnknownMethod";
        QTest::newRow("Activate without arguments") << "raw Activate -"
                                                    << "org.freedesktop.DBus.Error.UnknownMethod";
        QTest::newRow("ContextMenu with one argument")
            << "raw ContextMenu s 812"
            << "org.freedesktop.DBus.Error.UnknownMethod";
        QTest::newRow("unknown method") << "raw Explode -"
                                        << "org.freedesktop.DBus.Error.UnknownMethod";
        QTest::newRow("Scroll is accepted and does nothing") << "call Scroll 120 vertical"
                                                             << "";
        QTest::newRow("Scroll with a strange orientation") << "call Scroll -5 sideways\u00e9"
                                                           << "";
    }

    void malformedCallsAreRefused()
    {
        QFETCH(QString, call);
        QFETCH(QString, error);
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        host.send(call);
        const std::optional<QString> reply = host.take("reply ");
        QVERIFY(reply);
        if (error.isEmpty())
            QVERIFY2(reply->contains(" ok "), qPrintable(*reply));
        else
            QVERIFY2(reply->endsWith(" error " + error), qPrintable(*reply));
        // A good call afterwards gives exactly one click: the bad one gave none.
        host.send("call Activate 5 6");
        QVERIFY(host.take("reply Activate ok"));
        QTRY_COMPARE(shown->clicks.size(), 1);
        QCOMPARE(shown->clicks.first().position, std::optional<QPoint>(QPoint(5, 6)));
        QVERIFY(shown->item->isAvailable());
    }

    void hostIsAnsweredBeforeTheClickRuns()
    {
        // The hub's menu runs its own event loop until dismissed; the host must not wait
        // for that.
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        bool replyWhileHandling = false;
        shown->item->onClicked = [&](const Click &) {
            replyWhileHandling = host.take("reply ContextMenu ok", 5000).has_value();
        };
        host.send("call ContextMenu 812 24");
        QTRY_VERIFY(replyWhileHandling);
    }

    void watcherGoesAndComesBack_data()
    {
        QTest::addColumn<bool>("crash");
        QTest::newRow("watcher quits") << false;
        QTest::newRow("watcher crashes") << true;
    }

    void watcherGoesAndComesBack()
    {
        QFETCH(bool, crash);
        auto host = std::make_unique<SniTestHost>();
        QVERIFY(host->start());
        auto shown = showWith(*host);
        QVERIFY(shown);
        QList<bool> presence;
        shown->item->onHostPresenceChanged = [&](bool on) { presence << on; };
        crash ? host->kill() : host->quit();
        QTRY_VERIFY(!shown->item->isAvailable());
        QVERIFY(!shown->item->isHostPresent());
        QCOMPARE(shown->availability, (QList<bool>{true, false}));
        QCOMPARE(presence, QList<bool>{false});

        host = std::make_unique<SniTestHost>();
        QVERIFY(host->start());
        QVERIFY(host->take("registered " + shown->item->serviceName()));
        QTRY_VERIFY(shown->item->isAvailable());
        QCOMPARE(shown->availability, (QList<bool>{true, false, true}));
        QCOMPARE(props(*host).value("ToolTip").toObject().value("title").toString(), toolTipText);
        host->send("call Activate 812 24");
        QTRY_COMPARE(shown->clicks.size(), 1);
    }

    void hostComesAndGoesAtTheWatcher()
    {
        SniTestHost host;
        QVERIFY(host.start({"--no-host"}));
        SniStatusItem item(QDBusConnection::sessionBus());
        QList<bool> presence;
        item.onHostPresenceChanged = [&](bool on) { presence << on; };
        item.setVisible(true);
        QTRY_VERIFY(item.isHostKnown());
        QVERIFY(host.take("registered " + item.serviceName()));
        QVERIFY(!item.isHostPresent());
        QVERIFY(!item.isAvailable());
        host.send("host on");
        QTRY_VERIFY(item.isAvailable());
        QVERIFY(item.isHostPresent());
        host.send("host off");
        QTRY_VERIFY(!item.isAvailable());
        QCOMPARE(presence.last(), false);
        // The watcher still knows the item, so a host that comes shows it at once.
        host.send("host on");
        QTRY_VERIFY(item.isAvailable());
        QVERIFY(!host.has("registered "));
    }

    void hidingGivesBackTheName()
    {
        SniTestHost host;
        QVERIFY(host.start());
        auto shown = showWith(host);
        QVERIFY(shown);
        const QString name = shown->item->serviceName();
        QVERIFY(nameOwned(name));
        shown->item->setVisible(false);
        QVERIFY(!shown->item->isAvailable());
        QVERIFY(host.take("unregistered " + name));
        QVERIFY(!nameOwned(name));
        shown->item->setVisible(true);
        QVERIFY(host.take("registered " + name));
        QTRY_VERIFY(shown->item->isAvailable());
        QCOMPARE(shown->availability, (QList<bool>{true, false, true}));
    }

    void refusedRegistration()
    {
        SniTestHost host;
        QVERIFY(host.start({"--refuse"}));
        SniStatusItem item(QDBusConnection::sessionBus());
        item.setVisible(true);
        QVERIFY(host.take("refused " + item.serviceName()));
        QTRY_VERIFY(item.isHostKnown());
        // The host is there, but it does not show us.
        QVERIFY(item.isHostPresent());
        QVERIFY(!item.isAvailable());
    }

    void silentWatcherMeansNoHost()
    {
        // A hung watcher must not keep the hub from falling back for long.
        SniTestHost host;
        QVERIFY(host.start({"--silent"}));
        SniStatusItem item(QDBusConnection::sessionBus());
        item.setVisible(true);
        QVERIFY(!item.isHostKnown());
        QTRY_VERIFY_WITH_TIMEOUT(item.isHostKnown(), 15000);
        QVERIFY(!item.isHostPresent());
        QVERIFY(!item.isAvailable());
    }

    void itemGoneBeforeTheWatcherAnswers()
    {
        SniTestHost host;
        QVERIFY(host.start({"--silent"}));
        {
            SniStatusItem item(QDBusConnection::sessionBus());
            item.setVisible(true);
            QVERIFY(host.take("unanswered Get"));
        }
        // The late answers find nothing; a new item works.
        host.quit();
        SniTestHost second;
        QVERIFY(second.start());
        auto shown = showWith(second);
        QVERIFY(shown);
    }
};

QTEST_MAIN(tst_SniStatusItem)
#include "tst_snistatusitem.moc"
