#include "terminationwatcher.h"

#include <QDebug>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalFds[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // write() is async-signal-safe; a full pipe only loses a repeated signal.
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
}
} // namespace
#endif

TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFds) != 0) {
        qDebug() << "termination signals not watched: socketpair failed";
        return;
    }
    ::fcntl(signalFds[0], F_SETFL, O_NONBLOCK);
    notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(s, &action, nullptr);
    }
#endif
}

TerminationWatcher::~TerminationWatcher()
{
#ifdef Q_OS_UNIX
    if (notifier) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (int s : {SIGTERM, SIGINT, SIGHUP}) {
            ::sigaction(s, &action, nullptr);
        }
        delete notifier;
        ::close(signalFds[0]);
        ::close(signalFds[1]);
        signalFds[0] = signalFds[1] = -1;
    }
#endif
}

void TerminationWatcher::readSignal()
{
#ifdef Q_OS_UNIX
    unsigned char byte = 0;
    if (::read(signalFds[1], &byte, 1) == 1) {
        qDebug() << "termination signal" << int(byte) << ", shutting down";
        emit onTerminate(int(byte));
    }
#endif
}
