#include "LocalNotificationCenter.h"

LocalNotificationCenter::LocalNotificationCenter(QObject *parent)
    : DistributedNotificationCenter(parent)
{}

void LocalNotificationCenter::postNotification(const QString &name,
                                               const std::optional<QVariantMap> &userInfo)
{
    deliver({name, userInfo});
}
