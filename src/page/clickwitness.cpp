#include "clickwitness.h"

#include "message/limits.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QtMath>

#include <cstdlib>

#ifdef ZAV_CLICK_WITNESS
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace {

/// Presses kept; a user does not click faster than this within pageClickMs.
const int keptPresses = 16;

} // namespace

ClickWitness* ClickWitness::instance()
{
    static bool tried = false;
    static ClickWitness* witness = nullptr;
    if (tried) {
        return witness;
    }
    tried = true;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr); // DISPLAY, as the agent's own
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    const xcb_query_extension_reply_t* xi = xcb_get_extension_data(c, &xcb_input_id);
    xcb_input_xi_query_version_reply_t* version =
        xi && xi->present
            ? xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 0), nullptr)
            : nullptr;
    const bool xi2 = version && version->major_version >= 2;
    std::free(version);
    if (!xi2) {
        xcb_disconnect(c);
        return nullptr;
    }
    witness = new ClickWitness(c, xi->major_opcode);
    return witness;
}

ClickWitness::ClickWitness(xcb_connection_t* connection, quint8 opcode)
    : QObject(QCoreApplication::instance()), x(connection), opcode(opcode)
{
    root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    struct
    {
        xcb_input_event_mask_t head;
        quint32 mask;
    } select = {{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    xcb_input_xi_select_events(x, root, 1, &select.head);
    xcb_flush(x);
    notifier = new QSocketNotifier(xcb_get_file_descriptor(x), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ClickWitness::read);
}

ClickWitness::~ClickWitness()
{
    xcb_disconnect(x);
}

void ClickWitness::read()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
        const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
        const bool press = (event->response_type & 0x7f) == XCB_GE_GENERIC &&
                           ge->extension == opcode && ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
        std::free(event);
        if (!press) {
            continue;
        }
        // Raw events carry no place: where the pointer is now, a moment later.
        xcb_query_pointer_reply_t* pointer =
            xcb_query_pointer_reply(x, xcb_query_pointer(x, root), nullptr);
        if (pointer) {
            Press p;
            p.when.start();
            p.where = QPoint(pointer->root_x, pointer->root_y);
            presses.append(p);
            if (presses.size() > keptPresses) {
                presses.removeFirst();
            }
        }
        std::free(pointer);
    }
}

bool ClickWitness::takeClick(const QRect& area)
{
    // What the server has sent so far: a press comes to this connection
    // before the page view hears of it.
    read();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal scale = screen ? screen->devicePixelRatio() : 1.0;
    const QRect native(
        QPoint(qFloor(area.left() * scale), qFloor(area.top() * scale)),
        QPoint(qCeil((area.right() + 1) * scale) - 1, qCeil((area.bottom() + 1) * scale) - 1));
    for (int i = presses.size() - 1; i >= 0; --i) {
        if (presses.at(i).when.elapsed() < limits::pageClickMs &&
            native.contains(presses.at(i).where)) {
            presses.removeAt(i);
            return true;
        }
    }
    return false;
}

#else // built without xcb-xinput: no witness, links are bounded by their count only

ClickWitness* ClickWitness::instance()
{
    return nullptr;
}

ClickWitness::~ClickWitness() = default;

bool ClickWitness::takeClick(const QRect&)
{
    return false;
}

void ClickWitness::read() {}

#endif
