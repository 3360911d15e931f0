#include "layersurface.h"

#include <QEvent>
#include <QMoveEvent>
#include <QWidget>
#include <QWindow>

#ifdef ZAV_LAYER_SHELL
#include <LayerShellQt/Shell>
#include <LayerShellQt/Window>
#endif

namespace {

bool layerShell = false;

#ifdef ZAV_LAYER_SHELL
const char shellVariable[] = "QT_WAYLAND_SHELL_INTEGRATION";
bool selected = false;
bool hadShellVariable = false;
QByteArray shellVariableValue;

/// Keeps a layer surface where the window was moved to: the toolkit reports
/// a Wayland window at (0, 0) whatever it was moved to.
class Placer : public QObject
{
public:
    Placer(QWidget* window, Qt::Edges edges, const QRect& area)
        : QObject(window), window(window), edges(edges), area(area), placed(window->pos())
    {
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != window) {
            return false;
        }
        if (event->type() == QEvent::Paint && selected) {
            selected = false; // shown, so read: programs started from now on do not inherit it
            if (hadShellVariable) {
                qputenv(shellVariable, shellVariableValue);
            } else {
                qunsetenv(shellVariable);
            }
        }
        if (event->type() != QEvent::Move) {
            return false;
        }
        if (event->spontaneous()) { // the toolkit's idea of the position
            if (window->pos() != placed) {
                window->move(placed);
            }
            return true;
        }
        placed = window->pos();
        place();
        return false;
    }

    void place()
    {
        QWindow* handle = window->windowHandle();
        if (!handle) {
            return;
        }
        // A surface wholly off the screen gets no frame callbacks, and the
        // toolkit then stops drawing it, so that new margins never reach the
        // compositor: one row of its edge (transparent) stays on the screen.
        QRect at(placed, window->size());
        at.moveTop(qBound(area.top() - at.height() + 1, at.top(), area.bottom()));
        at.moveLeft(qBound(area.left() - at.width() + 1, at.left(), area.right()));
        LayerShellQt::Window::get(handle)->setMargins(layersurface::margins(edges, area, at));
        window->update(); // the margins take effect with the surface's next commit
    }

private:
    QWidget* window;
    Qt::Edges edges;
    QRect area;
    QPoint placed;
};
#endif

} // namespace

void layersurface::select()
{
#ifdef ZAV_LAYER_SHELL
    selected = true;
    hadShellVariable = qEnvironmentVariableIsSet(shellVariable);
    shellVariableValue = qgetenv(shellVariable);
    LayerShellQt::Shell::useLayerShell();
#endif
}

bool layersurface::active()
{
    return layerShell;
}

void layersurface::setActive(bool on)
{
    layerShell = on;
}

QMargins layersurface::margins(Qt::Edges edges, const QRect& area, const QRect& at)
{
    QMargins m;
    if (edges & Qt::LeftEdge) {
        m.setLeft(at.left() - area.left());
    }
    if (edges & Qt::TopEdge) {
        m.setTop(at.top() - area.top());
    }
    if (edges & Qt::RightEdge) {
        m.setRight(area.right() - at.right());
    }
    if (edges & Qt::BottomEdge) {
        m.setBottom(area.bottom() - at.bottom());
    }
    return m;
}

void layersurface::attach(QWidget* window, Qt::Edges edges, const QRect& area)
{
#ifdef ZAV_LAYER_SHELL
    window->winId(); // the window exists, its surface not yet: it takes what is set here
    LayerShellQt::Window* surface = LayerShellQt::Window::get(window->windowHandle());
    surface->setLayer(LayerShellQt::Window::LayerTop);
    surface->setKeyboardInteractivity(LayerShellQt::Window::KeyboardInteractivityNone);
    surface->setScope(QStringLiteral("notification"));
    surface->setExclusiveZone(0); // moves clear of panels, takes no room of its own
    LayerShellQt::Window::Anchors anchors;
    anchors.setFlag(LayerShellQt::Window::AnchorLeft, edges & Qt::LeftEdge);
    anchors.setFlag(LayerShellQt::Window::AnchorTop, edges & Qt::TopEdge);
    anchors.setFlag(LayerShellQt::Window::AnchorRight, edges & Qt::RightEdge);
    anchors.setFlag(LayerShellQt::Window::AnchorBottom, edges & Qt::BottomEdge);
    surface->setAnchors(anchors);
    auto* placer = new Placer(window, edges, area);
    placer->place();
    window->installEventFilter(placer);
#else
    Q_UNUSED(window)
    Q_UNUSED(edges)
    Q_UNUSED(area)
#endif
}
