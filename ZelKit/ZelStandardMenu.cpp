#include "ZelStandardMenu.h"

#include "ZelLaunchAtLogin.h"
#include "ZelUpdater.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMenu>

namespace {

// A menu reads '&' as a mnemonic marker; a name is shown as written.
QString menuText(const QString &text)
{
    QString escaped = text;
    return escaped.replace(u'&', QLatin1String("&&"));
}

} // namespace

ZelStandardMenu::ZelStandardMenu(const ZelAppConfig &config, std::shared_ptr<ZelUpdater> updater,
                                 std::function<void()> openPreferences, QObject *parent)
    : QObject(parent), m_config(config),
      m_updater(updater ? std::move(updater) : ZelUpdater::create(config)),
      m_openPreferences(std::move(openPreferences))
{}

ZelStandardMenu::~ZelStandardMenu() = default;

void ZelStandardMenu::append(QMenu *menu, bool includeLaunchAtLogin)
{
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    if (m_openPreferences) {
        QAction *preferences = menu->addAction(QStringLiteral("Preferences…"));
        preferences->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
        preferences->setMenuRole(QAction::PreferencesRole);
        connect(preferences, &QAction::triggered, this, &ZelStandardMenu::handlePreferences);
    }
    QAction *check = menu->addAction(QStringLiteral("Check for Updates…"));
    connect(check, &QAction::triggered, this, &ZelStandardMenu::handleCheckForUpdates);
    QAction *moreApps = menu->addAction(QStringLiteral("More from Brannel IT"));
    connect(moreApps, &QAction::triggered, this, &ZelStandardMenu::handleMoreApps);
    if (includeLaunchAtLogin) {
        menu->addSeparator();
        QAction *launch = menu->addAction(QStringLiteral("Launch at Login"));
        launch->setCheckable(true);
        launch->setChecked(ZelLaunchAtLogin::isEnabled());
        connect(launch, &QAction::triggered, this,
                [this, launch] { handleToggleLaunchAtLogin(launch); });
    }
    menu->addSeparator();
    QAction *quit = menu->addAction(QLatin1String("Quit ") + menuText(m_config.name));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &ZelStandardMenu::handleQuit);
}

void ZelStandardMenu::handlePreferences()
{
    const std::function<void()> open = m_openPreferences;
    if (open)
        open();
}

void ZelStandardMenu::handleCheckForUpdates()
{
    m_updater->checkForUpdates(false);
}

void ZelStandardMenu::handleMoreApps()
{
    QDesktopServices::openUrl(m_config.moreAppsURL());
}

void ZelStandardMenu::handleToggleLaunchAtLogin(QAction *item)
{
    ZelLaunchAtLogin::setEnabled(!ZelLaunchAtLogin::isEnabled());
    if (item)
        item->setChecked(ZelLaunchAtLogin::isEnabled());
}

void ZelStandardMenu::handleQuit()
{
    QCoreApplication::quit();
}
