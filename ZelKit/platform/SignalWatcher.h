#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QObject>

#include <functional>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a call on the event loop. The handler itself only
// writes the signal number into a pipe, which is all a signal handler may safely do.
class ZELKIT_EXPORT SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // Called on the main thread with the signal's name ("INT", "TERM").
    std::function<void(const char *name)> onSignal;

private:
    void readPipe();
    QSocketNotifier *m_notifier = nullptr;
};
