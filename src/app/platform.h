// What the agent adjusts in its environment before anything else starts.
#pragma once

#include <QByteArray>

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

/// A host started from ssh, cron or a service has no display, and the
/// toolkit would abort before anything else. The platform chosen (by
/// QT_QPA_PLATFORM or "-platform", else the toolkit's default) is kept and the
/// offscreen one added as its fallback: without a display the agent still
/// serves the pipe, queues and polls. restore() puts the environment back once
/// the application object exists, so that programs the agent starts inherit
/// the one it was given.
class PlatformFallback
{
public:
    /// Before the application object: may change argv's "-platform" value.
    PlatformFallback(int argc, char* argv[]);
    void restore();
    /// Whether the offscreen platform runs because no other one could.
    bool fellBack() const;

private:
    QByteArray argument;
    bool chosen = false; // offscreen was among the platforms asked for
    QByteArray variable;
    bool hadVariable = false;
};
