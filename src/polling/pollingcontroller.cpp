#include "pollingcontroller.h"

#include "app/globals.h"
#include "message/message.h"
#include "pollingworker.h"
#include "popup/messagehandler.h"

#include <QThread>
#include <QTimer>

namespace {
const int minInterval = 1;     // one second
const int maxInterval = 14400; // four hours
} // namespace

PollingController::PollingController(QObject* parent, int firstIntervalMs) : QObject(parent)
{
    handler = new MessageHandler();
    thread = new QThread(this);
    worker = new PollingWorker();
    worker->moveToThread(thread); // its HttpClient moves with it

    connect(worker, &PollingWorker::onMessage, handler, &MessageHandler::handle,
            Qt::QueuedConnection);
    connect(worker, &PollingWorker::onChangeInterval, this, &PollingController::changeInterval,
            Qt::QueuedConnection);

    timer = new QTimer();
    timer->setInterval(firstIntervalMs > 0 ? firstIntervalMs : pollInterval * 1000);
    timer->moveToThread(thread);

    connect(timer, &QTimer::timeout, worker, &PollingWorker::doWork, Qt::DirectConnection);
    connect(thread, &QThread::started, timer, qOverload<>(&QTimer::start));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, timer, &QObject::deleteLater);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);

    thread->start();
}

PollingController::~PollingController()
{
    if (!stopped) {
        stop();
    }
}

void PollingController::stop()
{
    if (stopped) {
        return;
    }
    stopped = true;
    thread->exit(0);
    thread->wait();
    // The timer and the worker were deleted in the polling thread as it ended.
    timer = nullptr;
    worker = nullptr;
    thread = nullptr; // goes with this object, or earlier by its deleteLater
    delete handler;
    handler = nullptr;
}

int PollingController::timerInterval() const
{
    if (stopped || timer == nullptr) {
        return -1;
    }
    int ms = -1;
    QTimer* t = timer;
    QMetaObject::invokeMethod(
        t, [t, &ms] { ms = t->isActive() ? t->interval() : 0; }, Qt::BlockingQueuedConnection);
    return ms;
}

void PollingController::changeInterval(int seconds)
{
    if (timer == nullptr) {
        return;
    }
    seconds = qBound(minInterval, seconds, maxInterval);
    pollInterval = seconds;
    // A running timer can only be restarted from its own thread.
    QTimer* t = timer;
    QMetaObject::invokeMethod(
        t, [t, seconds] { t->setInterval(seconds * 1000); }, Qt::QueuedConnection);
}
