// What the agent adjusts in its environment before anything else starts, and
// how it shows popups on the desktop it finds.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class PopupOutput;

/// On Windows the program's entry hands main its arguments in the ANSI code
/// page, which cannot hold every character a host may pass (a product name,
/// a property). This takes them again from the wide command line, as UTF-8,
/// and makes UTF-8 the local 8-bit encoding that they are read in. Elsewhere
/// nothing changes. Before anything reads argv.
void useUnicodeArguments(int& argc, char**& argv);

/// Every pipe connection takes a descriptor: the usual soft limit (1024) is
/// far below what the system allows, so it is raised to the hard one.
void raiseDescriptorLimit();

/// Popups paint with the CPU, yet the X11 platform loads a GL driver for the
/// first window it shows (Mesa's renderer and LLVM where no GPU driver is:
/// some 60 MB that stay). Unless the user chose an integration in
/// QT_XCB_GL_INTEGRATION, the agent runs with none. Call once the
/// application object exists, before any window; the environment is left as
/// it was, for the programs the agent starts.
void paintWithoutGl();

/// How popups reach the user.
enum class PopupForm
{
    Windows,       ///< windows that place themselves (X11, or what was asked for)
    LayerSurfaces, ///< windows on a Wayland compositor's layer shell
    Notifications, ///< the desktop's notification service on the session bus
    Log            ///< nowhere: each message is logged with its title
};

/// The platform the toolkit is to start on, chosen from what the session
/// gives its programs: an explicit QT_QPA_PLATFORM or "-platform" is the
/// user's word; else DISPLAY means X11; else WAYLAND_DISPLAY means Wayland,
/// when the compositor offers the layer shell; else no display. The offscreen
/// platform is added as the fallback of whatever is chosen, so that a display
/// that cannot be opened does not end the agent.
class PlatformChoice
{
public:
    /// What the environment says, as far as the choice goes.
    struct Environment
    {
        QByteArray asked; ///< QT_QPA_PLATFORM, or the "-platform" argument
        QByteArray display;
        QByteArray waylandDisplay;
    };
    /// What is asked of the toolkit.
    struct Decision
    {
        QByteArray platforms; ///< QT_QPA_PLATFORM's value, fallbacks included
        bool layerShell = false;
    };
    /// The decision for env; layerShell says whether the Wayland compositor
    /// (if one is named) offers the layer shell.
    static Decision decide(const Environment& env, bool layerShell);
    /// The form popups take once the toolkit runs on platform, the environment
    /// having asked for the platforms asked (empty: none).
    static PopupForm formFor(const QString& platform, const QByteArray& asked, bool layerShell,
                             bool notificationService);

    /// Before the application object: may change argv's "-platform" value.
    PlatformChoice(int argc, char* argv[]);
    /// Puts the environment back once the application object exists, so that
    /// programs the agent starts inherit the one it was given.
    void restore();
    /// Once the application object exists: makes popups take the form that
    /// the platform allows (asking the session bus whether a notification
    /// service runs where no display does) and says which in a debug line.
    /// The output returned (null for windows) is current while it lives.
    std::unique_ptr<PopupOutput> startPopups() const;

private:
    PopupForm popupForm() const;
    QString describe(PopupForm form, const QString& notificationServer) const;

    Environment env;
    Decision decision;
    QByteArray argument; ///< "-platform" value handed to the toolkit
    QByteArray variable;
    bool hadVariable = false;
};

/// Whether a notification service has a name on the session bus (waits at most
/// timeoutMs for the bus).
bool notificationServiceRuns(int timeoutMs = 2000);
