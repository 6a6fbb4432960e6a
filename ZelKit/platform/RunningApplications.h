#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QIcon>
#include <QString>

#include <optional>

// Which applications run, by bundle identifier (freedesktop application id). On the
// desktop an application runs exactly when its id is an owned well-known bus name.
class ZELKIT_EXPORT RunningApplications
{
public:
    virtual ~RunningApplications();

    virtual bool isRunning(const QString &bundleID) const = 0;
    // The icon of the running application: its icon-theme icon. None when it does not
    // run or the theme has no icon of that name.
    virtual std::optional<QIcon> icon(const QString &bundleID) const;

    // The session bus's view, shared by the process.
    static RunningApplications *system();

    static bool isValidBusName(const QString &name);
};
