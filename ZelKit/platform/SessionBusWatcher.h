#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QObject>

#include <functional>

class QDBusMessage;

// Tells when the session bus goes away, as it does when the user's session ends: a
// desktop application ends with its session rather than run on without a bus.
class ZELKIT_EXPORT SessionBusWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SessionBusWatcher(QObject *parent = nullptr);

    // Called once, on the main thread, when the connection to the session bus is lost.
    std::function<void()> onDisconnected;

private Q_SLOTS:
    void handleDisconnected(const QDBusMessage &message);

private:
    bool m_reported = false;
};
