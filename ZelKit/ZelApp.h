#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>
#include <QUrl>

#include <optional>

// How a sibling describes itself to the framework: short id, display name and the base
// address of the maker's web service (absolute, without a trailing slash).
struct ZELKIT_EXPORT ZelAppConfig
{
    QString id;
    QString name;
    QString baseURL;

    // baseURL + "/" + id + "/version.json", neither encoded nor normalised. A record
    // whose composed address does not parse is a programming error and stops the process.
    QUrl versionURL() const;
    // baseURL + "/our-apps/?ref=" + id, under the same rule.
    QUrl moreAppsURL() const;

    bool operator==(const ZelAppConfig &other) const = default;
};

// The process-wide configuration of a sibling application.
class ZELKIT_EXPORT ZelApp
{
public:
    ZelApp() = delete;

    // Stores the configuration, replacing an earlier one. Nothing else starts.
    static void configure(const ZelAppConfig &config);
    static std::optional<ZelAppConfig> config();
    // The stored configuration; stops the process, naming caller, when there is none.
    static ZelAppConfig requireConfig(const char *caller);
};
