// Registration figures on a real session bus: the peer is a second process (this same
// executable in peer mode), so every number includes the bus daemon's hop.
//
// Prints "name: value unit" lines. Run it under a private bus:
//   dbus-run-session -- bench_registry
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/LocalNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

const QString benchPath = QStringLiteral("/com/brannel/zelbench");
const QString benchInterface = QStringLiteral("com.brannel.zelbench");

// CLOCK_MONOTONIC is one clock for every process of the machine.
qint64 nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QByteArray png32()
{
    QImage image(32, 32, QImage::Format_RGBA8888);
    image.fill(QColor(40, 120, 200, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void sendBench(const QString &member, const QVariantList &args = {})
{
    QDBusMessage m = QDBusMessage::createSignal(benchPath, benchInterface, member);
    m.setArguments(args);
    QDBusConnection::sessionBus().send(m);
}

// The peer answers each "go" with one post and records when it posted.
class Peer : public QObject
{
    Q_OBJECT
public:
    std::vector<qint64> sent;
public Q_SLOTS:
    void go(int mode, int index)
    {
        const qint64 t = nowNs();
        sent.push_back(t);
        if (mode == 0) {
            sendBench("pong", {index});
        } else {
            QVariantMap info{{"appID", "bench"},
                             {"appName", QStringLiteral("n%1").arg(index)},
                             {"bundleID", ""}};
            if (mode == 2)
                info.insert("statusImageData", m_png);
            DistributedNotificationCenter::defaultCenter()->postNotification(
                ZelHubProtocol::register_, info);
        }
    }
    void burst(int count)
    {
        auto *center = DistributedNotificationCenter::defaultCenter();
        for (int i = 0; i < count; ++i)
            center->postNotification(
                ZelHubProtocol::register_,
                QVariantMap{{"appID", "burst"}, {"appName", QStringLiteral("b%1").arg(i)}});
    }
    void report()
    {
        for (qint64 t : sent)
            std::printf("%lld\n", static_cast<long long>(t));
        std::printf("end\n");
        std::fflush(stdout);
        sent.clear();
    }
    void quit() { QCoreApplication::quit(); }

private:
    QByteArray m_png = png32();
};

int runPeer(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    Peer peer;
    auto bus = QDBusConnection::sessionBus();
    bus.connect(QString(), benchPath, benchInterface, "go", &peer, SLOT(go(int, int)));
    bus.connect(QString(), benchPath, benchInterface, "burst", &peer, SLOT(burst(int)));
    bus.connect(QString(), benchPath, benchInterface, "report", &peer, SLOT(report()));
    bus.connect(QString(), benchPath, benchInterface, "quit", &peer, SLOT(quit()));
    bus.registerService("com.brannel.zelbench.Peer");
    return app.exec();
}

class Receiver : public QObject
{
    Q_OBJECT
public:
    std::vector<qint64> received;
public Q_SLOTS:
    void pong(int) { received.push_back(nowNs()); }
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Sends "go" one at a time and waits for the answer, so each figure is one trip.
std::vector<double> oneWayLatencies(QProcess &peer, int mode, int rounds,
                                    std::vector<qint64> &received)
{
    received.clear();
    for (int i = 0; i < rounds; ++i) {
        const size_t want = received.size() + 1;
        sendBench("go", {mode, i});
        if (!waitUntil([&] { return received.size() >= want; }))
            break;
    }
    sendBench("report");
    std::vector<qint64> sent;
    QByteArray buffer;
    waitUntil([&] {
        peer.waitForReadyRead(5);
        buffer += peer.readAllStandardOutput();
        return buffer.endsWith("end\n");
    });
    for (const QByteArray &line : buffer.split('\n'))
        if (!line.isEmpty() && line != "end")
            sent.push_back(line.toLongLong());
    std::vector<double> us;
    for (size_t i = 0; i < std::min(sent.size(), received.size()); ++i)
        us.push_back(double(received[i] - sent[i]) / 1000.0);
    // The first trips warm caches and the daemon's match tables.
    if (us.size() > 20)
        us.erase(us.begin(), us.begin() + 10);
    return us;
}

double costAtThousandApps(int rounds)
{
    LocalNotificationCenter center;
    struct NoneRunning : RunningApplications
    {
        bool isRunning(const QString &) const override { return true; }
    } running;
    ZelHubServer server(&center, &running);
    server.start();
    // The registry's bound leaves room for the extra one.
    for (int i = 0; i < 999; ++i)
        center.postNotification(ZelHubProtocol::register_,
                                QVariantMap{{"appID", QStringLiteral("app%1").arg(i)},
                                            {"appName", QStringLiteral("App %1").arg(i)}});
    QCoreApplication::processEvents();
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        center.postNotification(
            ZelHubProtocol::register_,
            QVariantMap{{"appID", "extra"}, {"appName", QStringLiteral("Extra %1").arg(i)}});
        QCoreApplication::processEvents();
        us.push_back(double(timer.nsecsElapsed()) / 1000.0);
        center.postNotification(ZelHubProtocol::unregister, QVariantMap{{"appID", "extra"}});
        QCoreApplication::processEvents();
    }
    server.stop();
    return median(us);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("ZEL_BENCH_PEER"))
        return runPeer(argc, argv);

    QGuiApplication app(argc, argv);
    const bool quick = qEnvironmentVariableIsSet("ZEL_BENCH_QUICK");
    const int rounds = quick ? 30 : 1000;
    const int burst = quick ? 500 : 20000;

    // The server logs one line per registration; keep the figures readable.
    const int savedStderr = dup(STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);

    QProcess peer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_BENCH_PEER", "1");
    peer.setProcessEnvironment(env);
    peer.start(QCoreApplication::applicationFilePath(), {});
    peer.waitForStarted();
    waitUntil([] {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(
            "com.brannel.zelbench.Peer");
    });

    Receiver receiver;
    QDBusConnection::sessionBus().connect(QString(), benchPath, benchInterface, "pong", &receiver,
                                          SLOT(pong(int)));
    ZelHubServer server;
    std::vector<qint64> registered;
    server.onRegistryChanged = [&] { registered.push_back(nowNs()); };
    server.start();

    const double raw = median(oneWayLatencies(peer, 0, rounds, receiver.received));
    const double reg = median(oneWayLatencies(peer, 1, rounds, registered));
    const double regPng = median(oneWayLatencies(peer, 2, rounds, registered));

    registered.clear();
    const qint64 start = nowNs();
    sendBench("burst", {burst});
    waitUntil([&] { return int(registered.size()) >= burst; }, 120000);
    const double seconds = double(registered.empty() ? 0 : registered.back() - start) / 1e9;
    const double throughput = seconds > 0 ? double(registered.size()) / seconds : 0;

    const double cost = costAtThousandApps(quick ? 20 : 500);
    server.stop();
    sendBench("quit");
    peer.waitForFinished(5000);

    dup2(savedStderr, STDERR_FILENO);
    std::printf("raw_signal_latency_us: %.1f us\n", raw);
    std::printf("register_latency_us: %.1f us\n", reg);
    std::printf("register_latency_ratio_to_raw: %.2f x\n", raw > 0 ? reg / raw : 0);
    std::printf("register_latency_png_us: %.1f us\n", regPng);
    std::printf("register_latency_png_ratio_to_raw: %.2f x\n", raw > 0 ? regPng / raw : 0);
    std::printf("register_throughput_per_s: %.0f /s\n", throughput);
    std::printf("register_cost_at_1000_apps_us: %.1f us\n", cost);
    return registered.size() >= size_t(burst) ? 0 : 1;
}

#include "bench_registry.moc"
