#include "ZelUserDefaults.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSettings>

#include <memory>

namespace {
// Keys hold dots ("ZelHub.iconsHidden"); QSettings treats '/' as a group separator, so
// keys stay in the general section as written.
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
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    const QString text = v.toString().trimmed().toLower();
    return text == u"true" || text == u"1" || text == u"yes";
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
