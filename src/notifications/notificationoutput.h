// Popups as notifications of the desktop's notification service, for a
// session where the agent has no screen of its own to place windows on.
#pragma once

#include "popup/popupoutput.h"

#include <QDBusConnection>
#include <QObject>
#include <QStringList>

#include <deque>
#include <map>
#include <memory>

/// Each message becomes one notification: the title its summary, the message's
/// text its body (in the markup the service reads, else plain), the sender
/// its application name, the actions its actions (invoking one sends the
/// action report and opens the action's URL, as a popup's button does), the
/// "timeout" setting its expiry (without one it stays until closed). A page
/// message becomes a notification whose default action opens the page in
/// the browser. The messages of the last maxRemembered notifications are
/// kept for their actions. While it lives, the URLs it opens (web and mail)
/// go to xdg-open, which the offscreen platform it runs on cannot reach.
class NotificationOutput : public QObject, public PopupOutput
{
    Q_OBJECT

public:
    static constexpr int maxRemembered = 1000;
    /// Calls to the service that may wait for its answer at once; past that,
    /// messages are dropped with a debug line.
    static constexpr int maxPending = 100;
    static constexpr int callTimeoutMs = 5000;

    /// Asks the service on bus for its name and what it reads (waits at most
    /// callTimeoutMs).
    explicit NotificationOutput(const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~NotificationOutput() override;

    void show(MessageHandler* handler, Message* msg) override;
    void forget(MessageHandler* handler) override;

    /// The service's name and version, as it gives them.
    QString serverName() const { return server; }

private slots:
    void actionInvoked(uint id, const QString& key);
    void openWithXdgOpen(const QUrl& url);
    void notificationClosed(uint id, uint reason);

private:
    void remember(uint id, Message* msg);

    QDBusConnection bus;
    QStringList capabilities;
    QString server;
    int pending = 0;
    std::map<uint, std::unique_ptr<Message>> shown; ///< by notification id
    std::deque<uint> order;                         ///< of shown, oldest first
};
