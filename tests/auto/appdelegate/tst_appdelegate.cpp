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
    void click(Button button, Qt::KeyboardModifiers modifiers = {},
               std::optional<QPoint> position = std::nullopt)
    {
        reportClick({button, modifiers, position, {}, false});
    }

    bool available = true;
    QIcon icon;
    QString toolTip;
    bool visible = false;
    QRect rect{979, 1, 22, 22};
};

using Protocol = ZelHubProtocol;

QString text(const char *value)
{
    return QStringLiteral("string \"%1\"").arg(QString::fromUtf8(value));
}

void postRegister(const QString &id, const QString &name, const QString &bundleID = {},
                  const QByteArray &png = {})
{
    QVariantMap info{{Protocol::keyAppID, id}, {Protocol::keyAppName, name}};
    if (!bundleID.isEmpty())
        info.insert(Protocol::keyBundleID, bundleID);
    if (!png.isEmpty())
        info.insert(Protocol::keyStatusImageData, png);
    DistributedNotificationCenter::defaultCenter()->postNotification(Protocol::register_, info);
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
    while (!deadline.hasExpired()) {
        seen = monitor.waitFor(int(seen.size()) + 1, 200);
        if (members(seen).count(member) >= count)
            break;
        QCoreApplication::processEvents();
    }
    return seen;
}

// What the hub sends as anchor for the fake icon: its bottom centre, y counted upward
// from the primary screen's bottom edge.
QMap<QString, QString> iconAnchor()
{
    const int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    return {{Protocol::keyAnchorX, text("990.0")},
            {Protocol::keyAnchorY, QStringLiteral("string \"%1.0\"").arg(screenHeight - 23)}};
}

struct Hub
{
    Hub()
    {
        delegate = new AppDelegate([this](QObject *parent) {
            item = new FakeStatusItem(parent);
            return item;
        });
        delegate->applicationDidFinishLaunching();
    }
    ~Hub() { delete delegate; }
    void waitForApps(int n)
    {
        QTRY_COMPARE_WITH_TIMEOUT(delegate->server().apps().size(), n, 60000);
    }
    AppDelegate *delegate = nullptr;
    FakeStatusItem *item = nullptr;
};

bool storedHidden()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                       QStringLiteral("com.brannel.ZelHub"));
    return settings.value(AppDelegate::hiddenKey).toBool();
}

} // namespace

class tst_AppDelegate : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void launchShowsTheGlyph();
    void countLine_data();
    void countLine();
    void menuItems_data();
    void menuItems();
    void clickRule_data();
    void clickRule();
    void clickThatClosedThePopupIsTakenOnce();
    void hideAndShow();
    void hiddenAtLaunchWaitsForFirstChange();
    void quitWithIconsHidden_data();
    void quitWithIconsHidden();
    void openingPrunesAndDiscovers();
    void choosingAnIconActivatesThenCloses();
    void hostPositionIsTheAnchor();
    void quilloShowsItsOwnIcon();
    void noTray();
};

void tst_AppDelegate::init()
{
    ZelUserDefaults defaults(QStringLiteral("com.brannel.ZelHub"));
    defaults.remove(AppDelegate::hiddenKey);
    defaults.sync();
}

void tst_AppDelegate::launchShowsTheGlyph()
{
    Hub hub;
    QVERIFY(hub.item->visible);
    QCOMPARE(hub.item->toolTip, QStringLiteral("ZelHub — click to open the hub"));
    // Crisp at both ratios: drawn at the device size, not scaled from another.
    for (const qreal ratio : {1.0, 2.0}) {
        const QPixmap pixmap = hub.item->icon.pixmap(QSize(18, 18), ratio);
        QCOMPARE(pixmap.size(), QSize(18, 18) * ratio);
        const QImage image = pixmap.toImage();
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
    // A wide slot gets it square, never stretched.
    QCOMPARE(hub.item->icon.actualSize(QSize(44, 22)), QSize(22, 22));
    // A new palette: the glyph follows without a restart.
    const QPalette before = QApplication::palette();
    QPalette palette = before;
    palette.setColor(QPalette::WindowText, Qt::yellow);
    QApplication::setPalette(palette);
    QTRY_COMPARE(hub.item->icon.pixmap(18).toImage().pixelColor(9, 9), QColor(Qt::yellow));
    QApplication::setPalette(before);
}

void tst_AppDelegate::countLine_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << 0 << "No Zel apps running";
    QTest::newRow("one") << 1 << "1 Zel app";
    QTest::newRow("two") << 2 << "2 Zel apps";
    QTest::newRow("twelve") << 12 << "12 Zel apps";
}

void tst_AppDelegate::countLine()
{
    QFETCH(int, n);
    QFETCH(QString, expected);
    QCOMPARE(AppDelegate::countLine(n), expected);
}

void tst_AppDelegate::menuItems_data()
{
    QTest::addColumn<int>("apps");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<QString>("countLine");
    QTest::addColumn<QString>("toggle");
    QTest::newRow("no apps") << 0 << false << "No Zel apps running"
                             << "Hide Zel Icons";
    QTest::newRow("one app") << 1 << false << "1 Zel app"
                             << "Hide Zel Icons";
    QTest::newRow("twelve apps, hidden") << 12 << true << "12 Zel apps"
                                         << "Show Zel Icons";
    QTest::newRow("a burst of a thousand") << 1000 << false << "1000 Zel apps"
                                           << "Hide Zel Icons";
}

void tst_AppDelegate::menuItems()
{
    QFETCH(int, apps);
    QFETCH(bool, hidden);
    QFETCH(QString, countLine);
    QFETCH(QString, toggle);
    ZelUserDefaults defaults(QStringLiteral("com.brannel.ZelHub"));
    defaults.setBool(AppDelegate::hiddenKey, hidden);
    defaults.sync();

    Hub hub;
    for (int i = 0; i < apps; ++i)
        postRegister(QStringLiteral("app%1").arg(i), QStringLiteral("App %1").arg(i));
    hub.waitForApps(apps);
    QTRY_COMPARE(hub.delegate->bubbleVC()->buttons().size(), apps);

    hub.item->click(ZelStatusItem::Button::Right);
    QMenu *menu = hub.delegate->contextMenu();
    QVERIFY(menu);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 6);
    QCOMPARE(actions[0]->text(), QStringLiteral("ZelHub"));
    QVERIFY(!actions[0]->isEnabled());
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), countLine);
    QVERIFY(!actions[2]->isEnabled());
    QCOMPARE(actions[3]->text(), toggle);
    QVERIFY(actions[3]->isEnabled());
    QVERIFY(actions[4]->isSeparator());
    QCOMPARE(actions[5]->text(), QStringLiteral("Quit ZelHub"));
    QCOMPARE(actions[5]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QVERIFY(actions[5]->isEnabled());
    menu->close();
}

void tst_AppDelegate::clickRule_data()
{
    QTest::addColumn<int>("button"); // -1: an action without a click
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("menu");
    QTest::newRow("left click") << int(ZelStatusItem::Button::Left) << 0 << false;
    QTest::newRow("right click") << int(ZelStatusItem::Button::Right) << 0 << true;
    QTest::newRow("control-left-click")
        << int(ZelStatusItem::Button::Left) << int(Qt::ControlModifier) << true;
    QTest::newRow("control-right-click")
        << int(ZelStatusItem::Button::Right) << int(Qt::ControlModifier) << true;
    QTest::newRow("shift-left-click")
        << int(ZelStatusItem::Button::Left) << int(Qt::ShiftModifier) << false;
    QTest::newRow("no click") << -1 << 0 << false;
}

void tst_AppDelegate::clickRule()
{
    QFETCH(int, button);
    QFETCH(int, modifiers);
    QFETCH(bool, menu);
    Hub hub;
    const auto click = [&] {
        if (button < 0)
            hub.delegate->statusClicked(std::nullopt);
        else
            hub.item->click(ZelStatusItem::Button(button), Qt::KeyboardModifiers(modifiers));
    };
    click();
    QCOMPARE(hub.delegate->contextMenu()->isVisible(), menu);
    QCOMPARE(hub.delegate->bubbleOpen(), !menu);
    QCOMPARE(hub.delegate->bubble()->isVisible(), !menu);
    if (menu) {
        hub.delegate->contextMenu()->close();
        return;
    }
    // The second click of a double click leaves it open; the same gesture later closes it.
    click();
    QVERIFY(hub.delegate->bubbleOpen());
    QStyleHints *hints = QGuiApplication::styleHints();
    const int interval = hints->mouseDoubleClickInterval();
    hints->setMouseDoubleClickInterval(0);
    click();
    hints->setMouseDoubleClickInterval(interval);
    QVERIFY(!hub.delegate->bubbleOpen());
    QVERIFY(!hub.delegate->bubble()->isVisible());
}

void tst_AppDelegate::clickThatClosedThePopupIsTakenOnce()
{
    Hub hub;
    const auto pressOutside = [&] {
        HubPopover *popup = hub.delegate->bubble();
        QTest::mousePress(popup, Qt::LeftButton, {}, QPoint(-8, -8));
        QTRY_VERIFY(!popup->isVisible());
        QVERIFY(!hub.delegate->bubbleOpen());
    };

    // A host that reports the click on its icon after the popup's grab took the press.
    hub.item->click(ZelStatusItem::Button::Left);
    QVERIFY(hub.delegate->bubbleOpen());
    pressOutside();
    hub.item->click(ZelStatusItem::Button::Left);
    QVERIFY(!hub.delegate->bubbleOpen());
    // The next click is the person's own, however soon it comes.
    hub.item->click(ZelStatusItem::Button::Left);
    QVERIFY(hub.delegate->bubbleOpen());

    // A host that reports nothing more: the menu came between, and the click after it
    // opens the popup.
    pressOutside();
    hub.item->click(ZelStatusItem::Button::Right);
    QVERIFY(hub.delegate->contextMenu()->isVisible());
    hub.delegate->contextMenu()->close();
    hub.item->click(ZelStatusItem::Button::Left);
    QVERIFY(hub.delegate->bubbleOpen());

    // A right click on the icon while the popup is open: that one click opens the menu.
    HubPopover *popup = hub.delegate->bubble();
    QTest::mousePress(popup, Qt::RightButton, {}, popup->mapFromGlobal(QPoint(990, 12)));
    QTRY_VERIFY(hub.delegate->contextMenu()->isVisible());
    QVERIFY(!hub.delegate->bubbleOpen());
    hub.delegate->contextMenu()->close();
}

void tst_AppDelegate::hideAndShow()
{
    Hub hub;
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());

    hub.item->click(ZelStatusItem::Button::Right);
    hub.delegate->contextMenu()->actions().at(3)->trigger(); // "Hide Zel Icons"
    QVERIFY(hub.delegate->iconsHidden());
    QVERIFY(storedHidden());
    auto seen = waitForMember(monitor, QStringLiteral("hideIcon"));
    QCOMPARE(members(seen), QStringList{QStringLiteral("hideIcon")});
    QCOMPARE(seen.last().entries, iconAnchor());
    hub.delegate->contextMenu()->close();

    hub.item->click(ZelStatusItem::Button::Right);
    QCOMPARE(hub.delegate->contextMenu()->actions().at(3)->text(),
             QStringLiteral("Show Zel Icons"));
    hub.delegate->contextMenu()->actions().at(3)->trigger();
    QVERIFY(!hub.delegate->iconsHidden());
    QVERIFY(!storedHidden());
    seen = waitForMember(monitor, QStringLiteral("showIcon"));
    QCOMPARE(members(seen), (QStringList{QStringLiteral("hideIcon"), QStringLiteral("showIcon")}));
    QCOMPARE(seen.last().argumentCount, 1);
    QVERIFY(seen.last().entries.isEmpty());
    hub.delegate->contextMenu()->close();
}

void tst_AppDelegate::hiddenAtLaunchWaitsForFirstChange()
{
    ZelUserDefaults defaults(QStringLiteral("com.brannel.ZelHub"));
    defaults.setBool(AppDelegate::hiddenKey, true);
    defaults.sync();
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());

    Hub hub;
    QVERIFY(hub.delegate->iconsHidden());
    auto seen = waitForMember(monitor, QStringLiteral("discover"));
    QCOMPARE(members(seen), QStringList{QStringLiteral("discover")});

    postRegister(QStringLiteral("alpha"), QStringLiteral("Alpha"));
    seen = waitForMember(monitor, QStringLiteral("hideIcon"));
    QCOMPARE(members(seen), (QStringList{QStringLiteral("discover"), QStringLiteral("register"),
                                         QStringLiteral("hideIcon")}));
    QCOMPARE(seen.last().entries, iconAnchor());

    // Every later change hides again, so siblings that start later hide too.
    postRegister(QStringLiteral("beta"), QStringLiteral("Beta"));
    seen = waitForMember(monitor, QStringLiteral("hideIcon"), 2);
    QCOMPARE(members(seen).count(QStringLiteral("hideIcon")), 2);
    // Changes applied in one pass of the event loop are followed by one hide, not thirty.
    for (int i = 0; i < 30; ++i)
        hub.delegate->server().handleRegister(
            {Protocol::register_, QVariantMap{{Protocol::keyAppID, QString::number(i)}}});
    waitForMember(monitor, QStringLiteral("hideIcon"), 3);
    postRegister(QStringLiteral("sentinel"), QStringLiteral("Sentinel"));
    seen = waitForMember(monitor, QStringLiteral("hideIcon"), 4);
    QCOMPARE(members(seen).mid(5),
             (QStringList{QStringLiteral("hideIcon"), QStringLiteral("register"),
                          QStringLiteral("hideIcon")}));
}

void tst_AppDelegate::quitWithIconsHidden_data()
{
    QTest::addColumn<bool>("hidden");
    QTest::newRow("hidden") << true;
    QTest::newRow("shown") << false;
}

void tst_AppDelegate::quitWithIconsHidden()
{
    QFETCH(bool, hidden);
    ZelUserDefaults defaults(QStringLiteral("com.brannel.ZelHub"));
    defaults.setBool(AppDelegate::hiddenKey, hidden);
    defaults.sync();
    Hub hub;
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());

    hub.delegate->applicationWillTerminate();
    // The stopped server no longer hears registrations: this one reaches nobody, and it
    // marks the end of what the hub posted.
    postRegister(QStringLiteral("late"), QStringLiteral("Late"));
    const auto seen = waitForMember(monitor, QStringLiteral("register"));
    const QStringList expected =
        hidden ? QStringList{QStringLiteral("showIcon"), QStringLiteral("register")}
               : QStringList{QStringLiteral("register")};
    QCOMPARE(members(seen), expected);
    QTest::qWait(50);
    QCOMPARE(hub.delegate->server().apps().size(), 0);
    // The preference stays for the next launch.
    QCOMPARE(storedHidden(), hidden);
    QVERIFY(!hub.item->visible);
}

void tst_AppDelegate::openingPrunesAndDiscovers()
{
    Hub hub;
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());
    // An app whose process is gone: nobody owns its bundle id.
    postRegister(QStringLiteral("gone"), QStringLiteral("Gone"),
                 QStringLiteral("com.example.Gone"));
    postRegister(QStringLiteral("kept"), QStringLiteral("Kept"));
    hub.waitForApps(2);
    waitForMember(monitor, QStringLiteral("register"), 2);

    for (int round = 1; round <= 2; ++round) {
        hub.item->click(ZelStatusItem::Button::Left);
        QVERIFY(hub.delegate->bubbleOpen());
        // Pruned before the grid was built for this opening.
        const auto apps = hub.delegate->bubbleVC()->apps;
        QCOMPARE(apps.size(), 1);
        QCOMPARE(apps.first().id, QStringLiteral("kept"));
        QCOMPARE(hub.delegate->bubbleVC()->buttons().size(), 1);
        const auto seen = waitForMember(monitor, QStringLiteral("discover"), round);
        QCOMPARE(members(seen).count(QStringLiteral("discover")), round);
        hub.delegate->bubble()->performClose();
        QVERIFY(!hub.delegate->bubbleOpen());
        postRegister(QStringLiteral("gone"), QStringLiteral("Gone"),
                     QStringLiteral("com.example.Gone"));
        hub.waitForApps(2);
    }
}

void tst_AppDelegate::choosingAnIconActivatesThenCloses()
{
    Hub hub;
    postRegister(QStringLiteral("alpha"), QStringLiteral("Alpha"));
    postRegister(QStringLiteral("beta"), QStringLiteral("Beta"));
    hub.waitForApps(2);
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());

    hub.item->click(ZelStatusItem::Button::Left);
    QVERIFY(QTest::qWaitForWindowExposed(hub.delegate->bubble()));
    QToolButton *beta = hub.delegate->bubbleVC()->buttons().at(1);
    QCOMPARE(beta->toolTip(), QStringLiteral("Beta"));
    QTest::mouseClick(beta, Qt::LeftButton, {}, beta->rect().center());
    QVERIFY(!hub.delegate->bubbleOpen());
    QVERIFY(!hub.delegate->bubble()->isVisible());

    const auto seen = waitForMember(monitor, QStringLiteral("activate"));
    auto expected = iconAnchor();
    expected.insert(Protocol::keyTargetID, text("beta"));
    QCOMPARE(seen.last().member, QStringLiteral("activate"));
    QCOMPARE(seen.last().entries, expected);
}

void tst_AppDelegate::hostPositionIsTheAnchor()
{
    // A StatusNotifierItem host tells where it was clicked and nothing of the geometry.
    Hub hub;
    hub.item->rect = QRect();
    postRegister(QStringLiteral("alpha"), QStringLiteral("Alpha"));
    hub.waitForApps(1);
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());

    hub.item->click(ZelStatusItem::Button::Left, {}, QPoint(812, 24));
    QVERIFY(hub.delegate->bubbleOpen());
    const QPoint popupAt = hub.delegate->bubble()->pos();
    QCOMPARE(popupAt.y(), 24 + 1 + 4);
    hub.delegate->bubbleVC()->iconClicked(0);

    const auto seen = waitForMember(monitor, QStringLiteral("activate"));
    const int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    const QMap<QString, QString> expected{
        {Protocol::keyTargetID, text("alpha")},
        {Protocol::keyAnchorX, text("812.0")},
        {Protocol::keyAnchorY, QStringLiteral("string \"%1.0\"").arg(screenHeight - 24)}};
    QCOMPARE(seen.last().entries, expected);
}

void tst_AppDelegate::quilloShowsItsOwnIcon()
{
    Hub hub;
    postRegister(QStringLiteral("quillo"), QStringLiteral("Quillo"),
                 QStringLiteral("com.BRN.Quillo"), solidPng({18, 18}, Qt::red));
    postRegister(QStringLiteral("other"), QStringLiteral("Other"), QStringLiteral("com.BRN.Other"),
                 solidPng({18, 18}, Qt::red));
    // The hub's placeholder is a known symbol: it wins over the image data.
    DistributedNotificationCenter::defaultCenter()->postNotification(
        Protocol::register_,
        QVariantMap{{Protocol::keyAppID, QStringLiteral("dashed")},
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
    hub.item->click(ZelStatusItem::Button::Left);
    HubPopoverViewController *grid = hub.delegate->bubbleVC();
    const auto drawn = [&](int k) {
        return grid->buttons().at(k)->icon().pixmap(QSize(18, 18), 1.0).toImage();
    };
    QCOMPARE(grid->buttons().size(), 3); // dashed, Other, Quillo
    // Status images are templates: a red one is drawn in the text colour.
    QCOMPARE(drawn(1).pixelColor(9, 9), grid->palette().color(QPalette::WindowText));
    QVERIFY(drawn(2) != drawn(1));
}

void tst_AppDelegate::noTray()
{
    Hub hub;
    hub.item->available = false;
    BusMonitor monitor(QStringLiteral("com.brannel.zelhub"));
    QVERIFY(monitor.start());
    hub.delegate->statusClicked(std::nullopt);
    QVERIFY(!hub.delegate->bubbleOpen());
    QVERIFY(!hub.delegate->statusAnchor());
    // The hide still goes out, without an anchor.
    hub.delegate->toggleHidden();
    const auto seen = waitForMember(monitor, QStringLiteral("hideIcon"));
    QCOMPARE(seen.last().argumentCount, 1);
    QVERIFY(seen.last().entries.isEmpty());
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
