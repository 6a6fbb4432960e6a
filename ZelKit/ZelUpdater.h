#pragma once

#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelKitExport.h>

#include <QString>
#include <QUrl>

#include <memory>

// Asks the maker's web service for the newest version of the running application and
// tells the user through a modal dialog. Every failure is silent.
//
// Created through create(): a check in flight holds its updater strongly, so an owner may
// release the updater at any time and the check still ends as it would have.
class ZELKIT_EXPORT ZelUpdater : public std::enable_shared_from_this<ZelUpdater>
{
public:
    static std::shared_ptr<ZelUpdater> create(const ZelAppConfig &config);

    const ZelAppConfig &config() const { return m_config; }

    // Starts one check of config().versionURL() and returns at once; call it on the main
    // thread. When silent, only an available update is shown; otherwise "up to date" too.
    void checkForUpdates(bool silent);

    // Negative, zero or positive as version a is smaller than, equal to or greater than b:
    // runs of decimal digits compare as whole numbers, everything else by character code,
    // and when one text ends first with all else equal it is the smaller.
    static int compareVersions(const QString &a, const QString &b);

    // QCoreApplication::applicationVersion(), or "1.0" when the application has none.
    static QString runningVersion();

    // A manifest is a few hundred bytes; a reply longer than this is not one.
    static constexpr qint64 maxManifestBytes = 1024 * 1024;

    // What a usable manifest holds.
    struct Manifest
    {
        QString version;
        QUrl download;
        QString notes;
    };

private:
    explicit ZelUpdater(const ZelAppConfig &config);

    // On the main thread, after this turn of the event loop: compare and show.
    void report(const Manifest &manifest, bool silent);

    void showUpdateAvailable(const QString &version, const QString &notes,
                             const QUrl &download) const;
    void showUpToDate() const;

    const ZelAppConfig m_config;
};
