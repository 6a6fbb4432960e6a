#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

// On the desktop an application runs exactly when its application id is an owned
// well-known name on the session bus. These claim and give back that name.
class ZELKIT_EXPORT ApplicationBusName
{
public:
    ApplicationBusName() = delete;

    // Queues behind a running instance instead of failing, and lets a newer instance
    // that asks to replace us take over. False when the name is not a valid bus name or
    // the bus refused.
    static bool request(const QString &name);
    // Takes the name only when nobody holds it, for an application that must run once;
    // false when another instance has it (or the bus refused).
    static bool claimSole(const QString &name);
    static void release(const QString &name);
};
