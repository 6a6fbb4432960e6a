#pragma once

#include <ZelKit/ZelKitExport.h>
#include <ZelKit/platform/ZelNotification.h>

#include <QMutex>
#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

// The broadcast transport between the hub and its siblings: observe a name, post a
// name with an optional userInfo, drop every observation of an observer at once.
// Observers are held weakly: one destroyed without removeObserver() is never called.
class ZELKIT_EXPORT DistributedNotificationCenter : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const ZelNotification &)>;

    // The process's center on the D-Bus session bus, created on first use.
    static DistributedNotificationCenter *defaultCenter();

    // The handler runs on the thread the transport delivers on, from any sender.
    void addObserver(QObject *observer, const QString &name, Handler handler);
    void removeObserver(QObject *observer);
    // No userInfo (std::nullopt) and an empty userInfo are different messages.
    virtual void postNotification(const QString &name,
                                  const std::optional<QVariantMap> &userInfo) = 0;

protected:
    explicit DistributedNotificationCenter(QObject *parent = nullptr);
    // Called under no lock when the first observer of a name arrives or the last one leaves.
    virtual void subscribe(const QString &name) = 0;
    virtual void unsubscribe(const QString &name) = 0;
    void deliver(const ZelNotification &notification);

private:
    struct Observation
    {
        const QObject *key;
        QPointer<QObject> observer;
        QString name;
        Handler handler;
    };
    bool observesName(const QString &name) const;

    mutable QMutex m_mutex;
    std::vector<Observation> m_observations;
};
