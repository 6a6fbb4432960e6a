#include "RunningApplications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace {

class BusRunningApplications final : public RunningApplications
{
public:
    bool isRunning(const QString &bundleID) const override
    {
        if (!isValidBusName(bundleID))
            return false;
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        if (!bus)
            return false;
        const QDBusReply<bool> reply = bus->isServiceRegistered(bundleID);
        return reply.isValid() && reply.value();
    }
};

bool isElementChar(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'-';
}

} // namespace

RunningApplications::~RunningApplications() = default;

std::optional<QIcon> RunningApplications::icon(const QString &bundleID) const
{
    if (!isRunning(bundleID) || !QIcon::hasThemeIcon(bundleID))
        return std::nullopt;
    return QIcon::fromTheme(bundleID);
}

RunningApplications *RunningApplications::system()
{
    static BusRunningApplications running;
    return &running;
}

bool RunningApplications::isValidBusName(const QString &name)
{
    // Only well-known names: a unique name (":1.42") is not an application id.
    if (name.isEmpty() || name.size() > 255 || name.startsWith(u':'))
        return false;
    const auto elements = QStringView(name).split(u'.');
    if (elements.size() < 2)
        return false;
    for (const auto &e : elements) {
        if (e.isEmpty() || e.front().isDigit())
            return false;
        for (QChar c : e)
            if (!isElementChar(c))
                return false;
    }
    return true;
}
