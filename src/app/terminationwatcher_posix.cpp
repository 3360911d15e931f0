#include "terminationwatcher.h"

#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/// A signal's number goes in at [0] (in the handler), comes out at [1].
int signalFds[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // write() is async-signal-safe; a full pipe only loses a repeated signal.
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
}

void handle(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(s, &action, nullptr);
    }
}

} // namespace

struct TerminationWatcher::State
{
    QSocketNotifier* notifier = nullptr;
};

TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent), d(new State)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFds) != 0) {
        qDebug() << "termination signals not watched: socketpair failed";
        return;
    }
    ::fcntl(signalFds[0], F_SETFL, O_NONBLOCK);
    d->notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        if (::read(signalFds[1], &byte, 1) == 1) {
            qDebug() << "termination signal" << int(byte) << ", shutting down";
            emit onTerminate(int(byte));
        }
    });
    handle(onSignal);
}

TerminationWatcher::~TerminationWatcher()
{
    if (d->notifier) {
        handle(SIG_DFL);
        delete d->notifier;
        ::close(signalFds[0]);
        ::close(signalFds[1]);
        signalFds[0] = signalFds[1] = -1;
    }
}
