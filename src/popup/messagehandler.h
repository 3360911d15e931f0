// Turns every message to be shown into a popup window of its own.
#pragma once

#include <QWidget>

class Message;

/// A hidden widget that owns the popups it creates. Lives in the main thread;
/// messages reach it through queued connections.
class MessageHandler : public QWidget
{
    Q_OBJECT

public:
    MessageHandler();

public slots:
    /// Shows msg in a new popup, which takes ownership of it.
    void handle(Message* msg);

private:
    /// Returns freed memory to the system when no popup is left.
    void releaseMemoryIfIdle();
};
