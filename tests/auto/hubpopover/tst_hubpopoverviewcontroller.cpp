#include "HubPopover.h"
#include "HubPopoverViewController.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

namespace {

QList<ZelHubApp> makeApps(int n)
{
    QList<ZelHubApp> apps;
    for (int i = 0; i < n; ++i)
        apps.append({QStringLiteral("id%1").arg(i), QStringLiteral("App %1").arg(i),
                     QStringLiteral("com.example.App%1").arg(i)});
    return apps;
}

QIcon redSquare()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::red);
    return QIcon(pixmap);
}

// The controller as the popup shows it, laid out on a real (offscreen) window.
struct Shown
{
    explicit Shown(const QList<ZelHubApp> &apps,
                   std::function<HubPopoverViewController::StatusInfo(const ZelHubApp &)> provider)
    {
        controller = new HubPopoverViewController;
        controller->apps = apps;
        controller->statusProvider = std::move(provider);
        controller->reload();
        popover.setContentViewController(controller);
        popover.show(QRect(400, 0, 22, 22));
        QVERIFY(QTest::qWaitForWindowExposed(&popover));
    }
    HubPopover popover;
    HubPopoverViewController *controller = nullptr;
};

} // namespace

class tst_HubPopoverViewController : public QObject
{
    Q_OBJECT
private slots:
    void emptyState();
    void rows_data();
    void rows();
    void imageOnlyButton_data();
    void imageOnlyButton();
    void titledButton();
    void blankTitleIsNoTitle();
    void noProvider();
    void providerCalledFreshAtEveryReload();
    void clickSelects_data();
    void clickSelects();
    void tagOutsideAppsIgnored();
    void keyboard();
    void escapeCloses();
    void placement_data();
    void placement();
};

void tst_HubPopoverViewController::emptyState()
{
    HubPopoverViewController controller;
    controller.reload();
    QVERIFY(controller.buttons().isEmpty());
    QVERIFY(controller.emptyLabel());
    QCOMPARE(controller.emptyLabel()->text(), QStringLiteral("No Zel apps running"));
    QCOMPARE(controller.preferredContentSize(), QSize(200, 44));

    // A rebuild with apps leaves nothing of the empty state, and back again.
    controller.apps = makeApps(2);
    controller.reload();
    QVERIFY(!controller.emptyLabel());
    QCOMPARE(controller.findChildren<QLabel *>().size(), 0);
    controller.apps.clear();
    controller.reload();
    QCOMPARE(controller.findChildren<QToolButton *>().size(), 0);
    QCOMPARE(controller.preferredContentSize(), QSize(200, 44));
}

void tst_HubPopoverViewController::rows_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("perRow");
    QTest::newRow("one app") << 1 << QList<int>{1};
    QTest::newRow("a full row") << 5 << QList<int>{5};
    QTest::newRow("one more starts a row") << 6 << QList<int>{5, 1};
    QTest::newRow("eleven apps") << 11 << QList<int>{5, 5, 1};
}

void tst_HubPopoverViewController::rows()
{
    QFETCH(int, count);
    QFETCH(QList<int>, perRow);
    Shown shown(makeApps(count), {});
    const auto &buttons = shown.controller->buttons();
    QCOMPARE(buttons.size(), count);

    // Rows by their y, each on the leading edge, 12 apart, buttons 30 apart.
    QMap<int, QList<QToolButton *>> rows;
    for (QToolButton *button : buttons)
        rows[button->mapTo(shown.controller, QPoint(0, 0)).y()].append(button);
    QCOMPARE(rows.size(), perRow.size());
    int r = 0;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it, ++r) {
        QCOMPARE(it.value().size(), perRow.at(r));
        QCOMPARE(it.key(), 12 + 30 * r);
        for (int c = 0; c < it.value().size(); ++c) {
            QToolButton *button = it.value().at(c);
            QCOMPARE(button, buttons.at(r * 5 + c));
            QCOMPARE(button->mapTo(shown.controller, QPoint(0, 0)).x(), 12 + 30 * c);
            QCOMPARE(button->size(), QSize(18, 18));
        }
    }

    // The fitting size of the grid plus the padding on every side.
    QRect grid;
    for (QToolButton *button : buttons)
        grid |= QRect(button->mapTo(shown.controller, QPoint(0, 0)), button->size());
    QCOMPARE(shown.controller->preferredContentSize(), grid.size() + QSize(24, 24));
    // And the popup's one-pixel frame around it.
    QCOMPARE(shown.popover.size(), shown.controller->preferredContentSize() + QSize(2, 2));
}

void tst_HubPopoverViewController::imageOnlyButton_data()
{
    QTest::addColumn<bool>("isTemplate");
    QTest::newRow("image as sent") << false;
    QTest::newRow("template image in the text colour") << true;
}

void tst_HubPopoverViewController::imageOnlyButton()
{
    QFETCH(bool, isTemplate);
    QIcon icon = redSquare();
    icon.setIsMask(isTemplate);
    Shown shown(makeApps(1), [&](const ZelHubApp &) {
        return HubPopoverViewController::StatusInfo{icon, std::nullopt};
    });
    QToolButton *button = shown.controller->buttons().at(0);
    QCOMPARE(button->size(), QSize(18, 18));
    QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
    QVERIFY(button->text().isEmpty());
    QCOMPARE(button->toolTip(), QStringLiteral("App 0"));
    QCOMPARE(button->accessibleName(), QStringLiteral("App 0"));
    const QColor text = shown.controller->palette().color(QPalette::WindowText);
    QVERIFY(text != QColor(Qt::red));
    QCOMPARE(button->icon().pixmap(18).toImage().pixelColor(9, 9),
             isTemplate ? text : QColor(Qt::red));
}

void tst_HubPopoverViewController::titledButton()
{
    Shown shown(makeApps(2), [&](const ZelHubApp &app) {
        if (app.id == u"id0")
            return HubPopoverViewController::StatusInfo{redSquare(),
                                                        QStringLiteral(" \t42 \t min  ")};
        return HubPopoverViewController::StatusInfo{redSquare(), std::nullopt};
    });
    QToolButton *titled = shown.controller->buttons().at(0);
    QCOMPARE(titled->text(), QStringLiteral(" 42 \t min"));
    QCOMPARE(titled->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    QCOMPARE(titled->font().pixelSize(), 11);
    QCOMPARE(titled->height(), 18);
    QVERIFY2(titled->width() > 18, "a titled button takes the width of its content");
    // The next button follows the wider one with the usual spacing.
    QToolButton *next = shown.controller->buttons().at(1);
    QCOMPARE(next->geometry().left(), titled->geometry().right() + 1 + 12);
}

void tst_HubPopoverViewController::blankTitleIsNoTitle()
{
    // Spaces and tabs only count as no title; a line break does not count as blank.
    QCOMPARE(HubPopoverViewController::trimmedTitle(QStringLiteral(" \t ")), QString());
    QCOMPARE(HubPopoverViewController::trimmedTitle(std::nullopt), QString());
    QCOMPARE(HubPopoverViewController::trimmedTitle(QStringLiteral("\nA\n")),
             QStringLiteral("\nA\n"));
    QCOMPARE(HubPopoverViewController::trimmedTitle(QStringLiteral("\u00a0A B\u2003")),
             QStringLiteral("A B"));

    Shown shown(makeApps(1), [](const ZelHubApp &) {
        return HubPopoverViewController::StatusInfo{std::nullopt, QStringLiteral("  \t")};
    });
    QToolButton *button = shown.controller->buttons().at(0);
    QCOMPARE(button->size(), QSize(18, 18));
    QVERIFY(button->text().isEmpty());
}

void tst_HubPopoverViewController::noProvider()
{
    const auto placeholder = HubPopoverViewController::placeholderIcon();
    QVERIFY2(placeholder, "the hub ships its own app.dashed");
    Shown shown(makeApps(3), {});
    for (QToolButton *button : shown.controller->buttons()) {
        QVERIFY(!button->icon().isNull());
        QCOMPARE(button->icon().pixmap(18).toImage(), placeholder->pixmap(18).toImage());
        QVERIFY(button->text().isEmpty());
        QCOMPARE(button->size(), QSize(18, 18));
    }
}

void tst_HubPopoverViewController::providerCalledFreshAtEveryReload()
{
    int calls = 0;
    HubPopoverViewController controller;
    controller.apps = makeApps(3);
    controller.statusProvider = [&](const ZelHubApp &) {
        ++calls;
        return HubPopoverViewController::StatusInfo{redSquare(), QStringLiteral("t")};
    };
    controller.reload();
    const int first = calls;
    QVERIFY(first >= 3);
    const QList<QToolButton *> buttons = controller.buttons();
    // Each app keeps its button (its hover and tool tip stay up) when registered again,
    // here with a new image; the one that left takes its button with it.
    controller.apps.removeAt(1);
    controller.reload();
    QCOMPARE(calls, first + first * 2 / 3);
    QCOMPARE(controller.buttons(), (QList<QToolButton *>{buttons.at(0), buttons.at(2)}));
    QCOMPARE(controller.findChildren<QToolButton *>().size(), 2);
}

void tst_HubPopoverViewController::clickSelects_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("k");
    QTest::newRow("first") << 1 << 0;
    QTest::newRow("last of the first row") << 6 << 4;
    QTest::newRow("alone in the second row") << 6 << 5;
    QTest::newRow("middle of eleven") << 11 << 7;
}

void tst_HubPopoverViewController::clickSelects()
{
    QFETCH(int, count);
    QFETCH(int, k);
    Shown shown(makeApps(count), {});
    QList<ZelHubApp> chosen;
    shown.controller->onSelect = [&](const ZelHubApp &app) { chosen.append(app); };
    QToolButton *button = shown.controller->buttons().at(k);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    QCOMPARE(chosen, QList<ZelHubApp>{makeApps(count).at(k)});
    // The controller leaves closing to its owner.
    QVERIFY(shown.popover.isVisible());
}

void tst_HubPopoverViewController::tagOutsideAppsIgnored()
{
    HubPopoverViewController controller;
    controller.apps = makeApps(2);
    controller.reload();
    int calls = 0;
    controller.iconClicked(0); // no onSelect yet: nothing
    controller.onSelect = [&](const ZelHubApp &) { ++calls; };
    controller.iconClicked(-1);
    controller.iconClicked(2);
    QCOMPARE(calls, 0);
    controller.iconClicked(1);
    QCOMPARE(calls, 1);
}

void tst_HubPopoverViewController::keyboard()
{
    Shown shown(makeApps(7), {});
    QList<QString> chosen;
    shown.controller->onSelect = [&](const ZelHubApp &app) { chosen.append(app.id); };
    const auto &buttons = shown.controller->buttons();
    // Opened by a click: no button is drawn selected until the keyboard is used, and the
    // first key acts as if the first button had had the focus.
    QTRY_VERIFY(shown.popover.hasFocus());

    const auto press = [&](Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); };
    press(Qt::Key_Right);
    QVERIFY(buttons.at(1)->hasFocus());
    press(Qt::Key_Down); // row 2 has two buttons: column 1 exists
    QVERIFY(buttons.at(6)->hasFocus());
    press(Qt::Key_Down); // no third row
    QVERIFY(buttons.at(6)->hasFocus());
    press(Qt::Key_Up);
    QVERIFY(buttons.at(1)->hasFocus());
    // Siblings answering a discover rebuild the grid while it is open: the keyboard stays.
    shown.controller->reload();
    QVERIFY(buttons.at(1)->hasFocus());
    press(Qt::Key_Left);
    press(Qt::Key_Left); // stays on the first
    QVERIFY(buttons.at(0)->hasFocus());
    press(Qt::Key_Return);
    QTRY_COMPARE(chosen, QList<QString>{QStringLiteral("id0")});
    press(Qt::Key_Right);
    press(Qt::Key_Space);
    QTRY_COMPARE(chosen, (QList<QString>{QStringLiteral("id0"), QStringLiteral("id1")}));

    // From the end of the first row, Down lands on the last button of the short row.
    for (int i = 0; i < 3; ++i)
        press(Qt::Key_Right);
    QVERIFY(buttons.at(4)->hasFocus());
    press(Qt::Key_Down);
    QVERIFY(buttons.at(6)->hasFocus());
}

void tst_HubPopoverViewController::escapeCloses()
{
    Shown shown(makeApps(2), {});
    int closed = 0;
    shown.popover.onDidClose = [&] { ++closed; };
    QTRY_VERIFY(shown.popover.hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!shown.popover.isVisible());
    QCOMPARE(closed, 1);
}

void tst_HubPopoverViewController::placement_data()
{
    QTest::addColumn<QRect>("anchor");
    QTest::addColumn<QPoint>("expected");
    // A 100 × 60 popup; 4 pixels between icon and popup.
    QTest::newRow("panel at the top") << QRect(500, 0, 22, 22) << QPoint(461, 26);
    QTest::newRow("panel at the bottom") << QRect(500, 746, 22, 22) << QPoint(461, 682);
    QTest::newRow("kept on screen at the right") << QRect(1000, 0, 22, 22) << QPoint(924, 26);
    QTest::newRow("kept on screen at the left") << QRect(0, 0, 22, 22) << QPoint(0, 26);
    QTest::newRow("a point only") << QRect(300, 10, 1, 1) << QPoint(251, 15);
}

void tst_HubPopoverViewController::placement()
{
    QFETCH(QRect, anchor);
    QFETCH(QPoint, expected);
    QCOMPARE(HubPopover::placement(QSize(100, 60), anchor, QRect(0, 0, 1024, 768)), expected);
}

QTEST_MAIN(tst_HubPopoverViewController)
#include "tst_hubpopoverviewcontroller.moc"
