#include "XdgAutostart.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace {

bool isUsableFileName(const QString &id)
{
    return !id.isEmpty() && id != u"." && id != u".." && !id.contains(u'/') &&
           !id.contains(QChar(0));
}

QString autostartFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/autostart");
}

// The escapes every string value of a desktop entry gets, applied after Exec quoting.
QString escapedValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u' ' && i == 0)
            out += QLatin1String("\\s");
        else
            out += c;
    }
    return out;
}

// Booleans that switch an entry off, read from its [Desktop Entry] group. A file without
// that group is no entry a session would start.
bool isSwitchedOn(const QByteArray &contents)
{
    bool inEntryGroup = false;
    bool sawEntryGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inEntryGroup = line == "[Desktop Entry]";
            sawEntryGroup = sawEntryGroup || inEntryGroup;
            continue;
        }
        if (!inEntryGroup)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (key == "Hidden" && value == "true")
            return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false")
            return false;
    }
    return sawEntryGroup;
}

} // namespace

XdgAutostart::XdgAutostart(const QString &applicationID) : m_applicationID(applicationID)
{}

QString XdgAutostart::path() const
{
    if (!isUsableFileName(m_applicationID))
        return QString();
    return autostartFolder() + u'/' + m_applicationID + QLatin1String(".desktop");
}

XdgAutostart::Status XdgAutostart::status() const
{
    const QString file = path();
    if (file.isEmpty())
        return Status::NotFound;
    QFile entry(file);
    if (!QFileInfo(file).isFile() || !entry.open(QIODevice::ReadOnly))
        return Status::NotRegistered;
    // An autostart entry is a few lines; anything huge is not one of ours to parse.
    const QByteArray contents = entry.read(1024 * 1024);
    return isSwitchedOn(contents) ? Status::Enabled : Status::NotRegistered;
}

QString XdgAutostart::execArgument(const QString &executable)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : executable) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

std::optional<QString> XdgAutostart::install(const QString &executable, const QString &name) const
{
    const QString file = path();
    if (file.isEmpty())
        return QStringLiteral("the application has no application id to name its entry");
    if (executable.isEmpty())
        return QStringLiteral("the path of the running executable is unknown");

    const QString folder = autostartFolder();
    std::error_code error;
    std::filesystem::create_directories(
        std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (error)
        return QStringLiteral("cannot create %1: %2")
            .arg(folder, QString::fromLocal8Bit(error.message()));

    const QString contents = QLatin1String("[Desktop Entry]\n"
                                           "Type=Application\n"
                                           "Name=") +
                             escapedValue(name.isEmpty() ? m_applicationID : name) +
                             QLatin1String("\nExec=") + escapedValue(execArgument(executable)) +
                             QLatin1String("\nIcon=") + escapedValue(m_applicationID) +
                             QLatin1String("\nX-GNOME-Autostart-enabled=true\n");

    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(contents.toUtf8()) < 0 || !out.commit())
        return QStringLiteral("cannot write %1: %2").arg(file, out.errorString());
    return std::nullopt;
}

std::optional<QString> XdgAutostart::remove() const
{
    const QString file = path();
    if (file.isEmpty())
        return QStringLiteral("the application has no application id to name its entry");
    const std::filesystem::path target(QFile::encodeName(file).toStdString());
    std::error_code error;
    const auto status = std::filesystem::symlink_status(target, error);
    if (!std::filesystem::exists(status))
        return std::nullopt;
    if (std::filesystem::is_directory(status))
        return QStringLiteral("cannot remove %1: it is a folder, not an autostart entry").arg(file);
    if (!std::filesystem::remove(target, error) && error)
        return QStringLiteral("cannot remove %1: %2")
            .arg(file, QString::fromLocal8Bit(error.message()));
    return std::nullopt;
}
