#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

// One registered sibling, as the hub built it from a "register" message.
struct ZELKIT_EXPORT ZelHubApp
{
    QString id;
    QString name;
    QString bundleID;

    // All three fields equal, canonically equivalent strings counting as equal.
    bool operator==(const ZelHubApp &other) const;
};
