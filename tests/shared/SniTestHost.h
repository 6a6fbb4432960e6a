#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

// Drives tests/shared/sni_test_host.py, a StatusNotifierWatcher and host of our own on
// the test's session bus. Lines it prints are collected while the caller's event loop
// runs, so an item in the caller's process can answer the host meanwhile.
class SniTestHost
{
public:
    SniTestHost() = default;
    ~SniTestHost();
    SniTestHost(const SniTestHost &) = delete;
    SniTestHost &operator=(const SniTestHost &) = delete;

    // Starts the host and waits until it owns the watcher name. Options: --no-host,
    // --refuse (the watcher refuses items), --silent (the watcher never answers).
    bool start(const QStringList &options = {});
    void send(const QString &command);
    // Takes the first line not yet taken that begins with `prefix`, waiting up to
    // timeoutMs for it while running the event loop.
    std::optional<QString> take(const QString &prefix, int timeoutMs = 10000);
    // True when such a line has been printed and not taken; does not wait.
    bool has(const QString &prefix);
    // Ends the host as a watcher that quits; kill() as one that crashes. Both wait until
    // the process is gone.
    void quit();
    void kill();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    QString errors();

    // Runs the event loop until `done` holds or timeoutMs passed.
    template <typename Predicate> static bool waitUntil(Predicate done, int timeoutMs = 10000);

private:
    static void spin();
    void read();
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
};

template <typename Predicate> bool SniTestHost::waitUntil(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        spin();
    }
    return true;
}
