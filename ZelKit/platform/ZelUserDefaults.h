#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>
#include <QVariant>

// An application's user defaults: "<domain>.ini" under $XDG_CONFIG_HOME, with the
// system-wide file of the same name (under $XDG_CONFIG_DIRS) as the fallback domain.
class ZELKIT_EXPORT ZelUserDefaults
{
public:
    explicit ZelUserDefaults(const QString &domain);
    // The running application's domain: its application id, else its application name.
    static ZelUserDefaults standard();

    QString domain() const { return m_domain; }
    // True when the key is set in any domain, the fallback included.
    bool contains(const QString &key) const;
    QVariant value(const QString &key) const;
    // False when the key is absent or not a Boolean-like value.
    bool boolForKey(const QString &key) const;
    void setValue(const QString &key, const QVariant &value);
    void setBool(const QString &key, bool value) { setValue(key, value); }
    void remove(const QString &key);
    // Writes pending changes; false when the file could not be written.
    bool sync();

private:
    QString m_domain;
};
