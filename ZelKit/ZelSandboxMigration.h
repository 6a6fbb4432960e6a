#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

// Carries an application's data once out of its former sandbox container
// (~/Library/Containers/<bundle id>/Data) to the standard per-user locations. Safe to
// call at every launch.
class ZELKIT_EXPORT ZelSandboxMigration
{
public:
    ZelSandboxMigration() = delete;

    // Merges the container's preferences into the standard defaults (keys already set
    // are kept) and copies its support folder (or file) to $XDG_DATA_HOME/<bundle id>
    // unless something is there already; a link there that leads nowhere is nothing. Done once:
    // "ZelKit.sandboxMigrated" records it. A copy that fails leaves nothing behind and the flag
    // unset, so the next launch retries.
    static void migrateFromContainerIfNeeded(const QString &bundleID);
};
