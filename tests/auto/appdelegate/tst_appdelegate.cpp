// The hub's delegate with a real registry server on the test's private bus; dbus-monitor
// witnesses what the hub posts. Only the tray icon is a stand-in.
#include "AppDelegate.h"
#include "BusMonitor.h"
#include "HubPopover.h"
#include "HubPopoverViewController.h"

#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QStyleHints>
#include <QTest>
#include <QToolButton>

namespace {

class FakeStatusItem : public ZelStatusItem
{
public:
    using ZelStatusItem::ZelStatusItem;
    bool isAvailable() const override { return available; }
    void setIcon(const QIcon &value) override { icon = value; }
    void setToolTip(const QString &text) override { toolTip = text; }
    void setVisible(bool value) override { visible = value; }
    QRect geometry() const override { return {979, 1, 22, 22}; }
    void click(Button button, Qt::KeyboardModifiers modifiers = {})
    {
        reportClick({button, modifiers, std::nullopt, {}, false});
    }

    bool available = true;
    QIcon icon;
    QString toolTip;
    bool visible = false;
};

using Protocol = ZelHubProtocol;
using Button = ZelStatusItem::Button;

void post(const QString &name, const QVariantMap &info = {})
{
    DistributedNotificationCenter::defaultCenter()->postNotification(name, info);
}

void postRegister(const QString &id, const QString &bundleID = {})
{
    QVariantMap info{{Protocol::keyAppID, id}, {Protocol::keyAppName, id}};
    if (!bundleID.isEmpty())
        info.insert(Protocol::keyBundleID, bundleID);
    post(Protocol::register_, info);
}

// The fake icon's bottom centre, y counted upward from the primary screen's bottom edge.
QMap<QString, QString> iconAnchor()
{
    const int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    return {{Protocol::keyAnchorX, "string \"990.0\""},
            {Protocol::keyAnchorY, QStringLiteral("string \"%1.0\"").arg(screenHeight - 23)}};
}

bool storedHidden()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "com.brannel.ZelHub");
    return settings.value("ZelHub.iconsHidden").toBool();
}

struct Hub
{
    explicit Hub(bool hidden = false)
    {
        QSettings(QSettings::IniFormat, QSettings::UserScope, "com.brannel.ZelHub")
            .setValue("ZelHub.iconsHidden", hidden);
        monitor.start();
        delegate = std::make_unique<AppDelegate>(
            [this](QObject *parent) { return item = new FakeStatusItem(parent); });
        delegate->applicationDidFinishLaunching();
    }
    QMenu *menu() const { return delegate->contextMenu(); }
    HubPopover *popup() const { return delegate->bubble(); }
    // The members seen on the bus, once `member` came `count` times; `seenSignals` keeps them.
    QStringList seen(const QString &member, int count = 1)
    {
        QStringList members;
        QDeadlineTimer deadline(20000);
        while (members.count(member) < count && !deadline.hasExpired()) {
            seenSignals = monitor.waitFor(int(members.size()) + 1, 200);
            members.clear();
            for (const auto &signal : seenSignals)
                members.append(signal.member);
        }
        return members;
    }
    BusMonitor monitor{QStringLiteral("com.brannel.zelhub")};
    QList<BusMonitor::Signal> seenSignals;
    std::unique_ptr<AppDelegate> delegate;
    FakeStatusItem *item = nullptr;
};

} // namespace

class tst_AppDelegate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QApplication::setApplicationName(QStringLiteral("ZelHub"));
        QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    }
    void launchShowsTheGlyph()
    {
        Hub hub;
        QVERIFY(hub.item->visible);
        QCOMPARE(hub.item->toolTip, QStringLiteral("ZelHub — click to open the hub"));
        // Crisp at both ratios: drawn at the device size, not scaled from another.
        for (const qreal ratio : {1.0, 2.0}) {
            const QImage image = hub.item->icon.pixmap(QSize(18, 18), ratio).toImage();
            QCOMPARE(image.size(), QSize(18, 18) * ratio);
            int covered = 0;
            for (int i = 0; i < image.width() * image.height(); ++i)
                covered += qAlpha(image.pixel(i % image.width(), i / image.width())) > 128;
            // Nine 3.6-point squares cover about 36 % of the image.
            const double share = double(covered) / (image.width() * image.height());
            QVERIFY2(share > 0.25 && share < 0.45, qPrintable(QString::number(share)));
            // Turned, so a corner square's outer corner is left empty.
            QCOMPARE(qAlpha(image.pixel(int(2 * ratio), int(2 * ratio))), 0);
        }
        // A new palette: the glyph follows without a restart.
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::WindowText, Qt::yellow);
        QApplication::setPalette(palette);
        QTRY_COMPARE(hub.item->icon.pixmap(18).toImage().pixelColor(9, 9), QColor(Qt::yellow));
    }

    void clickRule_data()
    {
        // Gestures in order, each well apart from the last unless a double click: control
        // and shift are left clicks with the modifier, none the action without a click,
        // outside a press beside the popup that closes it, rightOnIcon a right press on the
        // icon while the popup holds the pointer.
        QTest::addColumn<QString>("gestures");
        QTest::addColumn<bool>("popup");
        QTest::addColumn<bool>("menu");
        QTest::newRow("left click opens the popup") << "left" << true << false;
        QTest::newRow("left click again closes it") << "left left" << false << false;
        QTest::newRow("a double click leaves it open") << "double" << true << false;
        QTest::newRow("right click opens the menu") << "right" << false << true;
        QTest::newRow("control-click opens the menu") << "control" << false << true;
        QTest::newRow("shift-click opens the popup") << "shift" << true << false;
        QTest::newRow("action without a click opens the popup") << "none" << true << false;
        QTest::newRow("the closing click is taken once") << "left outside left" << false << false;
        QTest::newRow("the click after it opens it") << "left outside left left" << true << false;
        QTest::newRow("after the menu a click opens it")
            << "left outside right closeMenu left" << true << false;
        QTest::newRow("right press on the icon over the popup")
            << "left rightOnIcon" << false << true;
    }
    void clickRule()
    {
        QFETCH(QString, gestures);
        QFETCH(bool, popup);
        QFETCH(bool, menu);
        Hub hub;
        QStyleHints *hints = QGuiApplication::styleHints();
        const int interval = hints->mouseDoubleClickInterval();
        const QMap<QString, Qt::KeyboardModifiers> left{{"left", {}},
                                                        {"double", {}},
                                                        {"control", Qt::ControlModifier},
                                                        {"shift", Qt::ShiftModifier}};
        for (const QString &gesture : gestures.split(u' ')) {
            hints->setMouseDoubleClickInterval(gesture == u"double" ? interval : 0);
            if (left.contains(gesture))
                hub.item->click(Button::Left, left.value(gesture));
            if (gesture == u"double")
                hub.item->click(Button::Left);
            else if (gesture == u"right")
                hub.item->click(Button::Right);
            else if (gesture == u"none")
                hub.delegate->statusClicked(std::nullopt);
            else if (gesture == u"closeMenu")
                hub.menu()->close();
            else if (gesture == u"outside") {
                QTest::mousePress(hub.popup(), Qt::LeftButton, {}, QPoint(-8, -8));
                QTRY_VERIFY(!hub.popup()->isVisible());
            } else if (gesture == u"rightOnIcon")
                QTest::mousePress(hub.popup(), Qt::RightButton, {},
                                  hub.popup()->mapFromGlobal(QPoint(990, 12)));
            QTRY_VERIFY(hub.popup()->isVisible() == hub.delegate->bubbleOpen());
        }
        hints->setMouseDoubleClickInterval(interval);
        QTRY_COMPARE(hub.menu()->isVisible(), menu);
        QCOMPARE(hub.delegate->bubbleOpen(), popup);
        QCOMPARE(hub.popup()->isVisible(), popup);
    }

    void menu_data()
    {
        QTest::addColumn<int>("apps");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QString>("countLine");
        QTest::newRow("no apps") << 0 << false << "No Zel apps running";
        QTest::newRow("one app") << 1 << false << "1 Zel app";
        QTest::newRow("two apps") << 2 << false << "2 Zel apps";
        QTest::newRow("twelve apps, hidden") << 12 << true << "12 Zel apps";
    }
    void menu()
    {
        QFETCH(int, apps);
        QFETCH(bool, hidden);
        QFETCH(QString, countLine);
        const QString toggle = hidden ? "Show Zel Icons" : "Hide Zel Icons";
        Hub hub(hidden);
        for (int i = 0; i < apps; ++i)
            postRegister(QStringLiteral("app%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(hub.delegate->bubbleVC()->buttons().size(), apps, 20000);

        hub.item->click(Button::Right);
        QStringList texts, enabled;
        for (const QAction *action : hub.menu()->actions()) {
            texts << action->text();
            enabled << (action->isEnabled() && !action->isSeparator() ? "on" : "off");
        }
        QCOMPARE(texts, (QStringList{"ZelHub", "", countLine, toggle, "", "Quit ZelHub"}));
        QCOMPARE(enabled, (QStringList{"off", "off", "off", "on", "off", "on"}));
        QCOMPARE(hub.menu()->actions().last()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    }

    void hiddenIcons_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::newRow("at the icon") << true;
        QTest::newRow("without a tray, no anchor") << false;
    }
    void hiddenIcons()
    {
        QFETCH(bool, tray);
        Hub hub;
        hub.item->available = tray;
        hub.seen("discover");
        QAction *toggle = hub.menu()->actions().at(3);
        toggle->trigger(); // "Hide Zel Icons", as the host's menu does
        QVERIFY(storedHidden());
        // Every later registration hides again, so siblings that start later hide too.
        postRegister(QStringLiteral("alpha"));
        hub.seen("hideIcon", 2);
        // Changes applied in one pass of the event loop are followed by one hide, not thirty.
        for (int i = 0; i < 30; ++i)
            hub.delegate->server().handleRegister(
                {Protocol::register_, QVariantMap{{Protocol::keyAppID, QString::number(i)}}});
        hub.seen("hideIcon", 3);
        toggle->trigger(); // "Show Zel Icons"
        QVERIFY(!storedHidden());
        toggle->trigger();
        // Without a tray the popup has nowhere to open.
        if (!tray) {
            hub.delegate->statusClicked(std::nullopt);
            QVERIFY(!hub.delegate->bubbleOpen());
        }
        // Quitting shows the icons, and the stopped server no longer hears this registration.
        hub.delegate->applicationWillTerminate();
        postRegister(QStringLiteral("late"));
        QCOMPARE(hub.seen("register", 2),
                 (QStringList{"discover", "hideIcon", "register", "hideIcon", "hideIcon",
                              "showIcon", "hideIcon", "showIcon", "register"}));
        for (const auto &signal : std::as_const(hub.seenSignals))
            if (signal.member.endsWith("Icon"))
                QCOMPARE(signal.entries,
                         (signal.member == u"hideIcon" && tray ? iconAnchor()
                                                               : QMap<QString, QString>()));
        // The preference stays for the next launch.
        QVERIFY(storedHidden());
        QVERIFY(!hub.item->visible);
    }

    void choosingAnIcon_data()
    {
        QTest::addColumn<QStringList>("keys"); // none: a click on the second icon
        QTest::addColumn<QString>("target");
        QTest::newRow("click on beta") << QStringList() << "beta";
        QTest::newRow("Right, Return chooses beta") << QStringList{"Right", "Return"} << "beta";
        QTest::newRow("Left stays on alpha, Return") << QStringList{"Left", "Return"} << "alpha";
        QTest::newRow("Escape closes, nothing chosen") << QStringList{"Escape"} << "";
    }
    void choosingAnIcon()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, target);
        Hub hub;
        postRegister(QStringLiteral("alpha"));
        postRegister(QStringLiteral("beta"));
        // An app whose process is gone, as nobody owns its bundle id: pruned on opening.
        postRegister(QStringLiteral("gone"), QStringLiteral("com.example.Gone"));
        QTRY_COMPARE_WITH_TIMEOUT(hub.delegate->server().apps().size(), 3, 20000);
        hub.item->click(Button::Left);
        QVERIFY(QTest::qWaitForWindowExposed(hub.popup()));
        QCOMPARE(hub.delegate->bubbleVC()->buttons().size(), 2);
        // The popup's closing, marked on the bus the hub posts on: activate goes before it.
        hub.popup()->onDidClose = [&, closed = hub.popup()->onDidClose] {
            post(QStringLiteral("com.brannel.zelhub.popupClosed"));
            closed();
        };
        if (keys.isEmpty()) {
            QToolButton *beta = hub.delegate->bubbleVC()->buttons().at(1);
            QTest::mouseClick(beta, Qt::LeftButton, {}, beta->rect().center());
        }
        for (const QString &key : keys)
            QTest::keyClick(hub.popup()->windowHandle(), QKeySequence(key)[0].key());
        QTRY_VERIFY(!hub.popup()->isVisible() && !hub.delegate->bubbleOpen());

        // The launch's discover, then the opening's.
        const QStringList seen = hub.seen("popupClosed");
        QCOMPARE(seen.count("discover"), 2);
        QCOMPARE(seen.mid(seen.lastIndexOf("discover") + 1),
                 (target.isEmpty() ? QStringList{"popupClosed"}
                                   : QStringList{"activate", "popupClosed"}));
        if (!target.isEmpty()) {
            auto expected = iconAnchor();
            expected.insert(Protocol::keyTargetID, QStringLiteral("string \"%1\"").arg(target));
            QCOMPARE(hub.seenSignals.at(seen.size() - 2).entries, expected);
        }
    }
};

QTEST_MAIN(tst_AppDelegate)

#include "tst_appdelegate.moc"
