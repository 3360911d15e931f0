#include "popuplook.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QtMath>

namespace {

const char closeButtonStyle[] =
    "QPushButton {border:none;background-color:rgb(0, 170, 255);background-image:url(://"
    "Resources/close_normal.png);background-repeat:no-repeat;background-position: center "
    "center;} QPushButton:hover:hover:pressed { background-color:rgb(255, 20, "
    "20);background-image:url(://Resources/close_pressed.png);background-repeat:no-repeat;"
    "background-position: center center;} QPushButton:hover:hover:!pressed { "
    "background-color:rgb(255, 30, "
    "30);background-image:url(://Resources/close_pressed.png);background-repeat:no-repeat;"
    "background-position: center center;}";

} // namespace

void popuplook::dress(QWidget* window, QPushButton* closeButton)
{
    window->setAttribute(Qt::WA_TranslucentBackground);
    closeButton->setStyleSheet(QLatin1String(closeButtonStyle));
    closeButton->setAccessibleName(QCoreApplication::translate("MessageWindow", "Close"));
    window->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
}

void popuplook::paintBody(QWidget* window)
{
    const int w = window->width();
    const int h = window->height();
    QPainterPath body;
    body.setFillRule(Qt::WindingFill);
    body.addRect(QRectF(5, 5, w - 10, h - 10));
    QPainter painter(window);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillPath(body, QBrush(Qt::white));

    QColor color(0, 0, 0);
    for (int i = 0; i < 5; ++i) {
        QPainterPath outline;
        outline.setFillRule(Qt::WindingFill);
        outline.addRect(QRectF(5 - i, 5 - i, w - 10 + 2 * i, h - 10 + 2 * i));
        color.setAlpha(qMax(0, static_cast<int>(100 - 50 * qSqrt(i))));
        painter.setPen(QPen(color, 1));
        painter.drawPath(outline);
    }
}

void popuplook::Drag::press(QWidget* window, QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        offset = event->globalPos() - window->pos();
        event->accept();
    }
}

bool popuplook::Drag::move(QWidget* window, QMouseEvent* event)
{
    if (!dragging || event->buttons() == Qt::NoButton) {
        return false;
    }
    window->move(event->globalPos() - offset);
    event->accept();
    return true;
}
