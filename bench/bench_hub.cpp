// The hub's own figures, offscreen on a private bus: how soon a started hub asks its
// siblings in, how long the popup takes to open over a large registry, what an idle hub
// costs in CPU and memory, and how it takes floods: bursts of registrations (beside the
// bare registry server in this process), images far larger than it shows, a hostile id.
// The process figures are taken from a real ZelHub, counted from its log; the popup's
// from the hub's own delegate in this process.
//
// Prints "name: value unit" lines on standard output; the registry's log lines go to
// standard error. Run it under a private bus:
//   dbus-run-session -- bench_hub 2>/dev/null
#include "AppDelegate.h"
#include "HubPopover.h"

#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DBusMenuExporter.h>
#include <ZelKit/ZelHubServer.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>

#include <QApplication>
#include <QBuffer>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

class ShownItem : public ZelStatusItem
{
public:
    using ZelStatusItem::ZelStatusItem;
    bool isAvailable() const override { return true; }
    void setIcon(const QIcon &) override {}
    void setToolTip(const QString &) override {}
    void setVisible(bool) override {}
    QRect geometry() const override { return {979, 1, 22, 22}; }
};

// The offscreen platform says at every popup that it cannot grab or raise.
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

QByteArray png32(int seed, int side = 32)
{
    QImage image(side, side, QImage::Format_RGBA8888);
    image.fill(QColor(seed * 37 % 256, 120, 200, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Siblings as the hub hears them: a name, a symbol or an image, and a title.
void registerSiblings(int n)
{
    for (int i = 0; i < n; ++i) {
        QVariantMap info{{ZelHubProtocol::keyAppID, QStringLiteral("app%1").arg(i)},
                         {ZelHubProtocol::keyAppName, QStringLiteral("Zel app %1").arg(i)}};
        if (i % 2)
            info.insert(ZelHubProtocol::keyStatusImageData, png32(i));
        else
            info.insert(ZelHubProtocol::keyStatusSymbolName, QStringLiteral("text-x-generic"));
        if (i % 3 == 0)
            info.insert(ZelHubProtocol::keyStatusTitle, QString::number(i));
        DistributedNotificationCenter::defaultCenter()->postNotification(ZelHubProtocol::register_,
                                                                         info);
    }
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void post(const QVariantMap &info)
{
    DistributedNotificationCenter::defaultCenter()->postNotification(ZelHubProtocol::register_,
                                                                     info);
}

// Left click to popup shown: prune, discover, grid rebuild and show.
double popupOpenMs(int apps, int rounds)
{
    AppDelegate delegate([](QObject *parent) { return new ShownItem(parent); });
    delegate.applicationDidFinishLaunching();
    registerSiblings(apps);
    // Measured over what has arrived by then, however slow the registry is.
    waitUntil([&] { return delegate.server().apps().size() >= apps; }, 120000);
    std::vector<double> millis;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        delegate.statusClicked(ZelStatusItem::Click{});
        if (!delegate.bubble()->isVisible())
            return -1;
        millis.push_back(double(timer.nsecsElapsed()) / 1e6);
        delegate.bubble()->performClose();
        // The siblings' answers to that discover, before the next round.
        QCoreApplication::processEvents();
    }
    delegate.applicationWillTerminate();
    return median(millis);
}

// A foreign reader's AboutToShow + GetLayout round trip on the hub's D-Bus menu, as a
// StatusNotifierItem host does it before drawing the menu.
double menuLayoutMs(int apps, int rounds)
{
    AppDelegate delegate([](QObject *parent) { return new ShownItem(parent); });
    delegate.applicationDidFinishLaunching();
    DBusMenuExporter exporter(QDBusConnection::sessionBus(), QStringLiteral("/MenuBar"),
                              delegate.contextMenu());
    registerSiblings(apps);
    if (!exporter.isExported() ||
        !waitUntil([&] { return delegate.server().apps().size() >= apps; }))
        return -1;
    const QString script = QStringLiteral(
        "import dbus, sys, time\n"
        "menu = dbus.Interface(dbus.SessionBus().get_object(sys.argv[1], '/MenuBar'),\n"
        "                      'com.canonical.dbusmenu')\n"
        "times = []\n"
        "for _ in range(int(sys.argv[2])):\n"
        "    start = time.perf_counter()\n"
        "    menu.AboutToShow(0)\n"
        "    menu.GetLayout(0, -1, [])\n"
        "    times.append((time.perf_counter() - start) * 1000)\n"
        "print(sorted(times)[len(times) // 2])\n");
    QProcess reader;
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), script, QDBusConnection::sessionBus().baseService(),
                  QString::number(rounds)});
    // The hub answers from this thread's event loop while the reader runs.
    if (!waitUntil([&] { return reader.state() == QProcess::NotRunning; }))
        return -1;
    delegate.applicationWillTerminate();
    bool ok = false;
    const double ms = reader.readAllStandardOutput().trimmed().toDouble(&ok);
    return ok ? ms : -1;
}

// A real hub process. Its lines on standard error are kept for waiting on.
class HubProcess
{
public:
    explicit HubProcess(const QString &home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_DATA_HOME", home + "/data");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~HubProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    void start() { m_process.start(QStringLiteral(ZEL_HUB_PATH), {}); }
    bool waitForErr(const QString &text, int timeoutMs = 30000)
    {
        return waitUntil(
                   [&] {
                       read();
                       return m_err.contains(text.toUtf8()) ||
                              m_process.state() == QProcess::NotRunning;
                   },
                   timeoutMs) &&
               m_err.contains(text.toUtf8());
    }
    // Milliseconds since `since` until the hub has logged `count` registrations in all,
    // or -1.
    double msUntilRegistered(qint64 count, const QElapsedTimer &since, int timeoutMs = 120000)
    {
        const bool done = waitUntil(
            [&] {
                read();
                return m_registered >= count || m_process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return done && m_registered >= count ? double(since.nsecsElapsed()) / 1e6 : -1;
    }
    qint64 registered() const { return m_registered; }
    qint64 pid() const { return m_process.processId(); }

private:
    void read()
    {
        const QByteArray chunk = m_process.readAllStandardError();
        m_err += chunk;
        m_partial += chunk;
        const qsizetype end = m_partial.lastIndexOf('\n');
        if (end < 0)
            return;
        m_registered += m_partial.left(end).count("[ZelHub] registered ");
        m_partial.remove(0, end + 1);
    }

    QProcess m_process;
    QByteArray m_err;
    QByteArray m_partial;
    qint64 m_registered = 0;
};

// A burst of `count` registrations over `ids` ids; each round over them brings the next
// image, if any.
void burst(int count, int ids, const QList<QByteArray> &images)
{
    for (int i = 0; i < count; ++i) {
        QVariantMap info{{ZelHubProtocol::keyAppID, QStringLiteral("burst%1").arg(i % ids)},
                         {ZelHubProtocol::keyAppName, QStringLiteral("Burst %1").arg(i % ids)}};
        if (!images.isEmpty())
            info.insert(ZelHubProtocol::keyStatusImageData, images.at(i / ids % images.size()));
        post(info);
    }
}

// utime + stime of a process, in clock ticks.
long long cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The command name may hold spaces; the fields after its closing parenthesis do not.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line; the state (field 3) is the first after the name.
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

double rssMb(qint64 pid, const QByteArray &field = "VmRSS:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    const bool quick = qEnvironmentVariableIsSet("ZEL_BENCH_QUICK");
    QTemporaryDir home;
    bool ok = home.isValid();

    // Process start to the first "discover" on the bus.
    {
        std::vector<double> millis;
        QElapsedTimer timer;
        bool seen = false;
        const auto observer = std::make_unique<QObject>();
        DistributedNotificationCenter::defaultCenter()->addObserver(
            observer.get(), ZelHubProtocol::discover, [&](const ZelNotification &) {
                if (!seen)
                    millis.push_back(double(timer.nsecsElapsed()) / 1e6);
                seen = true;
            });
        for (int i = 0; i < (quick ? 1 : 7) && ok; ++i) {
            seen = false;
            HubProcess hub(home.path());
            timer.start();
            hub.start();
            ok = waitUntil([&] { return seen; });
        }
        DistributedNotificationCenter::defaultCenter()->removeObserver(observer.get());
        std::printf("hub_start_to_discover_ms: %.1f ms\n", median(millis));
    }

    for (const int apps : {50, 500}) {
        const double ms = popupOpenMs(apps, quick ? 2 : 30);
        ok = ok && ms >= 0;
        std::printf("popup_open_ms_%d_apps: %.2f ms\n", apps, ms);
    }

    {
        const double ms = menuLayoutMs(50, quick ? 3 : 200);
        ok = ok && ms >= 0;
        std::printf("menu_layout_ms: %.2f ms\n", ms);
    }

    // An idle hub with ten siblings, then the same hub holding a hundred.
    {
        HubProcess hub(home.path());
        hub.start();
        ok = ok && hub.waitForErr("[ZelHub] server started");
        registerSiblings(10);
        ok = ok && hub.waitForErr(" 10 app(s) now");
        // Let the registrations' work settle before counting.
        QThread::sleep(1);
        const long long before = cpuTicks(hub.pid());
        QThread::sleep(quick ? 2 : 30);
        const long long after = cpuTicks(hub.pid());
        ok = ok && before >= 0 && after >= 0;
        std::printf("hub_idle_cpu_ticks_%ds: %lld ticks (%ld per second)\n", quick ? 2 : 30,
                    after - before, sysconf(_SC_CLK_TCK));

        registerSiblings(100);
        ok = ok && hub.waitForErr(" 100 app(s) now");
        std::printf("hub_rss_mb_100_apps: %.1f MB\n", rssMb(hub.pid()));
    }

    // The bare registry server on the same bus, for the hub's bursts to be read against.
    {
        ZelHubServer server;
        int applied = 0;
        server.onRegistryChanged = [&] { ++applied; };
        server.start();
        QElapsedTimer timer;
        timer.start();
        burst(1000, 1000, {});
        const bool done = waitUntil([&] { return applied >= 1000; }, 120000);
        std::printf("server_burst_1000_ms: %.1f ms\n", done ? timer.nsecsElapsed() / 1e6 : -1.0);
        server.stop();
    }

    // Floods into a real hub: distinct ids, then ten rounds over them with a new image
    // each time, so that every registration is a change; then a 64 KB id of combining
    // marks, measured until a probe registered after it is applied.
    {
        HubProcess hub(home.path());
        hub.start();
        ok = ok && hub.waitForErr("[ZelHub] server started");
        QElapsedTimer timer;
        timer.start();
        burst(1000, 1000, {});
        double ms = hub.msUntilRegistered(1000, timer);
        std::printf("hub_burst_1000_ms: %.1f ms\n", ms);
        QList<QByteArray> images;
        for (int round = 0; round < 10; ++round)
            images.append(png32(round));
        timer.start();
        burst(10000, 1000, images);
        ms = hub.msUntilRegistered(11000, timer);
        std::printf("hub_burst_10000_ms: %.1f ms\n", ms);

        // Medians over a few rounds, each a probe alone and then the hostile id followed
        // by a probe, once the hub is done with the bursts.
        QString hostile = QStringLiteral("a");
        hostile += QString(16000, QChar(0x301)) + QString(16000, QChar(0x316));
        std::vector<double> alone, afterHostile;
        for (int round = 0; round < 7; ++round) {
            for (const bool withHostile : {false, true}) {
                const qint64 before = hub.registered();
                timer.start();
                if (withHostile)
                    post({{ZelHubProtocol::keyAppID, hostile}});
                post({{ZelHubProtocol::keyAppID, QStringLiteral("burst0")},
                      {ZelHubProtocol::keyStatusTitle, QString::number(2 * round + withHostile)}});
                (withHostile ? afterHostile : alone)
                    .push_back(hub.msUntilRegistered(before + 1, timer));
            }
        }
        std::printf("probe_alone_ms: %.2f ms\n", median(alone));
        std::printf("hostile_id_64k_ms: %.2f ms\n", median(afterHostile));
        ok = ok && ms >= 0;
    }

    // A thousand apps, each sending a 1024 × 1024 PNG.
    {
        HubProcess hub(home.path());
        hub.start();
        ok = ok && hub.waitForErr("[ZelHub] server started");
        QElapsedTimer timer;
        timer.start();
        burst(1000, 1000, {png32(1, 1024)});
        const bool done = hub.msUntilRegistered(1000, timer) >= 0;
        std::printf("hub_rss_mb_1000_apps_1024px: %.1f MB\n", done ? rssMb(hub.pid()) : -1.0);
        std::printf("hub_peak_rss_mb_1000_apps_1024px: %.1f MB\n",
                    done ? rssMb(hub.pid(), "VmHWM:") : -1.0);
        ok = ok && done;
    }
    return ok ? 0 : 1;
}
