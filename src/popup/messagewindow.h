// One popup: a frameless, always-on-top window showing one message, either as
// a title, a text body and action buttons, or as a web page.
#pragma once

#include "ui_PopupMessageWindow.h"

#include <QPoint>
#include <QUrl>
#include <QWidget>

class Message;
class QPropertyAnimation;

class MessageWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MessageWindow(QWidget* parent);
    ~MessageWindow() override;

    /// Fills the popup from msg and takes ownership of it; computes the
    /// window's size and its resting and hidden positions. Called once.
    void setMessage(Message* msg);
    /// Moves the window to its resting place, starts the slide-in and shows it.
    void popup();

    /// Resting and hidden top-left corners for a window of the given size in
    /// the available area, for a "position" setting (empty: bottom right).
    static void placement(const QRect& available, const QSize& size, const QString& position,
                          QPoint* rest, QPoint* hidden);

    /// Sender text shown when a message names none.
    static QString defaultSender();

public slots:
    /// Deletes the message and closes the window at once (no animation).
    bool close();

private slots:
    void closeAnimation();
    void clearAll();
    void btnClicked();
    void linkClicked(QUrl url);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void showAnimation();
    void showPage(const QString& url);

    Ui::PopupMessageWindow ui;
    QPoint dragOffset;
    bool dragging = false;
    QPropertyAnimation* animation = nullptr;
    Message* message = nullptr;
    QPoint restPos;
    QPoint hiddenPos;
};
