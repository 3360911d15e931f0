#include "terminationwatcher.h"

#include "app/logging.h"

#include <QAbstractNativeEventFilter>
#include <QDebug>
#include <QGuiApplication>
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

/// The session's end, once every program has agreed to it (WM_ENDSESSION
/// with TRUE): the system ends the process as soon as the message has been
/// handled, so the agent writes its last lines and ends here, with 0. It
/// keeps nothing that could be lost. Until then (WM_QUERYENDSESSION) it only
/// agrees: another program may still cancel the end.
class SessionEnd : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray& type, void* message, long*) override
    {
        const auto* msg = static_cast<const MSG*>(message);
        if (type == "windows_generic_MSG" && msg->message == WM_ENDSESSION && msg->wParam) {
            qDebug() << "the session ends now: exiting";
            flushDebugLines(1000);
            TerminateProcess(GetCurrentProcess(), 0);
        }
        return false;
    }
};

} // namespace

struct TerminationWatcher::State
{
    /// A top-level window that is never shown: the system tells top-level
    /// windows that the session ends, and the agent has none of its own until
    /// a popup comes.
    QWindow* sessionWindow = nullptr;
    SessionEnd sessionEnd;
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
        // Asked at the session's end (WM_QUERYENDSESSION): the agent keeps
        // nothing to save, so it agrees.
        connect(app, &QGuiApplication::commitDataRequest, this,
                [](QSessionManager&) { qDebug() << "the session is about to end"; });
        app->installNativeEventFilter(&d->sessionEnd);
        d->sessionWindow = new QWindow();
        d->sessionWindow->setFlags(Qt::Tool | Qt::FramelessWindowHint);
        d->sessionWindow->create();
    }
}

TerminationWatcher::~TerminationWatcher()
{
    current = nullptr;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeNativeEventFilter(&d->sessionEnd);
    }
    delete d->sessionWindow;
    SetEvent(doneEvent);
}
