// From a tray host's Activate call to the popup on screen, offscreen. The host is a
// second bus connection on its own thread, so every call goes through the bus daemon and
// the item is served by the main thread's event loop as in the hub.
//
// Prints "name: value unit" lines. Run it under a private bus:
//   dbus-run-session -- bench_sni_activate_to_popup
#include <ZelKit/platform/SniStatusItem.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A popup of the hub's kind: a frameless Qt::Popup holding a grid of buttons.
class Popup : public QWidget
{
public:
    Popup() : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint)
    {
        auto *layout = new QVBoxLayout(this);
        for (int i = 0; i < 10; ++i)
            layout->addWidget(new QLabel(QStringLiteral("Zel app %1").arg(i)));
    }
    std::atomic<Clock::rep> shownAt{0};
    std::atomic_bool open{false};

protected:
    void showEvent(QShowEvent *event) override
    {
        QWidget::showEvent(event);
        open = true;
        shownAt = Clock::now().time_since_epoch().count();
    }
    void hideEvent(QHideEvent *event) override
    {
        QWidget::hideEvent(event);
        open = false;
    }
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

    SniStatusItem item(QDBusConnection::sessionBus());
    Popup popup;
    item.onClicked = [&popup](const ZelStatusItem::Click &click) {
        if (click.position)
            popup.move(*click.position);
        popup.show();
        // Closed on the next turn of the loop, as an outside click would.
        QTimer::singleShot(0, &popup, &QWidget::hide);
    };

    Host host(QDBusConnection::sessionBus().baseService(), rounds, &popup);
    QObject::connect(&host, &QThread::finished, &app, &QCoreApplication::quit);
    host.start();
    QApplication::exec();
    host.wait();

    std::printf("sni_activate_to_popup_ms: %.3f ms\n", median(host.millis));
    return host.millis.size() == size_t(rounds) ? 0 : 1;
}
