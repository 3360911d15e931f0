#include "timedworker.h"

#include <QThread>
#include <QTimer>

void startTimedWorker(QThread* thread, QTimer* timer, int intervalMs, QObject* worker,
                      const char* slot)
{
    worker->moveToThread(thread);
    timer->setInterval(intervalMs);
    timer->moveToThread(thread);
    QObject::connect(timer, SIGNAL(timeout()), worker, slot, Qt::DirectConnection);
    QObject::connect(thread, &QThread::started, timer, qOverload<>(&QTimer::start));
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, timer, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

void stopTimedWorker(QThread* thread)
{
    thread->exit(0);
    thread->wait();
}

int readTimer(QTimer* timer, int (*what)(const QTimer*), int fallback)
{
    if (timer == nullptr) {
        return fallback;
    }
    int value = fallback;
    QMetaObject::invokeMethod(
        timer, [timer, what, &value] { value = what(timer); }, Qt::BlockingQueuedConnection);
    return value;
}
