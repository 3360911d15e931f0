#include "pollingcontroller.h"

#include "core/globals.h"
#include "core/timedworker.h"
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
    worker = new PollingWorker(); // its HttpClient moves with it

    connect(worker, &PollingWorker::onMessage, handler, &MessageHandler::handle,
            Qt::QueuedConnection);
    connect(worker, &PollingWorker::onChangeInterval, this, &PollingController::changeInterval,
            Qt::QueuedConnection);

    timer = new QTimer();
    startTimedWorker(thread, timer, firstIntervalMs > 0 ? firstIntervalMs : pollInterval * 1000,
                     worker, SLOT(doWork()));
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
    stopTimedWorker(thread);
    // The timer and the worker were deleted in the polling thread as it ended.
    timer = nullptr;
    worker = nullptr;
    thread = nullptr; // goes with this object, or earlier by its deleteLater
    delete handler;
    handler = nullptr;
}

int PollingController::timerInterval() const
{
    return readTimer(stopped ? nullptr : timer,
                     [](const QTimer* t) { return t->isActive() ? t->interval() : 0; });
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
