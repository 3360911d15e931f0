#include "messagehandler.h"

#include "message/message.h"
#include "messagewindow.h"

MessageHandler::MessageHandler() : QWidget(nullptr) {}

void MessageHandler::handle(Message* msg)
{
    auto* window = new MessageWindow(this);
    window->setMessage(msg);
    window->popup();
}
