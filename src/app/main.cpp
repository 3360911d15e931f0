#include "app/logging.h"
#include "app/terminationwatcher.h"
#include "core/clientpool.h"
#include "ipc/ipcclient.h"
#include "ipc/ipcserver.h"
#include "message/message.h"
#include "polling/pollingcontroller.h"
#include "popup/messagehandler.h"
#include "process/processcontroller.h"

#include <QApplication>
#include <QDebug>

// The tests' build of the agent checks its hosts and polls sooner.
#ifndef ZAV_CHECK_INTERVAL_MS
#define ZAV_CHECK_INTERVAL_MS (120 * 1000)
#endif
#ifndef ZAV_FIRST_POLL_MS
#define ZAV_FIRST_POLL_MS 0 // one poll interval
#endif

int main(int argc, char* argv[])
{
    installMessagePattern();
    // Popups keep their logical size on scaled screens.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);

    QApplication app(argc, argv); // takes the toolkit's own options out of argv
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

    if (reply != QLatin1String("NotConnected")) {
        qDebug() << "the instance is about to exit as it already started.";
        const QString registered =
            ipcClient.sendCommand(QStringLiteral("REGISTER:") + client->toJson());
        if (registered != QLatin1String("OK")) {
            qDebug() << "注册失败:" << registered;
        }
        delete client;
        delete pipeHandler;
        return 0;
    }

    qDebug() << "message server started successful.";
    // Before any thread starts: a termination signal from here on ends the
    // agent in order (the quit waits for the event loop).
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher, &TerminationWatcher::onTerminate, &app,
                     &QApplication::quit, Qt::QueuedConnection);
    clientPool.addClient(client); // still the only thread: nothing competes
    ipcServer.start();
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
    return code;
}
