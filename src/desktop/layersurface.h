// Popups on a Wayland compositor's layer shell. A client cannot place its own
// windows there: each popup is a layer surface anchored at the edges of its
// corner, and its place is its margin from those edges (which the compositor
// counts from the area its panels leave free).
#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

namespace layersurface {

/// Before the application object: every window of the process is to be a
/// layer surface. The toolkit reads this when it shows the first window;
/// once that is done, the environment is put back, so that programs the
/// agent starts do not inherit it.
void select();
/// Whether popups are layer surfaces.
bool active();
void setActive(bool on);

/// The margins that put a window at `at` in `area` when it is anchored at
/// edges (the others stay 0).
QMargins margins(Qt::Edges edges, const QRect& area, const QRect& at);

/// Makes window, not yet shown, a layer surface anchored at edges, above
/// ordinary windows and without keyboard focus. From then on, moving the
/// window (move(), a "pos" animation) sets its margins in area, and the
/// window keeps the position it was given, whatever the toolkit thinks.
void attach(QWidget* window, Qt::Edges edges, const QRect& area);

} // namespace layersurface
