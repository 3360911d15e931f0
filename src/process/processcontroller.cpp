#include "processcontroller.h"

#include "core/timedworker.h"
#include "processchecker.h"

#include <QThread>
#include <QTimer>

ProcessController::ProcessController(QObject* parent, int intervalMs) : QObject(parent)
{
    thread = new QThread(this);
    checker = new ProcessChecker();
    connect(checker, &ProcessChecker::onExit, this, &ProcessController::exit, Qt::QueuedConnection);
    timer = new QTimer();
    // The check runs in the watch thread, inside the timer's signal; the first
    // one comes one interval after start-up.
    startTimedWorker(thread, timer, intervalMs, checker, SLOT(doWork()));
}

ProcessController::~ProcessController()
{
    // The thread is a child and goes with the controller; it must not be
    // destroyed while it runs.
    stopThread();
}

int ProcessController::remainingTime() const
{
    return readTimer(stopped ? nullptr : timer,
                     [](const QTimer* t) { return t->isActive() ? t->remainingTime() : -1; });
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
    stopTimedWorker(thread);
    // thread, timer and checker are now gone or about to go through their
    // deleteLater(); they are not touched again.
    thread = nullptr;
    timer = nullptr;
    checker = nullptr;
    return true;
}
