#include "DistributedNotificationCenter.h"

#include "DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QSet>

DistributedNotificationCenter::DistributedNotificationCenter(QObject *parent) : QObject(parent)
{}

DistributedNotificationCenter *DistributedNotificationCenter::defaultCenter()
{
    // Never destroyed: clients and servers may post from their own destructors at exit.
    static DistributedNotificationCenter *const center = [] {
        auto *c = new DBusNotificationCenter(QDBusConnection::sessionBus());
        if (QCoreApplication::instance())
            c->moveToThread(QCoreApplication::instance()->thread());
        return c;
    }();
    return center;
}

bool DistributedNotificationCenter::observesName(const QString &name) const
{
    for (const auto &o : m_observations)
        if (o.name == name)
            return true;
    return false;
}

void DistributedNotificationCenter::addObserver(QObject *observer, const QString &name,
                                                Handler handler)
{
    if (!observer || !handler)
        return;
    bool first = false;
    bool newObserver = true;
    {
        QMutexLocker lock(&m_mutex);
        first = !observesName(name);
        for (const auto &o : m_observations)
            if (o.key == observer)
                newObserver = false;
        m_observations.push_back({observer, observer, name, std::move(handler)});
    }
    if (newObserver) {
        // The weak pointer already stops calls; this also frees the bus match rule.
        connect(
            observer, &QObject::destroyed, this, [this](QObject *gone) { removeObserver(gone); },
            Qt::DirectConnection);
    }
    if (first)
        subscribe(name);
}

void DistributedNotificationCenter::removeObserver(QObject *observer)
{
    QSet<QString> names;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_observations.begin(); it != m_observations.end();) {
            if (it->key == observer) {
                names.insert(it->name);
                it = m_observations.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = names.begin(); it != names.end();) {
            if (observesName(*it))
                it = names.erase(it);
            else
                ++it;
        }
    }
    if (observer)
        disconnect(observer, &QObject::destroyed, this, nullptr);
    for (const auto &name : std::as_const(names))
        unsubscribe(name);
}

void DistributedNotificationCenter::deliver(const ZelNotification &notification)
{
    std::vector<std::pair<QPointer<QObject>, Handler>> targets;
    {
        QMutexLocker lock(&m_mutex);
        for (const auto &o : m_observations)
            if (o.name == notification.name && o.observer)
                targets.emplace_back(o.observer, o.handler);
    }
    for (const auto &[observer, handler] : targets) {
        // An observer removed or destroyed by an earlier handler of this delivery is skipped.
        if (!observer)
            continue;
        bool stillObserving = false;
        {
            QMutexLocker lock(&m_mutex);
            for (const auto &o : m_observations)
                if (o.key == observer.data() && o.name == notification.name)
                    stillObserving = true;
        }
        if (stillObserving)
            handler(notification);
    }
}
