#include "ZelLaunchAtLogin.h"

#include "ZelApp.h"
#include "platform/XdgAutostart.h"
#include "platform/ZelLog.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {

XdgAutostart entryOfThisApplication()
{
    return XdgAutostart(QGuiApplication::desktopFileName());
}

QString displayName()
{
    if (const std::optional<ZelAppConfig> config = ZelApp::config();
        config && !config->name.isEmpty())
        return config->name;
    if (const QString name = QGuiApplication::applicationDisplayName(); !name.isEmpty())
        return name;
    return QGuiApplication::desktopFileName();
}

} // namespace

bool ZelLaunchAtLogin::isEnabled()
{
    return entryOfThisApplication().status() == XdgAutostart::Status::Enabled;
}

void ZelLaunchAtLogin::setEnabled(bool enabled)
{
    const XdgAutostart entry = entryOfThisApplication();
    const std::optional<QString> error =
        enabled ? entry.install(QCoreApplication::applicationFilePath(), displayName())
                : entry.remove();
    if (error)
        ZelLog::write(QStringLiteral("[ZelKit] Launch at login error: ") + *error);
}
