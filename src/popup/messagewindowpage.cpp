// The page of a page popup: the part of MessageWindow that starts and follows
// the page view program (src/page, Linux only). The popup's own window is on
// the screen at once with a quiet note where the page goes; the page view's
// window, drawn at the same place with the same strip, covers it once it has
// painted, and this window hides under it. A page view that cannot start
// leaves the page's address as a link; one that ends leaves a note.
#include "messagewindow.h"

#include "core/urlpolicy.h"
#include "desktop/layersurface.h"
#include "message/limits.h"
#include "page/pageclient.h"
#include "page/pagespare.h"

#include <QDebug>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>

void MessageWindow::showPage(const QString& url)
{
    const QUrl address(url.trimmed(), QUrl::TolerantMode);
    const QString text = address.toString(QUrl::FullyEncoded);
    if (!urlpolicy::isWebUrl(address) || text.size() > limits::maxPageText) {
        // A file: page could read local files and send them out.
        qDebug().noquote() << "page not shown, not an http or https URL (of at most"
                           << limits::maxPageText << "characters):" << url.left(200);
        addNote("lblPageRefused", tr("This page is not shown: only web pages (http, https) are."));
        return;
    }
    pageUrl = address; // shown once the popup has its place (popup())
    pageNote = addNote("lblPageLoading", tr("Loading the page…"));
    pageNote->setStyleSheet(QStringLiteral("color:rgb(150, 150, 150);"));
}

QPushButton* MessageWindow::pageAsLink(const QString& url)
{
    const QUrl address(url.trimmed(), QUrl::TolerantMode);
    if (!urlpolicy::isWebUrl(address) ||
        address.toString(QUrl::FullyEncoded).size() > limits::maxPageText) {
        qDebug().noquote() << "page not shown, not an http or https URL (of at most"
                           << limits::maxPageText << "characters):" << url.left(200);
        ui.txtMessage->setPlainText(
            tr("This page is not shown: only web pages (http, https) are."));
        return nullptr;
    }
    ui.txtMessage->setHtml(QStringLiteral("<a href=\"%1\">%2</a>")
                               .arg(address.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                    address.toDisplayString().toHtmlEscaped()));
    QPushButton* button = makeButton(tr("Open the page"));
    button->setObjectName(QStringLiteral("btnOpenPage"));
    // Opened as any link is, by the URL policy; no action of the push service's.
    connect(button, &QPushButton::clicked, this, [this, address] {
        linkClicked(address);
        close();
    });
    return button;
}

void MessageWindow::startPage()
{
    page = pagespare::take(this);
    connect(page, &PageClient::ready, this, &MessageWindow::pageReady);
    connect(page, &PageClient::loaded, this, [] { pagespare::prepare(); });
    connect(page, &PageClient::linkClicked, this, &MessageWindow::linkClicked);
    connect(page, &PageClient::closeClicked, this, &MessageWindow::close);
    connect(page, &PageClient::dragged, this, [this](const QPoint& place) {
        move(place);
        emit onDragged();
    });
    connect(page, &PageClient::hovered, this, [this](bool in) {
        if (in) {
            pauseExpiry();
        } else {
            resumeExpiry();
        }
    });
    connect(page, &PageClient::failed, this, &MessageWindow::pageFailed);
    QString why;
    const Qt::Edges layer = layersurface::active() ? anchorEdges(restCorner) : Qt::Edges();
    // Where the slide, which starts next, begins.
    if (page->open(pageUrl, pageSender, QRect(hiddenPos, size()), layer, area, &why)) {
        return;
    }
    delete page;
    page = nullptr;
    qDebug() << "page view not available, showing the link instead:" << why;
    pageNote->setStyleSheet(QString());
    pageNote->setObjectName(QStringLiteral("lblPageLink"));
    pageNote->setTextFormat(Qt::RichText);
    pageNote->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                          .arg(pageUrl.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                               pageUrl.toDisplayString().toHtmlEscaped()));
    connect(pageNote, &QLabel::linkActivated, this,
            [this](const QString& target) { linkClicked(QUrl(target)); });
}

void MessageWindow::pageReady()
{
    hide();
}

void MessageWindow::pageFailed(const QString& why)
{
    qDebug().noquote() << "page could not be shown:" << why;
    page->deleteLater(); // still in its own signal
    page = nullptr;
    pageNote->setStyleSheet(QString());
    pageNote->setObjectName(QStringLiteral("lblPageFailed"));
    pageNote->setText(tr("This page could not be shown."));
    showWindow();
}

void MessageWindow::pageFollows()
{
    if (page) {
        page->moveTo(pos());
    }
}

void MessageWindow::endPage()
{
    if (page) { // its window goes at once; the object may be in one of its signals
        page->stop();
        page->deleteLater();
        page = nullptr;
    }
}
