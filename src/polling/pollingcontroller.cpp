#include "pollingcontroller.h"

#include "popup/messagehandler.h"

PollingController::PollingController(QObject* parent) : QObject(parent)
{
    handler = new MessageHandler();
}

void PollingController::stop()
{
    delete handler;
    handler = nullptr;
}

void PollingController::changeInterval(int seconds)
{
    Q_UNUSED(seconds)
}
