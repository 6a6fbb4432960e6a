#include <ZelKit/platform/DBusNotificationCenter.h>
#include <ZelKit/platform/LocalNotificationCenter.h>

#include "BusMonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QProcess>
#include <QTest>

#include <functional>

#include <memory>

namespace {

const QString name = QStringLiteral("com.brannel.zeltest.ping");

bool emitSignal(const QStringList &args)
{
    QStringList all{"emit", "--session", "--object-path", "/com/brannel/zeltest", "--signal", name};
    all += args;
    return QProcess::execute("gdbus", all) == 0;
}

// Subscriptions reach the bus daemon asynchronously; emit until one arrives so that
// the signal under test cannot race the match rule.
bool primed(const std::function<bool()> &seen)
{
    for (int i = 0; i < 100; ++i) {
        if (!emitSignal({"{'primer': <'yes'>}"}))
            return false;
        if (QTest::qWaitFor(seen, 200))
            return true;
    }
    return false;
}

} // namespace

class tst_DistributedNotificationCenter : public QObject
{
    Q_OBJECT
private slots:
    void wireFormatOfPosts();
    void foreignSignals_data();
    void foreignSignals();
    void ownPostsComeBack();
    void destroyedObserverIsNeverCalled();
    void removeObserverStopsEveryName();
    void observerRemovedDuringDeliveryIsSkipped();
    void unpostableNameIsRefused();
};

void tst_DistributedNotificationCenter::wireFormatOfPosts()
{
    BusMonitor monitor("com.brannel.zeltest");
    QVERIFY(monitor.start());
    DBusNotificationCenter center(QDBusConnection::sessionBus());
    center.postNotification(name, std::nullopt);
    center.postNotification(name, QVariantMap{});
    center.postNotification(name,
                            QVariantMap{{"text", "hello"}, {"bytes", QByteArray("\x01\x02", 2)}});
    const auto seen = monitor.waitFor(3);
    QCOMPARE(seen.size(), 3);
    for (const auto &s : seen) {
        QCOMPARE(s.path, u"/com/brannel/zeltest");
        QCOMPARE(s.interface, u"com.brannel.zeltest");
        QCOMPARE(s.member, u"ping");
    }
    QCOMPARE(seen[0].argumentCount, 0);
    QCOMPARE(seen[1].argumentCount, 1);
    QVERIFY(seen[1].dictionary);
    QVERIFY(seen[1].entries.isEmpty());
    QCOMPARE(seen[2].argumentCount, 1);
    QCOMPARE(seen[2].entries.value("text"), u"string \"hello\"");
    QVERIFY2(seen[2].entries.value("bytes").startsWith("array of bytes"),
             qPrintable(seen[2].entries.value("bytes")));
}

void tst_DistributedNotificationCenter::foreignSignals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("delivered");
    QTest::addColumn<bool>("hasUserInfo");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("valueType");
    QTest::newRow("no arguments") << QStringList{} << true << false << "" << 0;
    QTest::newRow("text value") << QStringList{"{'appID': <'alpha'>}"} << true << true << "appID"
                                << int(QMetaType::QString);
    QTest::newRow("byte value") << QStringList{"{'data': <@ay [1, 2, 3]>}"} << true << true
                                << "data" << int(QMetaType::QByteArray);
    QTest::newRow("number value arrives as a number")
        << QStringList{"{'appID': <42>}"} << true << true << "appID" << int(QMetaType::Int);
    QTest::newRow("object path is not text")
        << QStringList{"{'appID': <objectpath '/x'>}"} << true << true << "appID"
        << int(qMetaTypeId<QDBusObjectPath>());
    QTest::newRow("empty dictionary") << QStringList{"@a{sv} {}"} << true << true << "" << 0;
    QTest::newRow("a string argument") << QStringList{"'alpha'"} << false << false << "" << 0;
    QTest::newRow("two dictionaries")
        << QStringList{"@a{sv} {}", "@a{sv} {}"} << false << false << "" << 0;
    QTest::newRow("string-to-string dictionary")
        << QStringList{"{'appID': 'alpha'}"} << false << false << "" << 0;
}

void tst_DistributedNotificationCenter::foreignSignals()
{
    QFETCH(QStringList, args);
    QFETCH(bool, delivered);
    QFETCH(bool, hasUserInfo);
    QFETCH(QString, key);
    QFETCH(int, valueType);

    DBusNotificationCenter center(QDBusConnection::sessionBus());
    QObject observer;
    QList<ZelNotification> received;
    center.addObserver(&observer, name, [&](const ZelNotification &n) { received.append(n); });
    QVERIFY(primed([&] { return !received.isEmpty(); }));
    received.clear();

    QVERIFY(emitSignal(args));
    // A well-formed sentinel proves a dropped signal was really seen and dropped.
    QVERIFY(emitSignal({"{'sentinel': <'yes'>}"}));
    QTRY_VERIFY(!received.isEmpty() && received.last().userInfo &&
                received.last().userInfo->contains("sentinel"));
    QCOMPARE(received.size(), delivered ? 2 : 1);
    if (!delivered)
        return;
    const ZelNotification &n = received.first();
    QCOMPARE(n.name, name);
    QCOMPARE(n.userInfo.has_value(), hasUserInfo);
    if (!key.isEmpty())
        QCOMPARE(n.userInfo->value(key).typeId(), valueType);
}

void tst_DistributedNotificationCenter::ownPostsComeBack()
{
    DBusNotificationCenter center(QDBusConnection::sessionBus());
    QObject observer;
    int count = 0;
    center.addObserver(&observer, name, [&](const ZelNotification &) { ++count; });
    center.postNotification(name, QVariantMap{{"k", "v"}});
    QTRY_COMPARE(count, 1);
}

void tst_DistributedNotificationCenter::destroyedObserverIsNeverCalled()
{
    DBusNotificationCenter center(QDBusConnection::sessionBus());
    QObject keeper;
    int keeperCount = 0;
    center.addObserver(&keeper, name, [&](const ZelNotification &) { ++keeperCount; });
    int goneCount = 0;
    {
        auto gone = std::make_unique<QObject>();
        center.addObserver(gone.get(), name, [&](const ZelNotification &) { ++goneCount; });
    }
    QVERIFY(primed([&] { return keeperCount > 0; }));
    keeperCount = 0;
    QVERIFY(emitSignal({}));
    QTRY_COMPARE(keeperCount, 1);
    QCOMPARE(goneCount, 0);

    LocalNotificationCenter local;
    {
        auto gone = std::make_unique<QObject>();
        local.addObserver(gone.get(), name, [&](const ZelNotification &) { ++goneCount; });
    }
    local.postNotification(name, std::nullopt);
    QCOMPARE(goneCount, 0);
}

void tst_DistributedNotificationCenter::removeObserverStopsEveryName()
{
    LocalNotificationCenter center;
    QObject observer;
    int count = 0;
    center.addObserver(&observer, "a.b.one", [&](const ZelNotification &) { ++count; });
    center.addObserver(&observer, "a.b.two", [&](const ZelNotification &) { ++count; });
    center.postNotification("a.b.one", std::nullopt);
    center.postNotification("a.b.two", std::nullopt);
    QCOMPARE(count, 2);
    center.removeObserver(&observer);
    center.postNotification("a.b.one", std::nullopt);
    center.postNotification("a.b.two", std::nullopt);
    QCOMPARE(count, 2);
}

void tst_DistributedNotificationCenter::observerRemovedDuringDeliveryIsSkipped()
{
    LocalNotificationCenter center;
    auto first = std::make_unique<QObject>();
    auto second = std::make_unique<QObject>();
    int secondCount = 0;
    center.addObserver(first.get(), name, [&](const ZelNotification &) { second.reset(); });
    center.addObserver(second.get(), name, [&](const ZelNotification &) { ++secondCount; });
    center.postNotification(name, std::nullopt);
    QCOMPARE(secondCount, 0);
}

void tst_DistributedNotificationCenter::unpostableNameIsRefused()
{
    BusMonitor monitor("com.brannel.zeltest");
    QVERIFY(monitor.start());
    DBusNotificationCenter center(QDBusConnection::sessionBus());
    center.postNotification("com.brannel.zeltest.not-a-member", QVariantMap{});
    center.postNotification("nodots", QVariantMap{});
    center.postNotification(name, std::nullopt); // sentinel
    const auto seen = monitor.waitFor(1);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().member, u"ping");
}

QTEST_GUILESS_MAIN(tst_DistributedNotificationCenter)
#include "tst_distributednotificationcenter.moc"
