#include <ZelKit/ZelHubServer.h>

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelHub"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brannel.ZelHub"));
    QApplication::setQuitOnLastWindowClosed(false);

    ZelHubServer server;
    server.start();
    const int status = QApplication::exec();
    server.stop();
    return status;
}
