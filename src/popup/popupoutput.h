// Where the popups of every message handler go: windows on the screen, the
// desktop's notification service, or only the log. The agent chooses one at
// start-up; until then (and in tests) popups are windows.
#pragma once

class Message;
class MessageHandler;

class PopupOutput
{
public:
    virtual ~PopupOutput() = default;
    /// Shows msg for handler, or keeps it until it can be shown; takes
    /// ownership of it. Main thread only.
    virtual void show(MessageHandler* handler, Message* msg) = 0;
    /// The handler is going: what of it still waits goes with it.
    virtual void forget(MessageHandler* handler) = 0;

    /// The output of every handler: the one set, else the windows.
    static PopupOutput& current();
    /// Makes output (not owned, null: the windows) the current one.
    static void setCurrent(PopupOutput* output);
    /// Popups as windows, stacked at their corners (the default).
    static PopupOutput& windows();
};

/// Shows nothing: each message is logged with its title and dropped. For an
/// agent that has neither a display nor a notification service.
class LogOutput : public PopupOutput
{
public:
    void show(MessageHandler* handler, Message* msg) override;
    void forget(MessageHandler* handler) override;
};
