#pragma once

#include <ZelKit/ZelApp.h>
#include <ZelKit/ZelKitExport.h>

#include <QObject>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class ZelUpdater;

// The block every sibling's status menu ends with: preferences, update check, the
// maker's other applications, launch at login and quit. The host keeps this object alive
// as long as the menu: the appended items act on it.
class ZELKIT_EXPORT ZelStandardMenu : public QObject
{
    Q_OBJECT
public:
    // Without an updater, one is made from config. Without openPreferences there is no
    // "Preferences…" item.
    ZelStandardMenu(const ZelAppConfig &config, std::shared_ptr<ZelUpdater> updater = nullptr,
                    std::function<void()> openPreferences = {}, QObject *parent = nullptr);
    ~ZelStandardMenu() override;

    const ZelAppConfig &config() const { return m_config; }
    const std::shared_ptr<ZelUpdater> &updater() const { return m_updater; }

    // Appends the block to the end of menu, after a separator when it already holds items.
    void append(QMenu *menu, bool includeLaunchAtLogin);

public slots:
    void handlePreferences();
    void handleCheckForUpdates();
    void handleMoreApps();
    // Flips the login item, then shows in item's check mark the state read back.
    void handleToggleLaunchAtLogin(QAction *item);
    void handleQuit();

private:
    const ZelAppConfig m_config;
    const std::shared_ptr<ZelUpdater> m_updater;
    const std::function<void()> m_openPreferences;
};
