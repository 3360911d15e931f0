#include "messagehandler.h"

#include "message/message.h"

MessageHandler::MessageHandler() : QWidget(nullptr) {}

void MessageHandler::handle(Message* msg)
{
    delete msg;
}
