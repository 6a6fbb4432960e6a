#include "ZelSandboxMigration.h"

#include "platform/PropertyList.h"
#include "platform/TreeCopy.h"
#include "platform/ZelLog.h"
#include "platform/ZelUserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>
#include <optional>

namespace {

const QString migratedKey = QStringLiteral("ZelKit.sandboxMigrated");

// What the container holds is looked at through links: a link that leads nowhere holds
// nothing to carry over.
bool existsAt(const QString &path)
{
    return QFileInfo::exists(path);
}

// At the standard location anything at all is the user's, a dangling link included.
bool anythingAt(const QString &path)
{
    std::error_code error;
    return std::filesystem::exists(
        std::filesystem::symlink_status(QFile::encodeName(path).toStdString(), error));
}

// A bundle id names one folder; anything that would walk out of the container or the
// data folder is not one.
bool isFolderName(const QString &bundleID)
{
    return !bundleID.isEmpty() && bundleID != u"." && bundleID != u".." &&
           !bundleID.contains(u'/') && !bundleID.contains(QChar(0));
}

void mergePreferences(const QString &preferencesFile, ZelUserDefaults &defaults)
{
    const std::optional<QVariantMap> sandboxed = PropertyList::readDictionary(preferencesFile);
    if (!sandboxed)
        return;
    for (auto it = sandboxed->cbegin(); it != sandboxed->cend(); ++it) {
        if (!defaults.contains(it.key()))
            defaults.setValue(it.key(), it.value());
    }
}

// Nothing when there was nothing to do or the copy is in place; otherwise why it failed.
std::optional<QString> copySupportFolder(const QString &sandboxedSupport, const QString &bundleID)
{
    if (!existsAt(sandboxedSupport))
        return std::nullopt;
    const QStringList dataFolders =
        QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    if (dataFolders.isEmpty())
        return std::nullopt;
    const QString standardSupport = dataFolders.first() + u'/' + bundleID;
    if (anythingAt(standardSupport))
        return std::nullopt;
    QDir().mkpath(dataFolders.first());
    return TreeCopy::copyToNewPath(sandboxedSupport, standardSupport);
}

} // namespace

void ZelSandboxMigration::migrateFromContainerIfNeeded(const QString &bundleID)
{
    ZelUserDefaults defaults = ZelUserDefaults::standard();
    if (defaults.boolForKey(migratedKey))
        return;
    if (!isFolderName(bundleID))
        return;

    const QString container = QDir::homePath() + QLatin1String("/Library/Containers/") + bundleID +
                              QLatin1String("/Data");
    if (!existsAt(container)) {
        defaults.setBool(migratedKey, true);
        defaults.sync();
        return;
    }

    mergePreferences(container + QLatin1String("/Library/Preferences/") + bundleID +
                         QLatin1String(".plist"),
                     defaults);
    const std::optional<QString> failure = copySupportFolder(
        container + QLatin1String("/Library/Application Support/") + bundleID, bundleID);
    if (failure) {
        defaults.sync();
        ZelLog::write(QStringLiteral("[ZelKit] Sandbox→standard data migration failed for ") +
                      bundleID + QLatin1String(": ") + *failure);
        return;
    }
    defaults.setBool(migratedKey, true);
    defaults.sync();
    ZelLog::write(QStringLiteral("[ZelKit] Sandbox→standard data migration completed for ") +
                  bundleID);
}
