#include "messagehandler.h"

#include "message/message.h"
#include "messagewindow.h"

#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

MessageHandler::MessageHandler() : QWidget(nullptr) {}

void MessageHandler::handle(Message* msg)
{
    auto* window = new MessageWindow(this);
    // Once the window is gone, see whether it was the last one.
    connect(window, &QObject::destroyed, this,
            [this] { QTimer::singleShot(0, this, &MessageHandler::releaseMemoryIfIdle); });
    window->setMessage(msg);
    window->popup();
}

void MessageHandler::releaseMemoryIfIdle()
{
    if (!findChildren<MessageWindow*>().isEmpty()) {
        return;
    }
#ifdef __GLIBC__
    // Popups leave freed heap behind that the allocator keeps; hand it back
    // so that an agent idling between popups stays small.
    malloc_trim(0);
#endif
}
