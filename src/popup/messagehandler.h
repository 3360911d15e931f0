// Turns every message to be shown into a popup window of its own, and keeps
// the popups of all handlers from covering one another.
#pragma once

#include <QWidget>

class Message;

/// A hidden widget that owns the popups it creates. Lives in the main thread;
/// messages reach it through queued connections.
///
/// Popups of every handler of the process share the screen: one that arrives
/// while others rest at the same corner rests next to them, toward the middle
/// of the screen (centred ones below the centred ones), and when one closes,
/// those further out move in. At most limits::maxShownPopups are on screen;
/// the next messages wait in order of arrival (up to limits::maxWaitingPopups
/// of them holding up to limits::maxWaitingPopupBytes of text; later ones are
/// dropped with a debug line)
/// and appear as earlier popups close. A message also waits while its popup
/// would not fit on the screen next to those already at its corner or would
/// cover another popup; it holds back only the later ones of its corner.
class MessageHandler : public QWidget
{
    Q_OBJECT

public:
    MessageHandler();
    /// Drops the messages of this handler that still wait; its popups go with it.
    ~MessageHandler() override;

    /// Pixels between two popups of a stack.
    static constexpr int stackGap = 4;

public slots:
    /// Shows msg in a new popup, which takes ownership of it, or keeps it
    /// waiting until there is room.
    void handle(Message* msg);
};
