// On X11 the agent sees for itself whether the user clicked on a page popup:
// a page view that reports a link nobody clicked is not believed.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>

class QSocketNotifier;
struct xcb_connection_t;

/// Watches the pointer's buttons on the whole X display through a connection
/// of its own: XInput 2 raw button presses, which the X server reports to a
/// client that asks on the root window whichever window gets the click, and
/// which no client can make with SendEvent. Each press is kept with where
/// the pointer was, for limits::pageClickMs.
class ClickWitness : public QObject
{
    Q_OBJECT

public:
    /// The witness of the agent's X display; null where popups are not X11
    /// windows, or the display has no XInput 2.
    static ClickWitness* instance();
    ~ClickWitness() override;

    /// Takes the most recent press within limits::pageClickMs inside area
    /// (the agent's coordinates), if one is not taken yet: one press stands
    /// for one link.
    bool takeClick(const QRect& area);

private:
    explicit ClickWitness(xcb_connection_t* connection, quint8 opcode);
    /// Reads what the X server sent (a press asks where the pointer is).
    void read();

    struct Press
    {
        QElapsedTimer when;
        QPoint where; ///< on the screen, in the X server's pixels
    };
    xcb_connection_t* x;
    quint8 opcode;
    quint32 root = 0;
    QSocketNotifier* notifier = nullptr;
    QList<Press> presses; ///< the last few, oldest first
};
