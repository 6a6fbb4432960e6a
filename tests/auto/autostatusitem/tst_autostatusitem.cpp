// The switching status item: our StatusNotifierItem while a watcher with a host is on the
// bus, the other backend otherwise, with a watcher of our own coming and going.
#include <ZelKit/platform/AutoStatusItem.h>
#include <ZelKit/platform/SniStatusItem.h>

#include "SniTestHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QTest>

#include <memory>

using Click = ZelStatusItem::Click;
using Button = ZelStatusItem::Button;

namespace {

// Stands in for the system tray icon, which has no tray under the offscreen platform.
class FakeTray : public ZelStatusItem
{
public:
    using ZelStatusItem::ZelStatusItem;
    bool isAvailable() const override { return visible && trayPresent; }
    void setIcon(const QIcon &value) override { icon = value; }
    void setToolTip(const QString &text) override { toolTip = text; }
    void setVisible(bool value) override
    {
        const bool before = isAvailable();
        visible = value;
        if (before != isAvailable())
            reportAvailability(isAvailable());
    }
    QRect geometry() const override { return visible ? QRect(700, 0, 22, 22) : QRect(); }
    void click(Button button) { reportClick({button, Qt::NoModifier, std::nullopt}); }

    QIcon icon;
    QString toolTip;
    bool visible = false;
    bool trayPresent = true;
};

bool nameOwned(const QString &name)
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

struct Fixture
{
    Fixture()
    {
        item = std::make_unique<AutoStatusItem>(QDBusConnection::sessionBus(),
                                                [this](QObject *parent) {
                                                    ++made;
                                                    fake = new FakeTray(parent);
                                                    return fake;
                                                });
        item->onClicked = [this](const Click &click) { clicks << click; };
        item->onAvailabilityChanged = [this](bool on) { availability << on; };
    }
    void show()
    {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::red);
        item->setIcon(QIcon(pixmap));
        item->setToolTip(QStringLiteral("ZelHub — click to open the hub"));
        item->setVisible(true);
    }
    SniStatusItem *sni() const { return item->statusNotifierItem(); }
    bool usesTray() const { return fake && item->activeBackend() == fake; }

    std::unique_ptr<AutoStatusItem> item;
    FakeTray *fake = nullptr;
    int made = 0;
    QList<Click> clicks;
    QList<bool> availability;
};

} // namespace

class tst_AutoStatusItem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void withoutWatcherTheTrayIsUsed()
    {
        Fixture f;
        f.show();
        QVERIFY(f.fake);
        QCOMPARE(f.item->activeBackend(), f.fake);
        QVERIFY(f.fake->visible);
        QCOMPARE(f.fake->toolTip, "ZelHub — click to open the hub");
        QVERIFY(!f.fake->icon.isNull());
        QVERIFY(f.item->isAvailable());
        QCOMPARE(f.item->geometry(), QRect(700, 0, 22, 22));
        QCOMPARE(f.availability, QList<bool>{true});
        QVERIFY(!nameOwned(f.sni()->serviceName()));
        f.fake->click(Button::Right);
        QCOMPARE(f.clicks.size(), 1);
        QCOMPARE(f.clicks.first().button, Button::Right);
    }

    void withWatcherTheTrayIsNeverMade()
    {
        // Made while a host is there, the system tray icon would show a second icon.
        SniTestHost host;
        QVERIFY(host.start());
        Fixture f;
        f.show();
        QCOMPARE(f.item->activeBackend(), nullptr); // the watcher has not answered yet
        QVERIFY(host.take("registered " + f.sni()->serviceName()));
        QTRY_VERIFY(f.item->isAvailable());
        QCOMPARE(f.item->activeBackend(), f.sni());
        QCOMPARE(f.made, 0);
        QVERIFY(f.item->geometry().isEmpty());
        QCOMPARE(f.availability, QList<bool>{true});
        host.send("call Activate 812 24");
        QTRY_COMPARE(f.clicks.size(), 1);
        QCOMPARE(f.clicks.first().button, Button::Left);
        QCOMPARE(f.clicks.first().position, std::optional<QPoint>(QPoint(812, 24)));
    }

    void followsTheWatcher_data()
    {
        QTest::addColumn<bool>("crash");
        QTest::newRow("watcher quits") << false;
        QTest::newRow("watcher crashes") << true;
    }

    void followsTheWatcher()
    {
        QFETCH(bool, crash);
        Fixture f;
        f.show();
        QCOMPARE(f.item->activeBackend(), f.fake);

        auto host = std::make_unique<SniTestHost>();
        QVERIFY(host->start());
        QVERIFY(host->take("registered " + f.sni()->serviceName()));
        QTRY_COMPARE(f.item->activeBackend(), f.sni());
        QVERIFY(!f.fake->visible);
        QTRY_VERIFY(f.item->isAvailable());
        // What was set before the switch is what the host sees.
        host->send("props");
        const std::optional<QString> props = host->take("props ");
        QVERIFY(props);
        const QJsonObject p = QJsonDocument::fromJson(props->mid(6).toUtf8()).object();
        QCOMPARE(p.value("ToolTip").toObject().value("title").toString(),
                 "ZelHub — click to open the hub");

        crash ? host->kill() : host->quit();
        QTRY_VERIFY(f.usesTray());
        QVERIFY(f.fake->visible);
        QVERIFY(f.item->isAvailable());
        QVERIFY(!nameOwned(f.sni()->serviceName()));

        host = std::make_unique<SniTestHost>();
        QVERIFY(host->start());
        QVERIFY(host->take("registered " + f.sni()->serviceName()));
        QTRY_COMPARE(f.item->activeBackend(), f.sni());
        QVERIFY(!f.fake->visible);
        QTRY_VERIFY(f.item->isAvailable());
        QCOMPARE(f.made, 1); // one tray icon for the whole run
        host->send("call ContextMenu 812 24");
        QTRY_COMPARE(f.clicks.size(), 1);
        QCOMPARE(f.clicks.first().button, Button::Right);
    }

    void watcherWithoutHost()
    {
        SniTestHost host;
        QVERIFY(host.start({"--no-host"}));
        Fixture f;
        f.show();
        QTRY_VERIFY(f.usesTray());
        QVERIFY(f.fake->visible);
        host.send("host on");
        QTRY_COMPARE(f.item->activeBackend(), f.sni());
        QVERIFY(!f.fake->visible);
        QVERIFY(host.take("registered " + f.sni()->serviceName()));
        QTRY_VERIFY(f.item->isAvailable());
        host.send("host off");
        QTRY_VERIFY(f.usesTray());
        QVERIFY(f.fake->visible);
    }

    void hungWatcherFallsBack()
    {
        SniTestHost host;
        QVERIFY(host.start({"--silent"}));
        Fixture f;
        f.show();
        QCOMPARE(f.item->activeBackend(), nullptr);
        QVERIFY(!f.item->isAvailable());
        QTRY_VERIFY_WITH_TIMEOUT(f.usesTray(), 15000);
        QVERIFY(f.item->isAvailable());
    }

    void clicksOfTheHiddenBackendAreDropped()
    {
        SniTestHost host;
        QVERIFY(host.start({"--no-host"}));
        Fixture f;
        f.show();
        QTRY_VERIFY(f.usesTray());
        // Another peer calling the item directly while the tray icon is in use.
        host.send("host on");
        QTRY_COMPARE(f.item->activeBackend(), f.sni());
        f.fake->click(Button::Left);
        QVERIFY(f.clicks.isEmpty());
        host.send("call Activate 10 20");
        QTRY_COMPARE(f.clicks.size(), 1);
        QCOMPARE(f.clicks.first().position, std::optional<QPoint>(QPoint(10, 20)));
    }

    void hiddenStaysHiddenAcrossSwitches()
    {
        Fixture f;
        f.show();
        f.item->setVisible(false);
        QVERIFY(!f.fake->visible);
        QVERIFY(!f.item->isAvailable());
        SniTestHost host;
        QVERIFY(host.start());
        QTRY_COMPARE(f.item->activeBackend(), f.sni());
        QVERIFY(!f.fake->visible);
        QVERIFY(!nameOwned(f.sni()->serviceName()));
        QVERIFY(!host.has("registered "));
        f.item->setVisible(true);
        QVERIFY(host.take("registered " + f.sni()->serviceName()));
        QTRY_VERIFY(f.item->isAvailable());
        QCOMPARE(f.availability, (QList<bool>{true, false, true}));
    }

    void noTrayAtAll()
    {
        // Neither a watcher nor an X11 tray: the item exists, but has no button.
        Fixture f;
        f.show();
        f.fake->setVisible(false);
        f.fake->trayPresent = false;
        f.fake->setVisible(true);
        QVERIFY(!f.item->isAvailable());
        QCOMPARE(f.availability, (QList<bool>{true, false}));
    }
};

QTEST_MAIN(tst_AutoStatusItem)
#include "tst_autostatusitem.moc"
