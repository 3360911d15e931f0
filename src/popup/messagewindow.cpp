#include "messagewindow.h"

#include "core/actionreport.h"
#include "core/urlpolicy.h"
#include "desktop/layersurface.h"
#include "desktop/popuplook.h"
#include "message/message.h"
#include "page/pageclient.h"
#include "text/safetext.h"

#include <QAccessible>
#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <climits>

namespace {

/// Room left and right of an action button's label, beyond the style's own.
const int labelPadding = 10;

/// The longest expiry time a message can ask for, in seconds (about 24 days,
/// the most a timer takes).
const qint64 maxTimeoutSeconds = INT_MAX / 1000;

const char actionButtonStyle[] =
    "QPushButton { color:white;background-color:rgb(0, 170, "
    "255);border:none;border-radius:3px; } QPushButton:hover:!pressed { "
    "color:white;background-color:rgb(20, 190, 255);border:none;border-radius:3px; }";

} // namespace

// The close-button images are registered before main() runs, like any
// statically built resource bundle (the macro must be used outside any
// namespace).
static int registerResources()
{
    Q_INIT_RESOURCE(resources);
    return 1;
}
static const int resourcesRegistered = registerResources();

MessageWindow::MessageWindow(QWidget* parent) : QWidget(parent)
{
    ui.setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui.btnClose, &QPushButton::clicked, this, &MessageWindow::close);
    popuplook::dress(this, ui.btnClose);
}

MessageWindow::~MessageWindow()
{
    clearAll();
    delete message;
}

QString MessageWindow::defaultSender()
{
    return QStringLiteral("ZAV 消息中心");
}

void MessageWindow::setMessage(Message* msg)
{
    message = msg;
    const QString sender = msg->authorName.isEmpty() ? defaultSender() : msg->authorName;
    // Texts of a message may be HTML that refers to files, or that would take
    // Qt for ever to lay out: shown without the files, and plain if need be.
    safetext::TextBatch texts;
    texts.add(ui.lblSource, sender);
    texts.add(ui.lblTitle, msg->title);
    texts.add(ui.txtMessage, msg->summary);
    texts.show();
    pageSender = safetext::plainText(sender);
    fullTitle = ui.lblTitle->text();
    ui.lblTitle->installEventFilter(this); // elides the title on resize
    // Links in the body open in the browser; the body never navigates away.
    ui.txtMessage->setOpenLinks(false);
    connect(ui.txtMessage, &QTextBrowser::anchorClicked, this, &MessageWindow::linkClicked);

    QPushButton* openPage = nullptr;
    QString noPageView;
    if (msg->messageForm == QLatin1String("Url") && !PageClient::supported(&noPageView)) {
        qDebug().noquote() << "page popup shown as a text popup with a link:" << noPageView;
        openPage = pageAsLink(msg->url);
    } else if (msg->messageForm == QLatin1String("Url")) {
        delete ui.hlBottom; // takes its spacer with it and leaves vlMain
        ui.hlBottom = nullptr;
        delete ui.hlMid; // with vlContent
        ui.hlMid = nullptr;
        ui.vlContent = nullptr;
        ui.lblTitle->removeEventFilter(this);
        delete ui.lblTitle;
        ui.lblTitle = nullptr;
        delete ui.txtMessage;
        ui.txtMessage = nullptr;
        showPage(msg->url);
    }
    QList<QPushButton*> buttons;
    if (ui.hlBottom) {
        for (MessageAction* action : qAsConst(msg->actions)) {
            QPushButton* button = makeButton(action->action);
            button->setObjectName(QStringLiteral("btn") + action->id);
            button->setProperty("url", action->url);
            button->setProperty("id", action->id);
            buttons << button;
            connect(button, &QPushButton::clicked, this, &MessageWindow::btnClicked);
        }
    }
    if (openPage) {
        buttons << openPage;
    }

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    // Never larger than the screen, whatever the message asks for.
    const int mostWidth = area.isEmpty() ? QWIDGETSIZE_MAX : area.width();
    const int mostHeight = area.isEmpty() ? QWIDGETSIZE_MAX : area.height();
    // Nor do a sender or a title make it larger: their text (a wide table, a
    // long line) would otherwise set the popup's least size, and a popup
    // 32767 pixels square takes gigabytes.
    for (QLabel* label : {ui.lblSource, ui.lblTitle}) {
        if (label) {
            label->setMaximumSize(mostWidth - 40, mostHeight / 4);
        }
    }
    for (auto it = msg->settings.constBegin(); it != msg->settings.constEnd(); ++it) {
        bool ok = false;
        const int value = it.value().toInt(&ok, 10);
        if (!ok) {
            continue;
        }
        if (it.key() == QLatin1String("height")) {
            setFixedHeight(qBound(0, value, mostHeight));
        } else if (it.key() == QLatin1String("width")) {
            setFixedWidth(qBound(0, value, mostWidth));
        }
    }

    // Buttons that do not fit in one row take more rows; the popup grows.
    const QMargins rowMargins = ui.hlBottom ? ui.hlBottom->contentsMargins() : QMargins();
    const int extraHeight =
        arrangeButtons(buttons, width() - 10 - rowMargins.left() - rowMargins.right());
    if (extraHeight > 0) {
        const int grown = qMin(height() + extraHeight, mostHeight);
        if (minimumHeight() == maximumHeight()) {
            setFixedHeight(grown);
        } else {
            resize(width(), grown);
        }
    }

    // A popup that asks for it closes by itself after "timeout" seconds.
    bool timed = false;
    const qint64 seconds = msg->settings.value(QStringLiteral("timeout")).toLongLong(&timed, 10);
    if (timed && seconds > 0) {
        expiryLeftMs = static_cast<int>(qMin(seconds, maxTimeoutSeconds) * 1000);
    }

    const QString position = msg->settings.value(QStringLiteral("position"));
    restCorner = cornerOf(position);
    placement(area, size(), position, &restPos, &hiddenPos);

    // What a screen reader announces: sender, title and the summary as plain text.
    setAccessibleName(msg->title.isEmpty() ? sender : sender + QStringLiteral(": ") + msg->title);
    setAccessibleDescription(safetext::plainText(msg->summary));
}

QPushButton* MessageWindow::makeButton(const QString& label)
{
    auto* button = new QPushButton(ui.widget);
    button->setMinimumHeight(22);
    button->setMinimumWidth(
        qMax(70, button->fontMetrics().horizontalAdvance(label) + 2 * labelPadding));
    button->setStyleSheet(QLatin1String(actionButtonStyle));
    button->setText(label);
    button->setAccessibleName(label);
    return button;
}

QLabel* MessageWindow::addNote(const char* name, const QString& text)
{
    auto* note = new QLabel(ui.widget);
    note->setObjectName(QLatin1String(name));
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    note->setTextFormat(Qt::PlainText);
    note->setText(text);
    note->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    ui.vlMain->addWidget(note);
    return note;
}

MessageWindow::Corner MessageWindow::cornerOf(const QString& position)
{
    const bool bottom = position.contains(QLatin1String("bottom"));
    const bool top = position.contains(QLatin1String("top"));
    const bool left = position.contains(QLatin1String("left"));
    const bool right = position.contains(QLatin1String("right"));
    if (bottom && right) {
        return BottomRight;
    }
    if (bottom && left) {
        return BottomLeft;
    }
    if (top && right) {
        return TopRight;
    }
    if (left && top) {
        return TopLeft;
    }
    if (position.contains(QLatin1String("center"))) {
        return Center;
    }
    return BottomRight;
}

void MessageWindow::placement(const QRect& available, const QSize& size, const QString& position,
                              QPoint* rest, QPoint* hidden)
{
    const int W = available.width();
    const int H = available.height();
    const int w = size.width();
    const int h = size.height();
    switch (cornerOf(position)) {
    case BottomRight:
        *rest = QPoint(W - w, H - h);
        *hidden = QPoint(W - w, H);
        break;
    case BottomLeft:
        *rest = QPoint(0, H - h);
        *hidden = QPoint(0, H);
        break;
    case TopRight:
        *rest = QPoint(W - w, 0);
        *hidden = QPoint(W - w, -h);
        break;
    case TopLeft:
        *rest = QPoint(0, 0);
        *hidden = QPoint(0, -h);
        break;
    case Center:
        *rest = QPoint((W - w) / 2, (H - h) / 2);
        *hidden = *rest;
        break;
    }
    // A panel at the top or left of the screen moves the available area.
    *rest += available.topLeft();
    *hidden += available.topLeft();
}

Qt::Edges MessageWindow::anchorEdges(Corner corner)
{
    switch (corner) {
    case BottomRight:
        return Qt::BottomEdge | Qt::RightEdge;
    case BottomLeft:
        return Qt::BottomEdge | Qt::LeftEdge;
    case TopRight:
        return Qt::TopEdge | Qt::RightEdge;
    case TopLeft:
    case Center:
        break;
    }
    return Qt::TopEdge | Qt::LeftEdge;
}

void MessageWindow::popup()
{
    // A page popup too is on the screen at once, with its page's place in
    // it; the page view's window takes that place once it has painted. The
    // page view starts first: it takes longer.
    move(restPos);
    if (!pageUrl.isEmpty()) {
        startPage();
        pageUrl.clear();
    }
    showAnimation();
    showWindow();
    if (expiryLeftMs > 0) {
        expiry = new QTimer(this);
        expiry->setSingleShot(true);
        connect(expiry, &QTimer::timeout, this, &MessageWindow::close);
        expiry->start(expiryLeftMs);
        expiryClock.start();
    }
    QAccessibleEvent alert(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void MessageWindow::showWindow()
{
    if (layersurface::active()) {
        layersurface::attach(this, anchorEdges(restCorner), area);
    }
    show();
}

void MessageWindow::setPlace(const QPoint& place)
{
    move(place);
    pageFollows();
}

void MessageWindow::showAnimation()
{
    delete animation; // a slide begun before the page view was there
    animation = new QPropertyAnimation(this, "place");
    animation->setDuration(200);
    animation->setStartValue(hiddenPos);
    animation->setEndValue(restPos);
    animation->start(QAbstractAnimation::KeepWhenStopped);
}

void MessageWindow::slideTo(const QPoint& rest)
{
    restPos = rest;
    if (!animation) {
        animation = new QPropertyAnimation(this, "place");
    }
    disconnect(animation, &QPropertyAnimation::finished, this, &MessageWindow::clearAll);
    animation->stop();
    animation->setDuration(200);
    animation->setStartValue(pos());
    animation->setEndValue(rest);
    animation->start(QAbstractAnimation::KeepWhenStopped);
}

bool MessageWindow::close()
{
    endPage();
    delete message;
    message = nullptr;
    clearAll();
    return QWidget::close();
}

void MessageWindow::closeAnimation()
{
    if (!animation) {
        return;
    }
    animation->setStartValue(restPos);
    animation->setEndValue(hiddenPos);
    animation->start(QAbstractAnimation::KeepWhenStopped);
    connect(animation, &QPropertyAnimation::finished, this, &MessageWindow::clearAll);
}

void MessageWindow::clearAll()
{
    if (!animation) {
        return;
    }
    disconnect(animation, &QPropertyAnimation::finished, this, &MessageWindow::clearAll);
    animation->stop();
    if (sender() == animation) {
        animation->deleteLater(); // still inside its own finished()
    } else {
        delete animation;
    }
    animation = nullptr;
}

void MessageWindow::btnClicked()
{
    QObject* button = sender();
    if (!button) {
        return;
    }
    const QString url = button->property("url").toString().trimmed();
    const QString id = button->property("id").toString().trimmed();
    actionreport::send(id, parent() ? parent() : QCoreApplication::instance());
    urlpolicy::openExternally(QUrl(url, QUrl::TolerantMode), "action");
    close();
}

void MessageWindow::linkClicked(const QUrl& url)
{
    urlpolicy::openExternally(url, "link");
}

void MessageWindow::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    popuplook::paintBody(this);
}

void MessageWindow::mousePressEvent(QMouseEvent* event)
{
    drag.press(this, event);
}

void MessageWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (drag.move(this, event)) {
        pageFollows();
        emit onDragged();
    }
}

void MessageWindow::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event)
    drag.release();
}

void MessageWindow::enterEvent(QEvent* event)
{
    Q_UNUSED(event)
    pauseExpiry();
}

void MessageWindow::leaveEvent(QEvent* event)
{
    Q_UNUSED(event)
    resumeExpiry();
}

void MessageWindow::pauseExpiry()
{
    if (expiry && expiry->isActive()) { // paused while the pointer is over the popup
        expiryLeftMs = qMax(0, expiryLeftMs - static_cast<int>(expiryClock.elapsed()));
        expiry->stop();
    }
}

void MessageWindow::resumeExpiry()
{
    if (expiry && !expiry->isActive()) {
        expiry->start(expiryLeftMs);
        expiryClock.start();
    }
}

bool MessageWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui.lblTitle && event->type() == QEvent::Resize) {
        elideTitle();
    }
    return QWidget::eventFilter(watched, event);
}

void MessageWindow::elideTitle()
{
    QLabel* label = ui.lblTitle;
    if (label->textFormat() == Qt::RichText) { // set with the text, never left to guessing
        return; // markup cannot be cut by width; such a title keeps its form
    }
    const int room = label->contentsRect().width() - 2 * label->margin();
    const QString shown = label->fontMetrics().elidedText(fullTitle, Qt::ElideRight, room);
    label->setText(shown);
    label->setToolTip(
        shown == fullTitle ? QString() : Qt::convertFromPlainText(fullTitle, Qt::WhiteSpaceNormal));
}

int MessageWindow::arrangeButtons(const QList<QPushButton*>& buttons, int rowWidth)
{
    QHBoxLayout* row = ui.hlBottom;
    const int spacing = row ? row->spacing() : 0;
    int used = -1; // width taken in the current row; -1 while it is empty
    int rows = 1;
    int rowHeight = 0;
    for (QPushButton* button : buttons) {
        int w = qMax(button->minimumWidth(), button->sizeHint().width());
        if (w > rowWidth) { // too long even alone: the label's start, the rest as a tooltip
            const QString label = button->text();
            button->setToolTip(Qt::convertFromPlainText(label, Qt::WhiteSpaceNormal));
            button->setText(button->fontMetrics().elidedText(label, Qt::ElideRight,
                                                             rowWidth - 2 * labelPadding));
            button->setMinimumWidth(rowWidth);
            button->setMaximumWidth(rowWidth);
            w = rowWidth;
        }
        if (used >= 0 && used + spacing + w > rowWidth) {
            auto* next = new QHBoxLayout;
            next->setSpacing(spacing);
            next->setContentsMargins(ui.hlBottom->contentsMargins());
            next->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
            ui.vlMain->addLayout(next);
            row = next;
            used = -1;
            ++rows;
        }
        row->addWidget(button);
        used = (used < 0 ? 0 : used + spacing) + w;
        rowHeight = qMax(rowHeight, qMax(button->minimumHeight(), button->sizeHint().height()));
    }
    if (rows == 1) {
        return 0;
    }
    const QMargins margins = ui.hlBottom->contentsMargins();
    return (rows - 1) * (rowHeight + margins.top() + margins.bottom());
}
