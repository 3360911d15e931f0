#include "pagepopup.h"

#include "desktop/layersurface.h"
#include "desktop/popuplook.h"
#include "webpage.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDebug>
#include <QLabel>
#include <QLocalSocket>
#include <QMouseEvent>
#include <QPushButton>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <unistd.h>

using namespace pageframe;

PagePopup::PagePopup(QLocalSocket* channel) : channel(channel)
{
    // The agent's popup form as its page form has it: in the 5-pixel band
    // around the body the shadow, in the body the strip and below it the page.
    setWindowTitle(QStringLiteral("消息框"));
    setContextMenuPolicy(Qt::NoContextMenu);
    setStyleSheet(QStringLiteral("background-color:rgb(255, 255, 255)"));
    column = new QVBoxLayout(this);
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(0);
    auto* strip = new QHBoxLayout;
    strip->setSpacing(0);
    column->addLayout(strip);
    sender = new QLabel(this);
    sender->setTextFormat(Qt::PlainText);
    sender->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    sender->setMinimumHeight(24);
    QFont bold(QStringLiteral("微软雅黑"), 10, QFont::Bold);
    sender->setFont(bold);
    sender->setStyleSheet(
        QStringLiteral("background-color:rgb(0, 170, 255); color:white;padding-left:6px;"));
    strip->addWidget(sender);
    closeButton = new QPushButton(this);
    closeButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    closeButton->setMinimumSize(24, 24);
    strip->addWidget(closeButton);
    popuplook::dress(this, closeButton);
    connect(closeButton, &QPushButton::clicked, this, [this] {
        hide();
        send(Writer(CloseClicked));
    });
    connect(channel, &QLocalSocket::readyRead, this, &PagePopup::readChannel);
    // The agent closed the popup, or ended.
    connect(channel, &QLocalSocket::disconnected, this, [] { ::_exit(0); });
    qApp->installEventFilter(this); // the user's clicks and key presses in the page

    readChannel();
    if (!opened) { // a spare: the engine, the page's profile and a renderer
                   // process (an empty document) ready for the page to come
        makeView();
        page->warmUp();
        create(); // the window, not yet shown
    }
}

void PagePopup::makeView()
{
    view = new QWebEngineView(this);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    page = new WebPage(view);
    view->setPage(page);
    column->addWidget(view, 1);
}

void PagePopup::readChannel()
{
    reader.add(channel->readAll());
    Frame frame;
    while (reader.next(&frame)) {
        handle(frame);
    }
    if (reader.broken()) {
        end(QStringLiteral("the agent's channel broke"));
    }
}

void PagePopup::handle(const Frame& frame)
{
    Fields fields(frame.fields);
    if (frame.type == Open && !opened) {
        const QUrl url(fields.text());
        const QString sender = fields.text();
        const int x = fields.number(), y = fields.number();
        const int width = fields.number(), height = fields.number();
        const auto layer = Qt::Edges(fields.number());
        const int ax = fields.number(), ay = fields.number();
        const int aw = fields.number(), ah = fields.number();
        if (fields.ok()) {
            open(url, sender, QRect(x, y, width, height), layer, QRect(ax, ay, aw, ah));
        }
    } else if (frame.type == Place) {
        const int x = fields.number(), y = fields.number();
        if (fields.ok()) {
            move(x, y);
        }
    } else if (frame.type == Ping) {
        const qint32 n = fields.number();
        if (!fields.ok()) {
            return;
        }
        if (!page) {
            send(Writer(Pong).number(n));
            return;
        }
        // Answered once the page's thread runs it: not while a script of the
        // page loops. In a world of its own, unseen by the page's scripts.
        page->runJavaScript(QStringLiteral("0"), QWebEngineScript::ApplicationWorld,
                            [this, n](const QVariant&) { send(Writer(Pong).number(n)); });
    }
}

void PagePopup::open(const QUrl& url, const QString& text, const QRect& geometry, Qt::Edges layer,
                     const QRect& area)
{
    opened = true;
    setGeometry(geometry);
    setFixedSize(geometry.size());
    if (!view) {
        makeView();
    }
    const int room = geometry.width() - 10 - closeButton->minimumWidth() - 12;
    sender->setText(sender->fontMetrics().elidedText(text, Qt::ElideRight, room));
    sender->setToolTip(text);
    setAccessibleName(text);

    connect(page, &WebPage::linkClicked, this, [this](const QUrl& link) {
        send(Writer(Link).text(link.toString(QUrl::FullyEncoded)));
    });
    connect(page, &QWebEnginePage::loadFinished, this, [this, url](bool ok) {
        if (page->requestedUrl() == url) { // not the empty document of warmUp
            send(Writer(Loaded).number(ok ? 1 : 0));
        }
    });
    connect(page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int code) {
                const char* how = status == QWebEnginePage::CrashedTerminationStatus  ? "crashed"
                                  : status == QWebEnginePage::KilledTerminationStatus ? "was killed"
                                                                                      : "ended";
                end(QStringLiteral("the page's renderer %1 (code %2)")
                        .arg(QLatin1String(how))
                        .arg(code));
            });
    page->load(url);

    if (layer) {
        layersurface::attach(this, layer, area);
    }
    show();
}

void PagePopup::shown()
{
    if (painted) {
        return;
    }
    painted = true;
    // What this window drew is on the screen before the agent takes its own
    // window away from under it.
    QGuiApplication::sync();
    send(Writer(Ready));
}

void PagePopup::send(const Writer& frame)
{
    channel->write(frame.frame());
    channel->flush();
}

void PagePopup::end(const QString& why)
{
    qDebug().noquote() << "page view ends:" << why;
    send(Writer(Gone).text(why));
    ::_exit(1);
}

void PagePopup::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    popuplook::paintBody(this);
    if (opened && !painted) { // once this pass has gone to the screen
        QMetaObject::invokeMethod(this, &PagePopup::shown, Qt::QueuedConnection);
    }
}

void PagePopup::mousePressEvent(QMouseEvent* event)
{
    drag.press(this, event);
}

void PagePopup::mouseMoveEvent(QMouseEvent* event)
{
    if (drag.move(this, event)) {
        send(Writer(Dragged).number(x()).number(y()));
    }
}

void PagePopup::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event)
    drag.release();
}

void PagePopup::enterEvent(QEvent* event)
{
    Q_UNUSED(event)
    send(Writer(Hover).number(1));
}

void PagePopup::leaveEvent(QEvent* event)
{
    Q_UNUSED(event)
    send(Writer(Hover).number(0));
}

bool PagePopup::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    // Only what the window system delivers counts: a page cannot make these.
    if (view && event->spontaneous() &&
        (type == QEvent::MouseButtonRelease || type == QEvent::KeyPress)) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (opened && widget && (widget == view || view->isAncestorOf(widget))) {
            page->userGesture(type == QEvent::MouseButtonRelease);
        }
    }
    return QWidget::eventFilter(watched, event);
}
