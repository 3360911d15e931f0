#include "notificationoutput.h"

#include "core/actionreport.h"
#include "core/urlpolicy.h"
#include "message/message.h"
#include "popup/messagewindow.h"
#include "text/safetext.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include <climits>

namespace {

const char service[] = "org.freedesktop.Notifications";
const char path[] = "/org/freedesktop/Notifications";
/// Action keys: the page's default action, and "action-N" for the N-th action.
const char defaultKey[] = "default";
const char actionKey[] = "action-";
/// What the URL policy may let open.
const char* const openedSchemes[] = {"http", "https", "mailto"};

QDBusMessage call(const char* method)
{
    return QDBusMessage::createMethodCall(QLatin1String(service), QLatin1String(path),
                                          QLatin1String(service), QLatin1String(method));
}

bool isPage(const Message* msg)
{
    return msg->messageForm == QLatin1String("Url");
}

QUrl pageOf(const Message* msg)
{
    return QUrl(msg->url.trimmed(), QUrl::TolerantMode);
}

} // namespace

NotificationOutput::NotificationOutput(const QDBusConnection& connection) : bus(connection)
{
    const QDBusMessage caps = bus.call(call("GetCapabilities"), QDBus::Block, callTimeoutMs);
    capabilities = caps.arguments().value(0).toStringList();
    const QVariantList info =
        bus.call(call("GetServerInformation"), QDBus::Block, callTimeoutMs).arguments();
    server = (info.value(0).toString() + QLatin1Char(' ') + info.value(2).toString()).trimmed();
    if (server.isEmpty()) {
        server = QStringLiteral("no answer");
    }
    bus.connect(QLatin1String(service), QLatin1String(path), QLatin1String(service),
                QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    bus.connect(QLatin1String(service), QLatin1String(path), QLatin1String(service),
                QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
    for (const char* scheme : openedSchemes) {
        QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "openWithXdgOpen");
    }
}

NotificationOutput::~NotificationOutput()
{
    for (const char* scheme : openedSchemes) {
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    if (&PopupOutput::current() == this) {
        PopupOutput::setCurrent(nullptr);
    }
}

void NotificationOutput::show(MessageHandler* handler, Message* msg)
{
    Q_UNUSED(handler)
    if (pending >= maxPending) {
        qDebug() << "popup: too many messages waiting, dropped:" << msg->title.left(100);
        delete msg;
        return;
    }
    const bool markup = capabilities.contains(QLatin1String("body-markup"));
    QString body;
    QStringList actions;
    if (isPage(msg)) {
        if (urlpolicy::isWebUrl(pageOf(msg))) {
            body = markup ? msg->url.left(2000).toHtmlEscaped() : msg->url.left(2000);
            actions << QLatin1String(defaultKey) << tr("Open the page");
        } else {
            qDebug().noquote() << "page not shown, not an http or https URL:" << msg->url.left(200);
            body = tr("This page is not shown: only web pages (http, https) are.");
        }
    } else {
        // A link in the body is opened by the service itself: only those
        // that the URL policy lets open are links there.
        body = markup ? safetext::notificationMarkup(
                            msg->summary, capabilities.contains(QLatin1String("body-hyperlinks")))
                      : safetext::plainText(msg->summary);
        for (int i = 0; i < msg->actions.size(); ++i) {
            actions << QLatin1String(actionKey) + QString::number(i)
                    << safetext::plainText(msg->actions.at(i)->action);
        }
    }
    bool timed = false;
    const qint64 seconds = msg->settings.value(QStringLiteral("timeout")).toLongLong(&timed, 10);
    const int expiry = timed && seconds > 0 ? int(qMin(seconds, qint64(INT_MAX / 1000)) * 1000)
                                            : 0; // 0: until closed, as a popup without one
    const QString sender = msg->authorName.isEmpty() ? MessageWindow::defaultSender()
                                                     : safetext::plainText(msg->authorName);
    QDBusMessage notify = call("Notify");
    notify << sender << 0U << QString() << safetext::plainText(msg->title) << body << actions
           << QVariantMap() << expiry;
    ++pending;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify, callTimeoutMs), this);
    // The message goes with the watcher if this output goes before the answer.
    auto owned = std::make_shared<std::unique_ptr<Message>>(msg);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, owned](auto* w) {
        w->deleteLater();
        --pending;
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            qDebug() << "notification not shown:" << reply.error().message().left(200)
                     << (*owned)->title.left(100);
            return;
        }
        remember(reply.value(), owned->release());
    });
}

void NotificationOutput::forget(MessageHandler* handler)
{
    Q_UNUSED(handler) // its notifications stay with the service
}

void NotificationOutput::remember(uint id, Message* msg)
{
    if (!shown.emplace(id, msg).second) {
        delete msg; // the service gave an id twice
        return;
    }
    order.push_back(id);
    while (order.size() > size_t(maxRemembered)) {
        shown.erase(order.front()); // its actions do nothing from now on
        order.pop_front();
    }
}

void NotificationOutput::actionInvoked(uint id, const QString& key)
{
    auto it = shown.find(id);
    if (it == shown.end()) {
        return; // another program's notification, or one long forgotten
    }
    const Message* msg = it->second.get();
    if (isPage(msg) && key == QLatin1String(defaultKey)) {
        urlpolicy::openExternally(pageOf(msg), "page");
    } else if (key.startsWith(QLatin1String(actionKey))) {
        bool ok = false;
        const int index = key.mid(int(qstrlen(actionKey))).toInt(&ok);
        if (!ok || index < 0 || index >= msg->actions.size()) {
            return;
        }
        const MessageAction* action = msg->actions.at(index);
        actionreport::send(action->id.trimmed(), this);
        urlpolicy::openExternally(QUrl(action->url.trimmed(), QUrl::TolerantMode), "action");
    } else {
        return;
    }
    QDBusMessage close = call("CloseNotification");
    close << id;
    bus.call(close, QDBus::NoBlock);
    notificationClosed(id, 0);
}

void NotificationOutput::openWithXdgOpen(const QUrl& url)
{
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)})) {
        qDebug() << "xdg-open could not be started";
    }
}

void NotificationOutput::notificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    if (shown.erase(id) > 0) {
        order.erase(std::find(order.begin(), order.end(), id));
    }
}
