#include "terminationwatcher.h"

#include <QDebug>
#include <QGuiApplication>
#include <QPointer>
#include <QSessionManager>
#include <QWindow>

#include <atomic>

#include <windows.h>

namespace {

/// The watcher that console events go to; null while there is none.
std::atomic<TerminationWatcher*> current{nullptr};
/// Set once the watcher is gone: the agent has shut down.
HANDLE doneEvent = nullptr;

/// Runs in a thread of the system's own. The agent quits in order on its main
/// thread; for a console's close and a session's end the process is ended
/// once this returns, so it waits for that (the system allows a few seconds).
BOOL WINAPI onConsoleEvent(DWORD type)
{
    TerminationWatcher* watcher = current.load();
    if (!watcher) {
        return FALSE;
    }
    QMetaObject::invokeMethod(
        watcher, [watcher, type] { emit watcher->onTerminate(int(type)); }, Qt::QueuedConnection);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(doneEvent, 4000);
    }
    return TRUE;
}

} // namespace

struct TerminationWatcher::State
{
    /// A top-level window that is never shown: the system tells top-level
    /// windows that the session ends, and the agent has none of its own until
    /// a popup comes.
    QWindow* sessionWindow = nullptr;
};

TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent), d(new State)
{
    doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    current = this;
    connect(this, &TerminationWatcher::onTerminate, this, [](int type) {
        qDebug() << (type < 0 ? "the session ends" : "console event") << type << ", shutting down";
    });
    if (!SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
        qDebug() << "console events not watched: error" << GetLastError();
    }
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QPointer<TerminationWatcher> self(this);
        // Asked at the session's end (WM_QUERYENDSESSION): the agent keeps
        // nothing to save, so it agrees and quits.
        connect(app, &QGuiApplication::commitDataRequest, this, [self](QSessionManager&) {
            if (self) {
                emit self->onTerminate(-1);
            }
        });
        d->sessionWindow = new QWindow();
        d->sessionWindow->setFlags(Qt::Tool | Qt::FramelessWindowHint);
        d->sessionWindow->create();
    }
}

TerminationWatcher::~TerminationWatcher()
{
    current = nullptr;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    delete d->sessionWindow;
    SetEvent(doneEvent);
}
