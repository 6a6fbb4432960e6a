#include "ZelUserDefaults.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSettings>

#include <memory>

namespace {
// One INI file per domain, "<domain>.ini" under $XDG_CONFIG_HOME. Keys with dots
// ("ZelHub.iconsHidden") stay in the general section as written.
std::unique_ptr<QSettings> settingsFor(const QString &domain)
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, domain);
}
} // namespace

ZelUserDefaults::ZelUserDefaults(const QString &domain) : m_domain(domain)
{}

ZelUserDefaults ZelUserDefaults::standard()
{
    QString domain = QGuiApplication::desktopFileName();
    if (domain.isEmpty())
        domain = QCoreApplication::applicationName();
    return ZelUserDefaults(domain);
}

bool ZelUserDefaults::contains(const QString &key) const
{
    return settingsFor(m_domain)->contains(key);
}

QVariant ZelUserDefaults::value(const QString &key) const
{
    return settingsFor(m_domain)->value(key);
}

bool ZelUserDefaults::boolForKey(const QString &key) const
{
    // The INI file gives back text; values set in this run keep their type.
    const QVariant v = value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return v.toDouble() != 0;
    case QMetaType::QString: {
        const QString text = v.toString().trimmed().toLower();
        return text == u"true" || text == u"yes" || text.toDouble() != 0;
    }
    default:
        return false;
    }
}

void ZelUserDefaults::setValue(const QString &key, const QVariant &value)
{
    auto s = settingsFor(m_domain);
    s->setValue(key, value);
}

void ZelUserDefaults::remove(const QString &key)
{
    auto s = settingsFor(m_domain);
    s->remove(key);
}

bool ZelUserDefaults::sync()
{
    auto s = settingsFor(m_domain);
    s->sync();
    return s->status() == QSettings::NoError;
}
