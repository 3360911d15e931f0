// Page popups on Windows: the page view program needs Qt WebEngine, which has
// no build for this compiler, so there is none to start. The popup shows the
// page's title and a button that opens the page in the user's browser
// (MessageWindow); no page is ever loaded in the agent.
#include "pageclient.h"

PageClient::PageClient(QObject* parent) : QObject(parent) {}

PageClient::~PageClient() = default;

bool PageClient::open(const QUrl&, const QString&, const QRect&, Qt::Edges, const QRect&,
                      QString* why)
{
    *why = QStringLiteral("no page view on Windows (Qt WebEngine has no MinGW build)");
    return false;
}

void PageClient::moveTo(const QPoint&) {}

void PageClient::end(const QString&) {}

void PageClient::stop() {}

void PageClient::readChannel() {}

void PageClient::readLog() {}

void PageClient::handle(const pageframe::Frame&) {}

void PageClient::send(const pageframe::Writer&) {}

void PageClient::check() {}
