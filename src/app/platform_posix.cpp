// The desktop on Linux: X11, a Wayland compositor with the layer shell, the
// notification service on the session bus, or none of them.
#include "platform.h"

#include "desktop/layersurface.h"
#include "notifications/notificationoutput.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QGuiApplication>
#include <QOpenGLContext>

#include <cstring>

#include <sys/resource.h>
#ifdef ZAV_LAYER_SHELL
#include <poll.h>
#include <wayland-client.h>
#endif

namespace {

bool isOffscreen(const QByteArray& platform)
{
    return platform.split(':').first() == "offscreen";
}

/// platforms with the offscreen fallback added.
QByteArray withFallback(const QByteArray& platforms)
{
    for (const QByteArray& p : platforms.split(';')) {
        if (isOffscreen(p)) {
            return platforms;
        }
    }
    return platforms + ";offscreen";
}

bool namesWayland(const QByteArray& platforms)
{
    return platforms.startsWith("wayland");
}

#ifdef ZAV_LAYER_SHELL
/// Whether the compositor (WAYLAND_DISPLAY) offers the layer shell; asks it
/// for its globals and waits at most timeoutMs for the answer.
bool compositorHasLayerShell(int timeoutMs = 2000)
{
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        return false;
    }
    struct Probe
    {
        bool layerShell = false;
        bool done = false;
    } probe;
    static const wl_registry_listener registryListener = {
        [](void* data, wl_registry*, uint32_t, const char* name, uint32_t) {
            if (std::strcmp(name, "zwlr_layer_shell_v1") == 0) {
                static_cast<Probe*>(data)->layerShell = true;
            }
        },
        [](void*, wl_registry*, uint32_t) {}};
    static const wl_callback_listener doneListener = {
        [](void* data, wl_callback*, uint32_t) { static_cast<Probe*>(data)->done = true; }};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &probe);
    wl_callback* sync = wl_display_sync(display); // answered after every global
    wl_callback_add_listener(sync, &doneListener, &probe);
    pollfd fd{wl_display_get_fd(display), POLLIN, 0};
    while (!probe.done) {
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        if (probe.done || ::poll(&fd, 1, timeoutMs) <= 0) {
            wl_display_cancel_read(display);
            break;
        }
        if (wl_display_read_events(display) != 0 || wl_display_dispatch_pending(display) < 0) {
            break;
        }
    }
    wl_callback_destroy(sync);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return probe.done && probe.layerShell;
}
#else
bool compositorHasLayerShell()
{
    return false;
}
#endif

} // namespace

void useUnicodeArguments(int&, char**&) {}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            qDebug() << "descriptor limit not raised";
        }
    }
}

void paintWithoutGl()
{
    const char* const variable = "QT_XCB_GL_INTEGRATION";
    if (QGuiApplication::platformName() != QLatin1String("xcb") ||
        !qEnvironmentVariableIsEmpty(variable)) {
        return;
    }
    qputenv(variable, "none");
    // The platform reads the variable once, when GL is first asked about.
    QOpenGLContext::supportsThreadedOpenGL();
    qunsetenv(variable);
}

PlatformChoice::Decision PlatformChoice::decide(const Environment& env, bool layerShell)
{
    Decision d;
    if (!env.asked.isEmpty()) {
        d.platforms = withFallback(env.asked);
        d.layerShell = namesWayland(env.asked) && layerShell;
    } else if (!env.display.isEmpty()) {
        d.platforms = "xcb;offscreen";
    } else if (!env.waylandDisplay.isEmpty() && layerShell) {
        d.platforms = "wayland;offscreen";
        d.layerShell = true;
    } else {
        d.platforms = "offscreen";
    }
    return d;
}

PopupForm PlatformChoice::formFor(const QString& platform, const QByteArray& asked, bool layerShell,
                                  bool notificationService)
{
    // What the user asked for shows windows there, even offscreen ones; an
    // offscreen platform that was not asked for first is the fallback.
    if (platform != QLatin1String("offscreen") || isOffscreen(asked.split(';').first())) {
        return platform.startsWith(QLatin1String("wayland")) && layerShell
                   ? PopupForm::LayerSurfaces
                   : PopupForm::Windows;
    }
    return notificationService ? PopupForm::Notifications : PopupForm::Log;
}

PlatformChoice::PlatformChoice(int argc, char* argv[])
{
    int argumentAt = -1;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            argumentAt = ++i;
        }
    }
    hadVariable = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    variable = qgetenv("QT_QPA_PLATFORM");
    env.asked = argumentAt > 0 ? QByteArray(argv[argumentAt]) : variable;
    env.display = qgetenv("DISPLAY");
    env.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    // The compositor is asked only where Wayland may be the choice.
    const bool mayBeWayland = env.asked.isEmpty() ? env.display.isEmpty() : namesWayland(env.asked);
    decision =
        decide(env, mayBeWayland && !env.waylandDisplay.isEmpty() && compositorHasLayerShell());
    if (argumentAt > 0) {
        argument = decision.platforms;
        argv[argumentAt] = argument.data(); // outlives the application object
    }
    qputenv("QT_QPA_PLATFORM", decision.platforms);
    if (decision.layerShell) {
        layersurface::select(); // every window of the agent is a layer surface
    }
}

void PlatformChoice::restore()
{
    if (hadVariable) {
        qputenv("QT_QPA_PLATFORM", variable);
    } else {
        qunsetenv("QT_QPA_PLATFORM");
    }
}

PopupForm PlatformChoice::popupForm() const
{
    const QString platform = QGuiApplication::platformName();
    const PopupForm form = formFor(platform, env.asked, decision.layerShell, false);
    return form == PopupForm::Log && notificationServiceRuns()
               ? formFor(platform, env.asked, decision.layerShell, true)
               : form;
}

QString PlatformChoice::describe(PopupForm form, const QString& notificationServer) const
{
    const QString platform = QGuiApplication::platformName();
    QString why;
    if (!env.asked.isEmpty()) {
        why = QStringLiteral("asked for \"%1\"").arg(QString::fromLocal8Bit(env.asked));
    } else if (!env.display.isEmpty()) {
        why = QStringLiteral("DISPLAY=%1").arg(QString::fromLocal8Bit(env.display));
    } else if (!env.waylandDisplay.isEmpty()) {
        why = QStringLiteral("WAYLAND_DISPLAY=%1%2")
                  .arg(QString::fromLocal8Bit(env.waylandDisplay),
                       decision.layerShell ? QString()
                                           : QStringLiteral(", the compositor has no layer shell"));
    } else {
        why = QStringLiteral("no DISPLAY, no WAYLAND_DISPLAY");
    }
    QString what;
    switch (form) {
    case PopupForm::Windows:
        what = QStringLiteral("popups as windows at the screen's edge");
        break;
    case PopupForm::LayerSurfaces:
        what = QStringLiteral("popups as layer-shell surfaces at the screen's edge");
        break;
    case PopupForm::Notifications:
        what = QStringLiteral("popups as notifications of the desktop's notification service (%1)")
                   .arg(notificationServer);
        break;
    case PopupForm::Log:
        what = QStringLiteral("popups cannot be shown (no display, no notification service): "
                              "each is logged with its title; the pipe, the queues and polling "
                              "work");
        break;
    }
    return QStringLiteral("platform %1 (%2): %3").arg(platform, why, what);
}

bool notificationServiceRuns(int timeoutMs)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << QStringLiteral("org.freedesktop.Notifications");
    const QDBusMessage reply = bus.call(ask, QDBus::Block, timeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

std::unique_ptr<PopupOutput> PlatformChoice::startPopups() const
{
    const PopupForm form = popupForm();
    std::unique_ptr<PopupOutput> output;
    QString server;
    layersurface::setActive(form == PopupForm::LayerSurfaces);
    if (form == PopupForm::Notifications) {
        auto notifications = std::make_unique<NotificationOutput>();
        server = notifications->serverName();
        output = std::move(notifications);
    } else if (form == PopupForm::Log) {
        output = std::make_unique<LogOutput>();
    }
    PopupOutput::setCurrent(output.get());
    qDebug().noquote() << describe(form, server);
    return output;
}
