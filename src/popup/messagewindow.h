// One popup: a frameless, always-on-top window showing one message, either as
// a title, a text body and action buttons, or as a web page. A web page is
// shown by a page view program of its own (PageClient), which draws the whole
// popup where this window says: this window is on the screen at once with a
// note where the page goes, and hides once the page view's window has taken
// its place; it keeps the popup's place and size for the layout, and shows
// itself again when the page cannot be shown. The page's part is in
// messagewindowpage.cpp (Linux only: elsewhere a page popup is a link).
#pragma once

#include "desktop/popuplook.h"
#include "ui_PopupMessageWindow.h"

#include <QElapsedTimer>
#include <QPoint>
#include <QUrl>
#include <QWidget>

class Message;
class PageClient;
class QPropertyAnimation;
class QTimer;

class MessageWindow : public QWidget
{
    Q_OBJECT
    /// Where the popup is: the window's position, and the page view's window
    /// follows it. The slides animate it.
    Q_PROPERTY(QPoint place READ pos WRITE setPlace)

public:
    /// Where a popup rests, by its "position" setting.
    enum Corner
    {
        BottomRight,
        BottomLeft,
        TopRight,
        TopLeft,
        Center
    };

    explicit MessageWindow(QWidget* parent);
    ~MessageWindow() override;

    /// Fills the popup from msg and takes ownership of it; computes the
    /// window's size and its resting and hidden positions. Called once.
    void setMessage(Message* msg);
    /// Moves the window to its resting place, starts the slide-in and shows it
    /// (a page popup: starts its page view, which slides in once it is there);
    /// starts the expiry time if the message asked for one.
    void popup();
    /// Moves the popup (and its page view's window).
    void setPlace(const QPoint& place);

    /// The corner a "position" setting names (anything else: bottom right).
    static Corner cornerOf(const QString& position);
    /// Resting and hidden top-left corners for a window of the given size in
    /// the available area, for a "position" setting (empty: bottom right).
    static void placement(const QRect& available, const QSize& size, const QString& position,
                          QPoint* rest, QPoint* hidden);

    Corner corner() const { return restCorner; }
    /// Where the window rests; as computed by setMessage for a lone popup
    /// until setRestPosition or slideTo changes it.
    QPoint restPosition() const { return restPos; }
    /// Where the window rests once shown (it still slides in from its hidden place).
    void setRestPosition(const QPoint& rest) { restPos = rest; }
    /// Makes rest the resting place and slides there from where the window is.
    void slideTo(const QPoint& rest);
    /// The available area the window was placed in.
    QRect screenArea() const { return area; }

    /// Sender text shown when a message names none.
    static QString defaultSender();
    /// The screen edges a layer surface resting at corner is anchored to.
    static Qt::Edges anchorEdges(Corner corner);

public slots:
    /// Deletes the message and closes the window at once (no animation).
    bool close();

signals:
    /// The user moved the window away from its resting place.
    void onDragged();

private slots:
    void closeAnimation();
    void clearAll();
    void btnClicked();
    void linkClicked(const QUrl& url);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showAnimation();
    // The page of a page popup (messagewindowpage.cpp).
    /// Takes the page's address from the message: a note where the page goes,
    /// or why it is not shown.
    /// An action button with its label, in the popup's style.
    QPushButton* makeButton(const QString& label);
    void showPage(const QString& url);
    /// Where there is no page view: the page's address as the body, and a
    /// button that opens it in the browser; the button, or null when the
    /// address is no web page.
    QPushButton* pageAsLink(const QString& url);
    /// Starts the page view; without one the popup shows the page's address
    /// as a link.
    void startPage();
    /// The page view's window is on the screen in this one's place.
    void pageReady();
    void pageFailed(const QString& why);
    /// The page view's window moves with this one.
    void pageFollows();
    /// Ends the page view, if there is one.
    void endPage();
    /// Shows the window, as a layer surface where popups are.
    void showWindow();
    /// A line of plain text where the page would be.
    QLabel* addNote(const char* name, const QString& text);
    void pauseExpiry();
    void resumeExpiry();
    /// Lays the action buttons out in as many right-aligned rows as their
    /// labels need; returns the height the extra rows take.
    int arrangeButtons(const QList<QPushButton*>& buttons, int rowWidth);
    /// Shows as much of the title as fits, from its start.
    void elideTitle();

    Ui::PopupMessageWindow ui;
    popuplook::Drag drag;
    QPropertyAnimation* animation = nullptr;
    Message* message = nullptr;
    QPoint restPos;
    QPoint hiddenPos;
    QRect area;
    Corner restCorner = BottomRight;
    QString fullTitle;
    QTimer* expiry = nullptr;   ///< single-shot, runs while the pointer is away
    QUrl pageUrl;               ///< a page popup's page, until its page view starts
    QString pageSender;         ///< the sender as plain text, for the page view
    PageClient* page = nullptr; ///< while the page view shows the popup
    QLabel* pageNote = nullptr; ///< where the page goes, in this window
    QElapsedTimer expiryClock;  ///< since expiry last started
    int expiryLeftMs = -1;      ///< when expiry last stopped or started
};
