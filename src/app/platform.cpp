#include "platform.h"

#include <QDebug>
#include <QGuiApplication>
#include <QOpenGLContext>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

/// platforms with the fallback added; *offscreen tells whether it was there.
QByteArray withFallback(const QByteArray& platforms, bool* offscreen)
{
    for (const QByteArray& p : platforms.split(';')) {
        if (p.split(':').first() == "offscreen") {
            if (offscreen) {
                *offscreen = true;
            }
            return platforms;
        }
    }
    return platforms + ";offscreen";
}

} // namespace

void raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            qDebug() << "descriptor limit not raised";
        }
    }
#endif
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

PlatformFallback::PlatformFallback(int argc, char* argv[])
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            argument = withFallback(argv[i + 1], &chosen);
            argv[i + 1] = argument.data(); // outlives the application object
            ++i;
        }
    }
    hadVariable = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    variable = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", withFallback(variable.isEmpty() ? "xcb" : variable,
                                            argument.isEmpty() ? &chosen : nullptr));
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
#endif
}

void PlatformFallback::restore()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (hadVariable) {
        qputenv("QT_QPA_PLATFORM", variable);
    } else {
        qunsetenv("QT_QPA_PLATFORM");
    }
#endif
}

bool PlatformFallback::fellBack() const
{
    return !chosen && QGuiApplication::platformName() == QLatin1String("offscreen");
}
