// The page view's one window: a whole page popup (the sender's strip with
// the close button, the page below), drawn where the agent says. The agent
// decides where it rests and how it slides; this window follows, and tells
// the agent what the user does with it.
#pragma once

#include "desktop/popuplook.h"
#include "message/pageframe.h"

#include <QWidget>

class QLabel;
class QLocalSocket;
class QPushButton;
class QVBoxLayout;
class QWebEngineView;
class WebPage;

class PagePopup : public QWidget
{
    Q_OBJECT

public:
    /// channel: the connected socket pair end from the agent. Without an Open
    /// frame at once (the agent starts a spare page view before it has a page
    /// for it), the web engine is made ready; nothing shows until the
    /// agent's Open frame arrives.
    explicit PagePopup(QLocalSocket* channel);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readChannel();
    /// The web view and its page.
    void makeView();
    void handle(const pageframe::Frame& frame);
    void open(const QUrl& url, const QString& text, const QRect& geometry, Qt::Edges layer,
              const QRect& area);
    void send(const pageframe::Writer& frame);
    /// Tells the agent, once, that the popup is on the screen.
    void shown();
    /// Tells the agent why this page view ends, and ends it.
    void end(const QString& why);

    QVBoxLayout* column; ///< the strip, then the page
    QLabel* sender;      ///< in the strip
    QPushButton* closeButton;
    QLocalSocket* channel;
    pageframe::Reader reader;
    QWebEngineView* view = nullptr;
    WebPage* page = nullptr;
    bool opened = false;
    bool painted = false; ///< the window has been painted once since it was shown
    popuplook::Drag drag;
};
