// How every popup looks, the agent's own and those the page view draws: the
// kind of window, the close button, and the white body in its soft shadow.
#pragma once

#include <QPoint>

class QMouseEvent;
class QPushButton;
class QWidget;

namespace popuplook {

/// Makes window a popup: no frame, no taskbar button, above ordinary windows,
/// transparent where paintBody does not paint; gives the close button its
/// images and its accessible name.
void dress(QWidget* window, QPushButton* closeButton);

/// Paints the white body inside the window's 5-pixel margin and the shadow in
/// that margin.
void paintBody(QWidget* window);

/// Moves a popup with the left button held down on it; a window passes its
/// mouse press, move and release events on.
class Drag
{
public:
    void press(QWidget* window, QMouseEvent* event);
    /// Whether it moved the window.
    bool move(QWidget* window, QMouseEvent* event);
    void release() { dragging = false; }

private:
    QPoint offset;
    bool dragging = false;
};

} // namespace popuplook
