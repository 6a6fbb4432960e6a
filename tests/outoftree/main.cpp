// Registers with the hub through the shared client and hears its own "register" come
// back over the bus; prints what it heard.
#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelHubClient.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.ZelSibling"));
    const ZelAppConfig config{QStringLiteral("sibling"), QStringLiteral("Sibling"),
                              QStringLiteral("http://127.0.0.1")};
    ZelApp::configure(config);

    QObject listener;
    DistributedNotificationCenter::defaultCenter()->addObserver(
        &listener, ZelHubProtocol::register_, [](const ZelNotification &n) {
            if (!n.userInfo)
                return;
            const auto id = ZelHubProtocol::stringValue(*n.userInfo, ZelHubProtocol::keyAppID);
            const auto png =
                ZelHubProtocol::dataValue(*n.userInfo, ZelHubProtocol::keyStatusImageData);
            const QImage image = png ? QImage::fromData(*png, "PNG") : QImage();
            std::printf("registered %s png=%dx%d\n", qPrintable(id.value_or(QString())),
                        image.width(), image.height());
            QCoreApplication::exit(0);
        });

    ZelHubClient *client = ZelHubClient::shared();
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::black);
    client->statusBarImage = image;
    client->start(config);
    QTimer::singleShot(20000, &app, [] {
        std::fprintf(stderr, "zelsibling: our own register never came back\n");
        QCoreApplication::exit(1);
    });
    const int status = QCoreApplication::exec();
    client->stop();
    return status;
}
