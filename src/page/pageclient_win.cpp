// Page popups on Windows: the page view program needs Qt WebEngine, which has
// no build for this compiler, so there is none to start. MessageWindow shows
// the page's title, its address and a button that opens it in the user's
// browser instead; no page is ever loaded in the agent.
#include "pageclient.h"

PageClient::PageClient(QObject* parent) : QObject(parent) {}

PageClient::~PageClient() = default;

bool PageClient::supported(QString* why)
{
    if (why) {
        *why = QStringLiteral("no page view on Windows (Qt WebEngine has no MinGW build)");
    }
    return false;
}

bool PageClient::start(QString* why)
{
    supported(why);
    return false;
}

bool PageClient::open(const QUrl&, const QString&, const QRect&, Qt::Edges, const QRect&,
                      QString* why)
{
    return start(why);
}

void PageClient::moveTo(const QPoint&) {}

void PageClient::end(const QString&) {}

void PageClient::stop() {}

void PageClient::readChannel() {}

void PageClient::readLog() {}

void PageClient::handle(const pageframe::Frame&) {}

void PageClient::link(const QUrl&) {}

void PageClient::send(const pageframe::Writer&) {}

void PageClient::note(const QString&) {}

void PageClient::check() {}
