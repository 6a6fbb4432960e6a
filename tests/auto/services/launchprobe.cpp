// launchprobe APPID turns launch at login on for APPID from wherever this copy sits.
// Started without arguments, as a session starts it from that entry, it writes its own
// path to the file $ZEL_PROBE_OUT.
#include <ZelKit/ZelLaunchAtLogin.h>

#include <QFile>
#include <QGuiApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 2) {
        QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[1]));
        ZelLaunchAtLogin::setEnabled(true);
        return ZelLaunchAtLogin::isEnabled() ? 0 : 1;
    }
    QFile out(qEnvironmentVariable("ZEL_PROBE_OUT"));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(QCoreApplication::applicationFilePath().toUtf8());
    return 0;
}
