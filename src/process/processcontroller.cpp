#include "processcontroller.h"

#include "processchecker.h"

#include <QThread>
#include <QTimer>

namespace {
constexpr int checkIntervalMs = 120 * 1000;
}

ProcessController::ProcessController(QObject* parent) : QObject(parent)
{
    thread = new QThread(this);

    checker = new ProcessChecker();
    checker->moveToThread(thread);
    connect(checker, &ProcessChecker::onExit, this, &ProcessController::exit, Qt::QueuedConnection);

    timer = new QTimer();
    timer->setInterval(checkIntervalMs);
    timer->moveToThread(thread);
    // The check runs in the watch thread, inside the timer's signal.
    connect(timer, SIGNAL(timeout()), checker, SLOT(doWork()), Qt::DirectConnection);
    // The timer starts in the watch thread once it runs: the first check comes
    // one interval after start-up.
    connect(thread, &QThread::started, timer, QOverload<>::of(&QTimer::start));

    // When the thread ends, all three go. The timer and the checker are
    // deleted in the watch thread as it finishes.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, timer, &QObject::deleteLater);
    connect(thread, &QThread::finished, checker, &QObject::deleteLater);

    thread->start(QThread::InheritPriority);
}

ProcessController::~ProcessController()
{
    // The thread is a child and goes with the controller; it must not be
    // destroyed while it runs.
    stopThread();
}

void ProcessController::exit()
{
    if (stopThread()) {
        emit onExit();
    }
}

bool ProcessController::stopThread()
{
    if (stopped) {
        return false;
    }
    stopped = true;
    thread->exit(0);
    thread->wait();
    // thread, timer and checker are now gone or about to go through their
    // deleteLater(); they are not touched again.
    thread = nullptr;
    timer = nullptr;
    checker = nullptr;
    return true;
}
