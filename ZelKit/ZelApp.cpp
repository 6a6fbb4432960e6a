#include "ZelApp.h"

#include "platform/ZelFatal.h"

namespace {

// Written during launch before anything reads it, read-only afterwards.
std::optional<ZelAppConfig> storedConfig;

QUrl composedURL(const QString &text)
{
    // Strict parsing: a tolerant QUrl would quietly percent-encode a space in the id
    // and send the request somewhere the maker never published.
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        zelFatal("ZelKit/ZelApp", __LINE__,
                 QStringLiteral("ZelAppConfig: the address \"%1\" composed from baseURL and id "
                                "does not parse; baseURL must be absolute and id plain URL "
                                "characters.")
                     .arg(text));
    return url;
}

} // namespace

QUrl ZelAppConfig::versionURL() const
{
    return composedURL(baseURL + u'/' + id + QLatin1String("/version.json"));
}

QUrl ZelAppConfig::moreAppsURL() const
{
    return composedURL(baseURL + QLatin1String("/our-apps/?ref=") + id);
}

void ZelApp::configure(const ZelAppConfig &config)
{
    storedConfig = config;
}

std::optional<ZelAppConfig> ZelApp::config()
{
    return storedConfig;
}

ZelAppConfig ZelApp::requireConfig(const char *caller)
{
    if (!storedConfig)
        zelFatal("ZelKit/ZelApp", __LINE__,
                 QStringLiteral("ZelApp.configure(_:) must be called before ") +
                     QString::fromUtf8(caller) + u'.');
    return *storedConfig;
}
