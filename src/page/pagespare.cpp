#include "pagespare.h"

#include "message/limits.h"
#include "page/pageclient.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QTimer>

namespace {

/// The spare and the time it is kept for, in the application's object tree.
struct Spare
{
    QPointer<PageClient> client;
    QPointer<QTimer> idle;

    QTimer* timer()
    {
        if (!idle && QCoreApplication::instance()) {
            idle = new QTimer(QCoreApplication::instance());
            idle->setSingleShot(true);
            QObject::connect(idle, &QTimer::timeout, [] { pagespare::drop(); });
        }
        return idle;
    }
};

Spare spare;

} // namespace

PageClient* pagespare::take(QObject* parent)
{
    if (QTimer* idle = spare.timer()) {
        idle->start(limits::pageSpareIdleMs);
    }
    PageClient* client = spare.client;
    spare.client = nullptr;
    if (client && client->running()) {
        QObject::disconnect(client, &PageClient::failed, nullptr, nullptr);
        client->setParent(parent);
        return client;
    }
    delete client;
    return new PageClient(parent);
}

void pagespare::prepare()
{
    // Not while the page that has just loaded is being painted: the engine's
    // start takes a processor for most of a second.
    if (QTimer* idle = spare.timer()) {
        QTimer::singleShot(limits::pageSpareDelayMs, idle, &start);
    }
}

void pagespare::start()
{
    QTimer* idle = spare.timer();
    if (spare.client || !idle || !idle->isActive()) {
        return;
    }
    auto* client = new PageClient(idle);
    QString why;
    if (!client->start(&why)) {
        qDebug().noquote() << "no spare page view:" << why;
        delete client;
        return;
    }
    // A spare that ends by itself is not replaced until a page popup loads.
    QObject::connect(client, &PageClient::failed, client, &QObject::deleteLater);
    spare.client = client;
}

void pagespare::drop()
{
    delete spare.client.data();
    spare.client = nullptr;
}
