#pragma once

#include <ZelKit/ZelKitExport.h>

// Whether the application starts when the user logs in: an XDG autostart entry named
// after the application id. The entry is the only record; nothing is cached.
class ZELKIT_EXPORT ZelLaunchAtLogin
{
public:
    ZelLaunchAtLogin() = delete;

    // Read afresh on every call: the entry exists and is not switched off.
    static bool isEnabled();
    // Writes (true) or removes (false) the entry, even when the state already matches.
    // A failure writes "[ZelKit] Launch at login error: " and its description to the log.
    static void setEnabled(bool enabled);
};
