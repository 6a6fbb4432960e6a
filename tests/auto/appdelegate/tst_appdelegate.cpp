// The hub's delegate with a real registry server on the test's private bus; dbus-monitor
// witnesses what the hub posts. Only the tray icon is a stand-in.
#include "AppDelegate.h"
#include "BusMonitor.h"
#include "HubPopover.h"
#include "HubPopoverViewController.h"
#include "TestImages.h"

#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/ZelUserDefaults.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
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
    QRect geometry() const override { return rect; }
    void click(Button button, Qt::KeyboardModifiers modifiers = {})
    {
        reportClick({button, modifiers, std::nullopt, {}, false});
    }

    bool available = true;
    QIcon icon;
    QString toolTip;
    bool visible = false;
    QRect rect{979, 1, 22, 22};
};

using Protocol = ZelHubProtocol;
using Button = ZelStatusItem::Button;

QString text(const QString &value)
{
    return QStringLiteral("string \"%1\"").arg(value);
}

void post(const QString &name, const QVariantMap &info = {})
{
    DistributedNotificationCenter::defaultCenter()->postNotification(name, info);
}

void postRegister(const QString &id, const QString &bundleID = {}, const QByteArray &png = {})
{
    QVariantMap info{{Protocol::keyAppID, id}, {Protocol::keyAppName, id}};
    if (!bundleID.isEmpty())
        info.insert(Protocol::keyBundleID, bundleID);
    if (!png.isEmpty())
        info.insert(Protocol::keyStatusImageData, png);
    post(Protocol::register_, info);
}

QStringList members(const QList<BusMonitor::Signal> &seen)
{
    QStringList result;
    for (const auto &signal : seen)
        result.append(signal.member);
    return result;
}

// Waits until the monitor has seen `member` `count` times; returns everything seen.
QList<BusMonitor::Signal> waitForMember(BusMonitor &monitor, const QString &member, int count = 1)
{
    QList<BusMonitor::Signal> seen;
    QDeadlineTimer deadline(10000);
    while (members(seen).count(member) < count && !deadline.hasExpired())
        seen = monitor.waitFor(int(seen.size()) + 1, 200);
    return seen;
}

// The fake icon's bottom centre, y counted upward from the primary screen's bottom edge.
QMap<QString, QString> iconAnchor()
{
    const int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    return {{Protocol::keyAnchorX, text("990.0")},
            {Protocol::keyAnchorY, text(QStringLiteral("%1.0").arg(screenHeight - 23))}};
}

void storeHidden(bool hidden)
{
    ZelUserDefaults defaults(QStringLiteral("com.brannel.ZelHub"));
    defaults.setBool(QStringLiteral("ZelHub.iconsHidden"), hidden);
    defaults.sync();
}

bool storedHidden()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                       QStringLiteral("com.brannel.ZelHub"));
    return settings.value(QStringLiteral("ZelHub.iconsHidden")).toBool();
}

struct Hub
{
    explicit Hub(bool hidden = false)
    {
        storeHidden(hidden);
        monitor.start();
        delegate =
            new AppDelegate([this](QObject *parent) { return item = new FakeStatusItem(parent); });
        delegate->applicationDidFinishLaunching();
    }
    ~Hub()
    {
        delegate->contextMenu()->close();
        delete delegate;
    }
    void waitForApps(int n)
    {
        QTRY_COMPARE_WITH_TIMEOUT(delegate->server().apps().size(), n, 60000);
    }
    QMenu *menu() const { return delegate->contextMenu(); }
    HubPopover *popup() const { return delegate->bubble(); }
    QList<BusMonitor::Signal> seen(const QString &member, int count = 1)
    {
        return waitForMember(monitor, member, count);
    }
    BusMonitor monitor{QStringLiteral("com.brannel.zelhub")};
    AppDelegate *delegate = nullptr;
    FakeStatusItem *item = nullptr;
};

} // namespace

class tst_AppDelegate : public QObject
{
    Q_OBJECT
private slots:
    void launchShowsTheGlyph();
    void clickRule_data();
    void clickRule();
    void menu_data();
    void menu();
    void hideAndShow_data();
    void hideAndShow();
    void hiddenAtLaunchWaitsForFirstChange();
    void quit_data();
    void quit();
    void openingPrunesAndDiscovers();
    void choosingAnIcon_data();
    void choosingAnIcon();
    void quilloShowsItsOwnIcon();
};

void tst_AppDelegate::launchShowsTheGlyph()
{
    Hub hub;
    QVERIFY(hub.item->visible);
    QCOMPARE(hub.item->toolTip, QStringLiteral("ZelHub — click to open the hub"));
    // Crisp at both ratios: drawn at the device size, not scaled from another.
    for (const qreal ratio : {1.0, 2.0}) {
        const QImage image = hub.item->icon.pixmap(QSize(18, 18), ratio).toImage();
        QCOMPARE(image.size(), QSize(18, 18) * ratio);
        int covered = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                covered += qAlpha(image.pixel(x, y)) > 128;
        // Nine 3.6-point squares cover about 36 % of the image.
        const double share = double(covered) / (image.width() * image.height());
        QVERIFY2(share > 0.25 && share < 0.45, qPrintable(QString::number(share)));
        // Turned, so a corner square's outer corner is left empty.
        QCOMPARE(qAlpha(image.pixel(int(2 * ratio), int(2 * ratio))), 0);
    }
    // A new palette: the glyph follows without a restart.
    const QPalette before = QApplication::palette();
    QPalette palette = before;
    palette.setColor(QPalette::WindowText, Qt::yellow);
    QApplication::setPalette(palette);
    QTRY_COMPARE(hub.item->icon.pixmap(18).toImage().pixelColor(9, 9), QColor(Qt::yellow));
    QApplication::setPalette(before);
}

void tst_AppDelegate::clickRule_data()
{
    // Gestures in order, each well apart from the last unless a double click: left, right, control
    // (a left click with Control), shift (with Shift), none (the action without a click), outside
    // (a press beside the popup that closes it), rightOnIcon (a right press on the icon while the
    // popup holds the pointer), closeMenu.
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
    QTest::newRow("click that closed the popup is taken once")
        << "left outside left" << false << false;
    QTest::newRow("the click after it opens the popup")
        << "left outside left left" << true << false;
    QTest::newRow("after the menu a click opens the popup")
        << "left outside right closeMenu left" << true << false;
    QTest::newRow("right click on the icon over the popup opens the menu")
        << "left rightOnIcon" << false << true;
}

void tst_AppDelegate::clickRule()
{
    QFETCH(QString, gestures);
    QFETCH(bool, popup);
    QFETCH(bool, menu);
    Hub hub;
    QStyleHints *hints = QGuiApplication::styleHints();
    const int interval = hints->mouseDoubleClickInterval();
    for (const QString &gesture : gestures.split(u' ')) {
        hints->setMouseDoubleClickInterval(gesture == u"double" ? interval : 0);
        if (gesture == u"double") {
            hub.item->click(Button::Left);
            hub.item->click(Button::Left);
        } else if (gesture == u"left")
            hub.item->click(Button::Left);
        else if (gesture == u"right")
            hub.item->click(Button::Right);
        else if (gesture == u"control")
            hub.item->click(Button::Left, Qt::ControlModifier);
        else if (gesture == u"shift")
            hub.item->click(Button::Left, Qt::ShiftModifier);
        else if (gesture == u"none")
            hub.delegate->statusClicked(std::nullopt);
        else if (gesture == u"closeMenu")
            hub.menu()->close();
        else if (gesture == u"outside")
            QTest::mousePress(hub.popup(), Qt::LeftButton, {}, QPoint(-8, -8));
        if (gesture == u"outside")
            QTRY_VERIFY(!hub.popup()->isVisible());
        else if (gesture == u"rightOnIcon")
            QTest::mousePress(hub.popup(), Qt::RightButton, {},
                              hub.popup()->mapFromGlobal(QPoint(990, 12)));
        QTRY_VERIFY(hub.popup()->isVisible() == hub.delegate->bubbleOpen());
    }
    hints->setMouseDoubleClickInterval(interval);
    QTRY_COMPARE(hub.menu()->isVisible(), menu);
    QCOMPARE(hub.delegate->bubbleOpen(), popup);
    QCOMPARE(hub.popup()->isVisible(), popup);
}

void tst_AppDelegate::menu_data()
{
    QTest::addColumn<int>("apps");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<QString>("countLine");
    QTest::addColumn<QString>("toggle");
    QTest::newRow("no apps") << 0 << false << "No Zel apps running"
                             << "Hide Zel Icons";
    QTest::newRow("one app") << 1 << false << "1 Zel app"
                             << "Hide Zel Icons";
    QTest::newRow("two apps") << 2 << false << "2 Zel apps"
                              << "Hide Zel Icons";
    QTest::newRow("twelve apps, hidden") << 12 << true << "12 Zel apps"
                                         << "Show Zel Icons";
    QTest::newRow("a burst of a thousand") << 1000 << false << "1000 Zel apps"
                                           << "Hide Zel Icons";
}

void tst_AppDelegate::menu()
{
    QFETCH(int, apps);
    QFETCH(bool, hidden);
    QFETCH(QString, countLine);
    QFETCH(QString, toggle);
    Hub hub(hidden);
    for (int i = 0; i < apps; ++i)
        postRegister(QStringLiteral("app%1").arg(i));
    hub.waitForApps(apps);
    QTRY_COMPARE(hub.delegate->bubbleVC()->buttons().size(), apps);

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

void tst_AppDelegate::hideAndShow_data()
{
    QTest::addColumn<bool>("tray");
    QTest::newRow("hide at the icon") << true;
    QTest::newRow("hide without a tray, no anchor") << false;
}

void tst_AppDelegate::hideAndShow()
{
    QFETCH(bool, tray);
    Hub hub;
    hub.item->available = tray;
    hub.item->click(Button::Right);
    hub.menu()->actions().at(3)->trigger(); // "Hide Zel Icons", as the host's menu does
    QVERIFY(storedHidden());
    auto seen = hub.seen("hideIcon");
    QCOMPARE(members(seen).mid(1), QStringList{"hideIcon"}); // after the launch's discover
    QCOMPARE(seen.last().entries, (tray ? iconAnchor() : QMap<QString, QString>()));
    QCOMPARE(seen.last().argumentCount, 1);

    hub.item->click(Button::Right);
    QCOMPARE(hub.menu()->actions().at(3)->text(), QStringLiteral("Show Zel Icons"));
    hub.menu()->actions().at(3)->trigger();
    QVERIFY(!storedHidden());
    seen = hub.seen("showIcon");
    QCOMPARE(members(seen).mid(1), (QStringList{"hideIcon", "showIcon"}));
    QCOMPARE(seen.last().argumentCount, 1);
    QVERIFY(seen.last().entries.isEmpty());
    // Without a tray the popup has nowhere to open.
    hub.delegate->statusClicked(std::nullopt);
    QCOMPARE(hub.delegate->bubbleOpen(), tray);
}

void tst_AppDelegate::hiddenAtLaunchWaitsForFirstChange()
{
    Hub hub(true);
    QCOMPARE(members(hub.seen("discover")), QStringList{"discover"});
    postRegister(QStringLiteral("alpha"));
    auto seen = hub.seen("hideIcon");
    QCOMPARE(members(seen), (QStringList{"discover", "register", "hideIcon"}));
    QCOMPARE(seen.last().entries, iconAnchor());
    // Every later change hides again, so siblings that start later hide too.
    postRegister(QStringLiteral("beta"));
    QCOMPARE(members(hub.seen("hideIcon", 2)).count("hideIcon"), 2);
    // Changes applied in one pass of the event loop are followed by one hide, not thirty.
    for (int i = 0; i < 30; ++i)
        hub.delegate->server().handleRegister(
            {Protocol::register_, QVariantMap{{Protocol::keyAppID, QString::number(i)}}});
    hub.seen("hideIcon", 3);
    postRegister(QStringLiteral("sentinel"));
    QCOMPARE(members(hub.seen("hideIcon", 4)).mid(5),
             (QStringList{"hideIcon", "register", "hideIcon"}));
}

void tst_AppDelegate::quit_data()
{
    QTest::addColumn<bool>("hidden");
    QTest::newRow("with icons hidden, one show") << true;
    QTest::newRow("with icons shown, nothing") << false;
}

void tst_AppDelegate::quit()
{
    QFETCH(bool, hidden);
    Hub hub(hidden);
    hub.seen("discover");
    hub.delegate->applicationWillTerminate();
    // The stopped server no longer hears registrations: this one marks the end of what
    // the hub posted.
    postRegister(QStringLiteral("late"));
    const QStringList expected = hidden ? QStringList{"discover", "showIcon", "register"}
                                        : QStringList{"discover", "register"};
    QCOMPARE(members(hub.seen("register")), expected);
    // The preference stays for the next launch.
    QCOMPARE(storedHidden(), hidden);
    QVERIFY(!hub.item->visible);
}

void tst_AppDelegate::openingPrunesAndDiscovers()
{
    Hub hub;
    // An app whose process is gone: nobody owns its bundle id.
    postRegister(QStringLiteral("gone"), QStringLiteral("com.example.Gone"));
    postRegister(QStringLiteral("kept"));
    hub.waitForApps(2);
    for (int round = 1; round <= 2; ++round) {
        hub.item->click(Button::Left);
        // Pruned before the grid was built for this opening.
        QCOMPARE(hub.delegate->bubbleVC()->buttons().size(), 1);
        QCOMPARE(hub.delegate->bubbleVC()->buttons().first()->toolTip(), QStringLiteral("kept"));
        // Launch's discover, then one per opening.
        QCOMPARE(members(hub.seen("discover", round + 1)).count("discover"), round + 1);
        hub.popup()->performClose();
        postRegister(QStringLiteral("gone"), QStringLiteral("com.example.Gone"));
        hub.waitForApps(2);
    }
}

void tst_AppDelegate::choosingAnIcon_data()
{
    QTest::addColumn<QString>("keys"); // empty: a click on the second icon
    QTest::addColumn<QString>("target");
    QTest::newRow("click on beta") << ""
                                   << "beta";
    QTest::newRow("Right, Return chooses beta") << "Right Return"
                                                << "beta";
    QTest::newRow("Left stays on alpha, Return chooses it") << "Left Return"
                                                            << "alpha";
    QTest::newRow("Escape closes, nothing chosen") << "Escape"
                                                   << "";
}

void tst_AppDelegate::choosingAnIcon()
{
    QFETCH(QString, keys);
    QFETCH(QString, target);
    Hub hub;
    postRegister(QStringLiteral("alpha"));
    postRegister(QStringLiteral("beta"));
    hub.waitForApps(2);
    hub.item->click(Button::Left);
    QVERIFY(QTest::qWaitForWindowExposed(hub.popup()));
    // The popup's closing, marked on the bus the hub posts on: activate goes before it.
    hub.popup()->onDidClose = [&, closed = hub.popup()->onDidClose] {
        post(QStringLiteral("com.brannel.zelhub.popupClosed"));
        closed();
    };
    if (keys.isEmpty()) {
        QToolButton *beta = hub.delegate->bubbleVC()->buttons().at(1);
        QTest::mouseClick(beta, Qt::LeftButton, {}, beta->rect().center());
    }
    for (const QString &key : keys.split(u' ', Qt::SkipEmptyParts))
        QTest::keyClick(hub.popup()->windowHandle(), QKeySequence(key)[0].key());
    QTRY_VERIFY(!hub.popup()->isVisible());
    QVERIFY(!hub.delegate->bubbleOpen());

    const auto seen = hub.seen("popupClosed");
    if (target.isEmpty()) {
        QVERIFY(!members(seen).contains("activate"));
        return;
    }
    QCOMPARE(members(seen).mid(members(seen).lastIndexOf("discover") + 1),
             (QStringList{"activate", "popupClosed"}));
    auto expected = iconAnchor();
    expected.insert(Protocol::keyTargetID, text(target));
    QCOMPARE(seen.at(seen.size() - 2).entries, expected);
}

void tst_AppDelegate::quilloShowsItsOwnIcon()
{
    Hub hub;
    postRegister(QStringLiteral("quillo"), QStringLiteral("com.BRN.Quillo"),
                 solidPng({18, 18}, Qt::red));
    postRegister(QStringLiteral("other"), QStringLiteral("com.BRN.Other"),
                 solidPng({18, 18}, Qt::red));
    // The hub's placeholder is a known symbol: it wins over the image data.
    post(Protocol::register_, {{Protocol::keyAppID, QStringLiteral("dashed")},
                               {Protocol::keyStatusSymbolName, QStringLiteral("app.dashed")},
                               {Protocol::keyStatusImageData, solidPng({18, 18}, Qt::red)}});
    hub.waitForApps(3);
    const auto dashed = hub.delegate->server().statusInfo(hub.delegate->server().apps().at(0));
    QVERIFY(dashed.image && dashed.image->isMask());
    const auto pixels = [](const QIcon &icon) {
        return icon.pixmap(18).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    QCOMPARE(pixels(*dashed.image), pixels(*HubPopoverViewController::placeholderIcon()));
    // Both run: their names have an owner, so opening the popup keeps them.
    QVERIFY(QDBusConnection::sessionBus().registerService(QStringLiteral("com.BRN.Quillo")));
    QVERIFY(QDBusConnection::sessionBus().registerService(QStringLiteral("com.BRN.Other")));
    hub.item->click(Button::Left);
    HubPopoverViewController *grid = hub.delegate->bubbleVC();
    const auto drawn = [&](int k) {
        return grid->buttons().at(k)->icon().pixmap(QSize(18, 18), 1.0).toImage();
    };
    QCOMPARE(grid->buttons().size(), 3); // dashed, other, quillo
    // Status images are templates: a red one is drawn in the text colour.
    QCOMPARE(drawn(1).pixelColor(9, 9), grid->palette().color(QPalette::WindowText));
    QVERIFY(drawn(2) != drawn(1));
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelHub"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    tst_AppDelegate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appdelegate.moc"
