#include "SignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};

void writeSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a pending wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[0], &byte, 1);
    errno = savedErrno;
}

void install(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeFds) != 0)
        return;
    m_notifier = new QSocketNotifier(pipeFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    install(SIGINT, writeSignal);
    install(SIGTERM, writeSignal);
}

SignalWatcher::~SignalWatcher()
{
    if (pipeFds[0] < 0)
        return;
    install(SIGINT, SIG_DFL);
    install(SIGTERM, SIG_DFL);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeFds[1], &byte, 1) == 1) {
        const char *name = byte == SIGINT ? "INT" : byte == SIGTERM ? "TERM" : "?";
        if (auto callback = onSignal)
            callback(name);
    }
}
