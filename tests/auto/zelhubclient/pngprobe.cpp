// Renders a 16 × 16 point status image through a started client in a process of its
// own, so that the screen (or its absence) is the one the process was started with.
// Prints the PNG's pixel size, e.g. "32x32", or "none".
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/LocalNotificationCenter.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
class ProbeClient : public ZelHubClient
{
public:
    explicit ProbeClient(DistributedNotificationCenter *center) : ZelHubClient(center) {}
};
} // namespace

int main(int argc, char *argv[])
{
    const bool gui = argc > 1 && std::strcmp(argv[1], "gui") == 0;
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    LocalNotificationCenter center;
    ProbeClient client(&center);
    QObject observer;
    QString result = QStringLiteral("none");
    center.addObserver(&observer, ZelHubProtocol::register_, [&](const ZelNotification &n) {
        const auto data =
            ZelHubProtocol::dataValue(*n.userInfo, ZelHubProtocol::keyStatusImageData);
        if (!data)
            return;
        const QImage png = QImage::fromData(*data, "PNG");
        result = QStringLiteral("%1x%2").arg(png.width()).arg(png.height());
    });
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::red);
    client.statusBarImage = image;
    client.start({QStringLiteral("probe"), QStringLiteral("Probe"), QString()});
    std::printf("%s\n", qPrintable(result));
    return 0;
}
