#include "messagehandler.h"

#include "message/limits.h"
#include "message/message.h"
#include "popup/messagewindow.h"
#include "popup/popupoutput.h"

#include <QDebug>
#include <QTimer>

#include <deque>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

/// Bytes of text a message holds (UTF-16), what it costs while it waits.
qint64 textBytes(const Message* msg)
{
    qint64 chars = msg->uuid.size() + msg->messageForm.size() + msg->title.size() +
                   msg->summary.size() + msg->url.size() + msg->authorName.size();
    for (auto it = msg->settings.constBegin(); it != msg->settings.constEnd(); ++it) {
        chars += it.key().size() + it.value().size();
    }
    for (const MessageAction* action : msg->actions) {
        chars += action->id.size() + action->action.size() + action->url.size();
    }
    return chars * 2;
}

/// The popups of every handler of the process: which are on screen, how they
/// stack at each corner, and the messages that wait for room. Main thread only.
class PopupRegistry : public PopupOutput
{
public:
    ~PopupRegistry() override
    {
        for (const Waiting& w : waiting) {
            delete w.message;
        }
    }

    void show(MessageHandler* handler, Message* msg) override
    {
        const qint64 bytes = textBytes(msg);
        if (!waiting.empty() && (static_cast<int>(waiting.size()) >= limits::maxWaitingPopups ||
                                 waitingBytes + bytes > limits::maxWaitingPopupBytes)) {
            qDebug() << "popup: too many messages waiting, dropped:" << msg->title.left(100);
            delete msg;
            return;
        }
        waiting.push_back({handler, msg, bytes});
        waitingBytes += bytes;
        showWaiting();
    }

    /// Forgets a handler that is going: its waiting messages are deleted, its
    /// popups (about to go with it) leave their stacks.
    void forget(MessageHandler* handler) override
    {
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->handler == handler) {
                delete it->message;
                waitingBytes -= it->bytes;
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
        for (MessageWindow*& window : pending) {
            if (window && window->parent() == handler) {
                delete window;
                window = nullptr;
            }
        }
        const QList<MessageWindow*> open = shown;
        for (MessageWindow* window : open) {
            if (window->parent() == handler) {
                remove(window);
            }
        }
        showWaiting();
    }

private:
    struct Waiting
    {
        MessageHandler* handler;
        Message* message;
        qint64 bytes;
    };
    struct Entry
    {
        MessageWindow* window;
        QPoint lone; ///< where it would rest alone at its corner
    };

    /// Resting places of one corner's stack, the first at the corner itself.
    static QList<QPoint> places(const QList<Entry>& stack)
    {
        QList<QPoint> result;
        int offset = 0;
        for (const Entry& e : stack) {
            QPoint p = e.lone;
            switch (e.window->corner()) {
            case MessageWindow::BottomRight:
            case MessageWindow::BottomLeft:
                p.ry() -= offset; // above the earlier ones
                break;
            case MessageWindow::TopRight:
            case MessageWindow::TopLeft:
                p.ry() += offset; // below them
                break;
            case MessageWindow::Center:
                if (!result.isEmpty()) {
                    p.setY(result.constLast().y() + offset);
                    offset = 0; // each one right below the one before
                }
                break;
            }
            result << p;
            offset += e.window->height() + MessageHandler::stackGap;
        }
        return result;
    }

    /// Whether window can rest at "at": on the screen when it is not the first
    /// of its stack, and clear of every other resting popup.
    bool fits(const MessageWindow* window, const QPoint& at, bool first) const
    {
        const QRect area = window->screenArea();
        const QRect place(at, window->size());
        if (!first && !area.isEmpty() &&
            (place.top() < area.top() || place.bottom() > area.bottom())) {
            return false;
        }
        for (const QList<Entry>& stack : stacks) {
            for (const Entry& e : stack) {
                if (e.window != window &&
                    QRect(e.window->restPosition(), e.window->size()).intersects(place)) {
                    return false;
                }
            }
        }
        return true;
    }

    /// Shows waiting messages while there is room, in order of arrival for
    /// each corner: one that does not fit holds back the later ones of its
    /// corner only.
    void showWaiting()
    {
        bool blocked[corners] = {};
        for (int c = 0; c < corners && shown.size() < limits::maxShownPopups; ++c) {
            if (pending[c] && tryShow(pending[c])) {
                pending[c] = nullptr;
            }
            blocked[c] = pending[c] != nullptr;
        }
        for (auto it = waiting.begin();
             it != waiting.end() && shown.size() < limits::maxShownPopups;) {
            const int c =
                MessageWindow::cornerOf(it->message->settings.value(QStringLiteral("position")));
            if (blocked[c]) {
                ++it;
                continue;
            }
            auto* window = new MessageWindow(it->handler);
            window->setMessage(it->message);
            waitingBytes -= it->bytes;
            it = waiting.erase(it);
            if (!tryShow(window)) {
                pending[c] = window; // waits, built and hidden, until a popup goes
                blocked[c] = true;
            }
        }
    }

    /// Shows window in its stack if it fits there.
    bool tryShow(MessageWindow* window)
    {
        QList<Entry>& stack = stacks[window->corner()];
        stack.append({window, window->restPosition()});
        const QPoint place = places(stack).constLast();
        if (!fits(window, place, stack.size() == 1)) {
            stack.removeLast();
            return false;
        }
        shown << window;
        qDebug().noquote() << "popup shown:" << window->accessibleName().left(100);
        window->setRestPosition(place);
        QObject::connect(window, &QObject::destroyed, [this, window] { closed(window); });
        QObject::connect(window, &MessageWindow::onDragged, window,
                         [this, window] { leaveStack(window); });
        window->popup();
        return true;
    }

    void closed(MessageWindow* window)
    {
        if (!shown.contains(window)) {
            return;
        }
        remove(window);
        showWaiting();
        if (shown.isEmpty()) {
            // Popups leave freed heap behind that the allocator keeps; hand it
            // back so that an agent idling between popups stays small.
            QTimer::singleShot(0, [this] {
                if (shown.isEmpty()) {
#ifdef __GLIBC__
                    malloc_trim(0);
#endif
                }
            });
        }
    }

    void remove(MessageWindow* window)
    {
        shown.removeOne(window);
        leaveStack(window, false);
    }

    /// Takes a window out of its stack (a dragged one stays on screen); the
    /// ones further out move in.
    void leaveStack(MessageWindow* window, bool thenShowWaiting = true)
    {
        for (QList<Entry>& stack : stacks) {
            for (int i = 0; i < stack.size(); ++i) {
                if (stack.at(i).window != window) {
                    continue;
                }
                stack.removeAt(i);
                const QList<QPoint> rest = places(stack);
                for (int j = i; j < stack.size(); ++j) {
                    stack.at(j).window->slideTo(rest.at(j));
                }
                if (thenShowWaiting) {
                    showWaiting();
                }
                return;
            }
        }
    }

    static const int corners = MessageWindow::Center + 1;
    std::deque<Waiting> waiting;
    qint64 waitingBytes = 0;
    /// For each corner, the first message that did not fit there, built.
    MessageWindow* pending[corners] = {};
    QList<MessageWindow*> shown;
    QList<Entry> stacks[corners];
};

PopupOutput* chosen = nullptr;

} // namespace

PopupOutput& PopupOutput::windows()
{
    static PopupRegistry instance;
    return instance;
}

PopupOutput& PopupOutput::current()
{
    return chosen ? *chosen : windows();
}

void PopupOutput::setCurrent(PopupOutput* output)
{
    chosen = output;
}

void LogOutput::show(MessageHandler* handler, Message* msg)
{
    Q_UNUSED(handler)
    qDebug() << "popup not shown (no display, no notification service):" << msg->title.left(200);
    delete msg;
}

void LogOutput::forget(MessageHandler* handler)
{
    Q_UNUSED(handler)
}

MessageHandler::MessageHandler() : QWidget(nullptr) {}

MessageHandler::~MessageHandler()
{
    PopupOutput::windows().forget(this); // what it had before another output was chosen
    if (&PopupOutput::current() != &PopupOutput::windows()) {
        PopupOutput::current().forget(this);
    }
}

void MessageHandler::handle(Message* msg)
{
    PopupOutput::current().show(this, msg);
}
