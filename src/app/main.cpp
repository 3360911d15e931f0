#include "app/logging.h"
#include "app/platform.h"
#include "app/terminationwatcher.h"
#include "core/clientpool.h"
#include "ipc/ipcclient.h"
#include "ipc/ipcserver.h"
#include "message/message.h"
#include "polling/pollingcontroller.h"
#include "popup/messagehandler.h"
#include "popup/popupoutput.h"
#include "process/processcontroller.h"
#include "text/safetext.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>

// The tests' build of the agent checks its hosts and polls sooner.
#ifndef ZAV_CHECK_INTERVAL_MS
#define ZAV_CHECK_INTERVAL_MS ProcessController::defaultIntervalMs
#endif
#ifndef ZAV_FIRST_POLL_MS
#define ZAV_FIRST_POLL_MS 0 // one poll interval
#endif

namespace {

/// How long a copy that lost the start race keeps handing its client to the
/// winner, which may still be starting.
const int handOverMs = 20 * 1000;

/// Gives queued debug lines a short time to be written at any normal exit.
struct FlushDebugLinesAtExit
{
    ~FlushDebugLinesAtExit() { flushDebugLines(500); }
};

} // namespace

int main(int argc, char* argv[])
{
    useUnicodeArguments(argc, argv);
    installMessagePattern();
    const FlushDebugLinesAtExit flushAtExit;
    raiseDescriptorLimit();
    // Popups keep their logical size on scaled screens.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);

    PlatformChoice platform(argc, argv);
    QApplication app(argc, argv); // takes the toolkit's own options out of argv
    platform.restore();
    paintWithoutGl();
    app.setObjectName(QStringLiteral("main thread"));
    QApplication::setQuitOnLastWindowClosed(false); // closing a popup keeps the agent

    auto* client = new Client(argc, argv);
    qDebug() << "pid:" << client->pid << ",product:" << client->product << ",mac:" << client->mac;
    if (client->pid.isEmpty() || client->product.isEmpty() || client->mac.isEmpty()) {
        delete client;
        return -1;
    }

    auto* pipeHandler = new MessageHandler();
    IpcServer ipcServer;
    QObject::connect(&ipcServer, &IpcServer::onPopup, pipeHandler, &MessageHandler::handle);
    IpcClient ipcClient;

    const QString reply = ipcClient.sendCommand(QStringLiteral("Hello"));
    qDebug() << "Server reply:" << reply;

    // Nobody answered, yet another copy may be starting at this very moment:
    // the pipe's lock decides which one is the agent.
    IpcServer::Claim claim =
        reply == QLatin1String("NotConnected") ? ipcServer.claimPipe() : PipeListener::Taken;
    if (reply == QLatin1String("NotConnected") && claim == PipeListener::Taken &&
        !ipcServer.hasPipe()) {
        // The agent that holds the lock has no pipe either: nothing to hand over.
        qDebug() << "another copy is the agent, with no pipe to hand this client over: exiting";
        delete client;
        delete pipeHandler;
        return 0;
    }
    if (claim == PipeListener::Taken) {
        const bool lostRace = reply == QLatin1String("NotConnected");
        if (lostRace) {
            qDebug() << "another copy became the agent first: handing this client over to it";
        }
        qDebug() << "the instance is about to exit as it already started.";
        const QString registerCommand = QStringLiteral("REGISTER:") + client->toJson();
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const QString registered = ipcClient.sendCommand(registerCommand);
            if (registered == QLatin1String("OK")) {
                break;
            }
            // The winner may still be starting (or may have died: then this
            // copy takes its place). A copy that found the agent answering
            // tries once, as ever.
            if (lostRace && clock.elapsed() < handOverMs) {
                QThread::msleep(100);
                claim = ipcServer.claimPipe();
                if (claim != PipeListener::Taken) {
                    break;
                }
                continue;
            }
            qDebug() << "注册失败:" << registered;
            break;
        }
        if (claim == PipeListener::Taken) {
            delete client;
            delete pipeHandler;
            return 0;
        }
    }

    qDebug() << "message server started successful.";
    // Before any message can arrive; goes after every handler (deleted below).
    const std::unique_ptr<PopupOutput> popupOutput = platform.startPopups();
    // Before any thread starts: a termination signal from here on ends the
    // agent in order (the quit waits for the event loop).
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher, &TerminationWatcher::onTerminate, &app,
                     &QApplication::quit, Qt::QueuedConnection);
    clientPool.addClient(client); // still the only thread: nothing competes
    ipcServer.start();
    ipcServer.waitForListening(5000); // its outcome is in the log
    auto* pollingController = new PollingController(nullptr, ZAV_FIRST_POLL_MS);
    auto* processController = new ProcessController(nullptr, ZAV_CHECK_INTERVAL_MS);
    QObject::connect(processController, &ProcessController::onExit, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    const int code = QApplication::exec();

    ipcServer.exit(0);
    delete pipeHandler;
    delete processController;
    pollingController->stop();
    delete pollingController;
    ipcServer.wait(); // the thread object must outlive its thread
    if (const int late = safetext::lateLayouts()) {
        // A text layout that ran past its budget cannot be stopped, and the
        // toolkit's globals must not go while it runs: end here.
        qDebug() << "ending with" << late << "text layouts still running";
        flushDebugLines(500);
        std::_Exit(code);
    }
    return code;
}
