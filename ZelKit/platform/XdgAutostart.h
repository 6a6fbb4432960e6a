#pragma once

#include <QString>

#include <optional>

// One application's entry in the user's XDG autostart folder,
// $XDG_CONFIG_HOME/autostart/<application id>.desktop.
class XdgAutostart
{
public:
    enum class Status
    {
        NotRegistered,
        Enabled,
        // No usable application id: there is no entry to speak of.
        NotFound,
    };

    explicit XdgAutostart(const QString &applicationID);

    // Empty when the application id cannot name a file.
    QString path() const;
    Status status() const;

    // Each returns the description of what went wrong, nothing on success.
    std::optional<QString> install(const QString &executable, const QString &name) const;
    // An entry that is already absent is not an error: the application is not started.
    std::optional<QString> remove() const;

    // The executable as one Exec argument: quoted and escaped so that a desktop reads back
    // exactly this path whatever characters it holds.
    static QString execArgument(const QString &executable);

private:
    QString m_applicationID;
};
