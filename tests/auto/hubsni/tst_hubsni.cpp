// The hub as a StatusNotifierItem host sees it: a watcher and host of our own on the
// test's private bus, the hub's delegate with its real status item, and a real ZelDemo
// sibling that says what the hub asked of it.
#include "AppDelegate.h"
#include "ChildProcess.h"
#include "HubPopover.h"
#include "HubPopoverViewController.h"
#include "SniTestHost.h"

#include <ZelKit/platform/AutoStatusItem.h>
#include <ZelKit/platform/SniStatusItem.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QToolButton>

#include <memory>

namespace {

QJsonObject props(SniTestHost &host)
{
    host.send("props");
    const std::optional<QString> line = host.take("props ");
    return line ? QJsonDocument::fromJson(line->mid(6).toUtf8()).object() : QJsonObject();
}

std::unique_ptr<ChildProcess> startDemo(const QString &id, const QString &name)
{
    auto demo = std::make_unique<ChildProcess>(
        QStringLiteral("examples/ZelDemo/ZelDemo"),
        QStringList{"--id", id, "--name", name, "--app-id", "com.example.Demo." + id});
    if (!demo->start() || demo->waitForLine(QStringLiteral("ready")).isEmpty())
        return nullptr;
    return demo;
}

} // namespace

class tst_HubSni : public QObject
{
    Q_OBJECT
private slots:
    void hubOnAStatusNotifierHost();
};

void tst_HubSni::hubOnAStatusNotifierHost()
{
    SniTestHost host;
    QVERIFY(host.start());
    auto demo = startDemo(QStringLiteral("alpha"), QStringLiteral("Alpha"));
    QVERIFY(demo);

    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    auto *item = qobject_cast<AutoStatusItem *>(delegate.statusItem());
    QVERIFY(item);
    QVERIFY(host.take("registered " + item->statusNotifierItem()->serviceName()));
    QVERIFY(SniTestHost::waitUntil([&] { return item->isAvailable(); }));
    QTRY_COMPARE(delegate.server().apps().size(), 1);

    // What the host shows: the glyph, drawn, and the tool tip.
    const QJsonObject p = props(host);
    QCOMPARE(p.value("Title").toString(), QStringLiteral("ZelHub"));
    QCOMPARE(p.value("ToolTip").toObject().value("title").toString(),
             QStringLiteral("ZelHub — click to open the hub"));
    const QJsonArray pixmaps = p.value("IconPixmap").toArray();
    QVERIFY(!pixmaps.isEmpty());
    for (const QJsonValue &pixmap : pixmaps) {
        const QJsonObject o = pixmap.toObject();
        const int area = o.value("width").toInt() * o.value("height").toInt();
        // Covered, but not everywhere: nine squares with gaps between them.
        QVERIFY2(o.value("opaque").toInt() > area / 5, qPrintable(QJsonDocument(o).toJson()));
        QVERIFY(o.value("opaque").toInt() < area * 3 / 5);
    }

    // A left click where the host says: the popup opens below that point, and the icon
    // chosen there sends the sibling the host's point as anchor, y counted upward.
    host.send("call Activate 812 24");
    QVERIFY(host.take("reply Activate ok"));
    QTRY_VERIFY(delegate.bubbleOpen());
    QVERIFY(delegate.bubble()->isVisible());
    QCOMPARE(delegate.bubble()->y(), 24 + 1 + 4);
    QTRY_COMPARE(delegate.bubbleVC()->buttons().size(), 1);
    QToolButton *alpha = delegate.bubbleVC()->buttons().first();
    QTest::mouseClick(alpha, Qt::LeftButton, {}, alpha->rect().center());
    QVERIFY(!delegate.bubbleOpen());
    const int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    QCOMPARE(demo->waitForLine(QStringLiteral("activate ")),
             QStringLiteral("activate anchor=812.0,%1.0").arg(screenHeight - 24));

    // A right click there: the hub's own menu, at the host's point.
    host.send("call ContextMenu 500 30");
    QVERIFY(host.take("reply ContextMenu ok"));
    QTRY_VERIFY(delegate.contextMenu());
    QStringList titles;
    for (QAction *action : delegate.contextMenu()->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    QCOMPARE(titles,
             (QStringList{"ZelHub", "-", "1 Zel app", "Hide Zel Icons", "-", "Quit ZelHub"}));
    QTRY_VERIFY(delegate.contextMenu()->isVisible());
    QCOMPARE(delegate.contextMenu()->pos(), QPoint(500, 30));
    delegate.contextMenu()->close();
    QTRY_VERIFY(!delegate.contextMenu());

    // The host goes away and another comes: the hub registers with the new one.
    host.quit();
    QTRY_VERIFY(!item->isAvailable());
    SniTestHost second;
    QVERIFY(second.start());
    QVERIFY(second.take("registered " + item->statusNotifierItem()->serviceName()));
    QVERIFY(SniTestHost::waitUntil([&] { return item->isAvailable(); }));
    // A host that does not know the position sends (0, 0): the cursor at the click
    // stands in.
    QCursor::setPos(300, 40);
    QTRY_COMPARE(QCursor::pos(), QPoint(300, 40));
    second.send("call Activate 0 0");
    QVERIFY(second.take("reply Activate ok"));
    QTRY_VERIFY(delegate.bubbleOpen());
    QTRY_COMPARE(delegate.bubbleVC()->buttons().size(), 1);
    delegate.bubbleVC()->iconClicked(0);
    QCOMPARE(demo->waitForLine(QStringLiteral("activate ")),
             QStringLiteral("activate anchor=300.0,%1.0").arg(screenHeight - 40));

    delegate.applicationWillTerminate();
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelHub"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    tst_HubSni test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hubsni.moc"
