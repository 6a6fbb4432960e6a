// From a tray host's Activate call to the hub's popup on screen, offscreen: the hub's own
// delegate prunes, discovers and builds a grid of ten siblings on the way. The host is a
// second bus connection on its own thread, so every call goes through the bus daemon and
// the item is served by the main thread's event loop as in the hub.
//
// Prints "name: value unit" lines. Run it under a private bus:
//   dbus-run-session -- bench_sni_activate_to_popup
#include "AppDelegate.h"
#include "HubPopover.h"

#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/SniStatusItem.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// When the hub's popup was last shown, and whether it is open; written on the main
// thread, read by the host's.
struct Popup
{
    std::atomic<Clock::rep> shownAt{0};
    std::atomic_bool open{false};
};

// Our StatusNotifierItem, taken as shown: the bench has no watcher, its host calls the
// item directly.
class ShownItem : public ZelStatusItem
{
public:
    explicit ShownItem(QObject *parent) : ZelStatusItem(parent)
    {
        m_item = new SniStatusItem(QDBusConnection::sessionBus(), this);
        m_item->onClicked = [this](const Click &click) { reportClick(click); };
    }
    bool isAvailable() const override { return true; }
    void setIcon(const QIcon &icon) override { m_item->setIcon(icon); }
    void setToolTip(const QString &text) override { m_item->setToolTip(text); }
    void setVisible(bool visible) override { m_item->setVisible(visible); }
    QRect geometry() const override { return {}; }

private:
    SniStatusItem *m_item = nullptr;
};

class Host : public QThread
{
public:
    Host(QString service, int rounds, Popup *popup)
        : m_service(std::move(service)), m_rounds(rounds), m_popup(popup)
    {}
    std::vector<double> millis;

protected:
    void run() override
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                            QStringLiteral("bench-host"));
        for (int i = 0; i < m_rounds; ++i) {
            m_popup->shownAt = 0;
            QDBusMessage call = QDBusMessage::createMethodCall(
                m_service, QStringLiteral("/StatusNotifierItem"),
                QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
            call << 812 << 24;
            const Clock::time_point start = Clock::now();
            bus.call(call);
            while (m_popup->shownAt == 0)
                QThread::usleep(50);
            const auto shown = Clock::time_point(Clock::duration(m_popup->shownAt.load()));
            millis.push_back(std::chrono::duration<double, std::milli>(shown - start).count());
            // Let the main thread close the popup before the next round.
            while (m_popup->open)
                QThread::usleep(50);
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("bench-host"));
    }

private:
    QString m_service;
    int m_rounds;
    Popup *m_popup;
};

// The offscreen platform says at every popup that it cannot grab or raise; the figures
// should not drown in that.
void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QLatin1String("This plugin does not support")))
        return;
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    const int rounds = qEnvironmentVariableIsSet("ZEL_BENCH_QUICK") ? 5 : 200;

    // The hub as it runs, with ten siblings in its grid.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    AppDelegate delegate([](QObject *parent) { return new ShownItem(parent); });
    delegate.applicationDidFinishLaunching();
    for (int i = 0; i < 10; ++i)
        DistributedNotificationCenter::defaultCenter()->postNotification(
            ZelHubProtocol::register_,
            QVariantMap{{ZelHubProtocol::keyAppID, QStringLiteral("app%1").arg(i)},
                        {ZelHubProtocol::keyAppName, QStringLiteral("Zel app %1").arg(i)}});
    while (delegate.server().apps().size() < 10)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    Popup popup;
    HubPopover *bubble = delegate.bubble();
    bubble->onDidShow = [&] {
        delegate.popoverDidShow();
        popup.open = true;
        popup.shownAt = Clock::now().time_since_epoch().count();
        // Closed on the next turn of the loop, as an outside click would.
        QTimer::singleShot(0, bubble, &HubPopover::performClose);
    };
    bubble->onDidClose = [&] {
        delegate.popoverDidClose();
        popup.open = false;
    };

    Host host(QDBusConnection::sessionBus().baseService(), rounds, &popup);
    QObject::connect(&host, &QThread::finished, &app, &QCoreApplication::quit);
    host.start();
    QApplication::exec();
    host.wait();

    std::printf("sni_activate_to_popup_ms: %.3f ms\n", median(host.millis));
    return host.millis.size() == size_t(rounds) ? 0 : 1;
}
