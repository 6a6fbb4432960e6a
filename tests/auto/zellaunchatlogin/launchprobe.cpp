// launchprobe enable|disable APPID: switches launch at login for APPID from wherever this
// executable sits, then prints "enabled" or "disabled" as read back.
#include <ZelKit/ZelLaunchAtLogin.h>

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[2]));
    ZelLaunchAtLogin::setEnabled(std::strcmp(argv[1], "enable") == 0);
    std::puts(ZelLaunchAtLogin::isEnabled() ? "enabled" : "disabled");
    return 0;
}
