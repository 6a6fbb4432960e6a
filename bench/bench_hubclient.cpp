// Hub client figures. Prints "name: value unit" lines; run it under a private bus:
//   dbus-run-session -- bench_hubclient
// png_render_us: median time to render a 16 × 16 point status image as PNG at factor 2.
// discover_roundtrip_ms_20_siblings: median time from posting "discover" to the 20th
// "register" answer arriving, with 20 client processes (this executable in sibling mode).
#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int siblingCount = 20;

bool quick()
{
    return qEnvironmentVariableIntValue("ZEL_BENCH_QUICK") != 0;
}

QImage statusImage()
{
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::black);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    return image;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
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

int runSibling(int argc, char **argv, const QString &id)
{
    // No GUI application: the client renders at factor 2, as on a dense screen.
    QCoreApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelBench.") + id);
    const ZelAppConfig config{id, QStringLiteral("Bench ") + id,
                              QStringLiteral("http://127.0.0.1")};
    ZelHubClient *client = ZelHubClient::shared();
    client->statusBarImage = statusImage();
    client->start(config);
    return QCoreApplication::exec();
}

double pngRenderMicroseconds(int rounds)
{
    const QImage image = statusImage();
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        const auto png = ZelHubClient::renderStatusImagePNG(image, 2.0);
        us.push_back(double(timer.nsecsElapsed()) / 1000.0);
        if (!png)
            return -1;
    }
    return median(us);
}

double discoverRoundTripMs(int argc, char **argv, int rounds)
{
    auto *center = DistributedNotificationCenter::defaultCenter();
    QObject hub;
    QSet<QString> answered;
    qint64 lastArrival = 0;
    QElapsedTimer clock;
    clock.start();
    center->addObserver(&hub, ZelHubProtocol::register_, [&](const ZelNotification &n) {
        if (!n.userInfo)
            return;
        if (const auto id = ZelHubProtocol::stringValue(*n.userInfo, ZelHubProtocol::keyAppID)) {
            answered.insert(*id);
            lastArrival = clock.nsecsElapsed();
        }
    });

    std::vector<std::unique_ptr<QProcess>> siblings;
    for (int i = 0; i < siblingCount; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QString::fromLocal8Bit(argv[0]), {"--sibling", QStringLiteral("s%1").arg(i)});
        siblings.push_back(std::move(p));
    }
    Q_UNUSED(argc);
    // Every sibling's own first "register" says it is up and subscribed.
    const bool up = waitUntil([&] { return answered.size() >= siblingCount; });

    std::vector<double> ms;
    for (int r = 0; up && r < rounds; ++r) {
        answered.clear();
        const qint64 start = clock.nsecsElapsed();
        center->postNotification(ZelHubProtocol::discover, std::nullopt);
        if (!waitUntil([&] { return answered.size() >= siblingCount; }))
            break;
        ms.push_back(double(lastArrival - start) / 1e6);
        // Let stragglers' duplicate answers drain before the next round.
        waitUntil([] { return false; }, 20);
    }
    for (auto &p : siblings) {
        p->terminate();
        p->waitForFinished(5000);
    }
    return ms.empty() ? -1 : median(ms);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--sibling") == 0)
        return runSibling(argc, argv, QString::fromLocal8Bit(argv[2]));

    QCoreApplication app(argc, argv);
    std::printf("png_render_us: %.1f us\n", pngRenderMicroseconds(quick() ? 50 : 5000));
    std::fflush(stdout);
    std::printf("discover_roundtrip_ms_20_siblings: %.2f ms\n",
                discoverRoundTripMs(argc, argv, quick() ? 3 : 50));
    return 0;
}
