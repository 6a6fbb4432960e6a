#pragma once

#include <ZelKit/platform/DistributedNotificationCenter.h>

// A center that never leaves the process: a post is delivered at once, on the posting
// thread, to every observer of the name. For tests that need no bus.
class ZELKIT_EXPORT LocalNotificationCenter : public DistributedNotificationCenter
{
    Q_OBJECT
public:
    explicit LocalNotificationCenter(QObject *parent = nullptr);

    void postNotification(const QString &name, const std::optional<QVariantMap> &userInfo) override;

protected:
    void subscribe(const QString &) override {}
    void unsubscribe(const QString &) override {}
};
