#include "pagesandbox.h"

#include "desktop/layersurface.h"
#include "message/limits.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <unistd.h>

#ifndef ZAV_PAGEVIEW_RELATIVE_DIR
#define ZAV_PAGEVIEW_RELATIVE_DIR ""
#endif

namespace {

QStringList extraPaths;

/// The sandbox's own directories.
const char home[] = "/tmp";
const char runtimeDir[] = "/tmp/runtime";

/// Variables of the agent's environment that the page view gets as they are.
bool passedOn(const QString& name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(LANG|LANGUAGE|LC_[A-Z]+|TZ|QT_SCALE_FACTOR|QT_SCREEN_SCALE_FACTORS|"
                       "QT_AUTO_SCREEN_SCALE_FACTOR|QT_ENABLE_HIGHDPI_SCALING|QT_FONT_DPI|"
                       "(http|https|no|all)_proxy|(HTTP|HTTPS|NO|ALL)_PROXY|"
                       "[AUL]SAN_OPTIONS|UBSAN_OPTIONS)$"));
    return pattern.match(name).hasMatch();
}

/// The display's Unix socket for an X display name such as ":1" or ":1.0".
QString xSocket(const QString& display)
{
    static const QRegularExpression local(QStringLiteral("^(unix)?:(\\d+)(\\.\\d+)?$"));
    const QRegularExpressionMatch m = local.match(display);
    return m.hasMatch() ? QStringLiteral("/tmp/.X11-unix/X") + m.captured(2) : QString();
}

/// The bwrap options that make the sandbox, up to the program.
QStringList sandboxOptions(const QString& program, QStringList* env)
{
    // Not root inside, where the engine would refuse its own sandbox.
    const bool root = ::getuid() == 0;
    const QString uid = QString::number(root ? 65534 : ::getuid());
    const QString gid = QString::number(root ? 65534 : ::getgid());
    QStringList o{"--die-with-parent",
                  "--new-session",
                  "--unshare-all",
                  "--share-net",
                  "--unshare-user",
                  "--uid",
                  uid,
                  "--gid",
                  gid,
                  "--cap-drop",
                  "ALL",
                  "--ro-bind",
                  "/usr",
                  "/usr"};
    // Merged /usr has these as links; older systems as directories.
    for (const char* top : {"bin", "lib", "lib32", "lib64", "libx32", "sbin"}) {
        const QFileInfo dir(QStringLiteral("/") + QLatin1String(top));
        if (dir.isSymLink()) {
            o << "--symlink" << dir.symLinkTarget().mid(1) << dir.filePath();
        } else if (dir.isDir()) {
            o << "--ro-bind" << dir.filePath() << dir.filePath();
        }
    }
    for (const char* file :
         {"fonts", "ssl", "ca-certificates", "hosts", "host.conf", "nsswitch.conf", "gai.conf",
          "ld.so.cache", "localtime", "passwd", "group", "xdg", "alternatives"}) {
        const QString path = QStringLiteral("/etc/") + QLatin1String(file);
        o << "--ro-bind-try" << path << path;
    }
    // Often a link into /run, which the sandbox does not show.
    o << "--ro-bind-try" << QFileInfo(QStringLiteral("/etc/resolv.conf")).canonicalFilePath()
      << "/etc/resolv.conf";
    o << "--ro-bind-try"
      << "/var/cache/fontconfig"
      << "/var/cache/fontconfig";
    // Memory file systems of a bounded size: what is written there is memory.
    o << "--proc"
      << "/proc"
      << "--dev"
      << "/dev"
      << "--size" << QString::number(limits::pageShmBytes) << "--tmpfs"
      << "/dev/shm"
      << "--size" << QString::number(limits::pageTmpBytes) << "--tmpfs"
      << "/tmp";
    o << "--perms"
      << "0700"
      << "--dir" << runtimeDir;

    const QString platform = QGuiApplication::platformName();
    const QString display = qEnvironmentVariable("DISPLAY");
    const QString socket = xSocket(display);
    if (platform == QLatin1String("xcb") && QFileInfo::exists(socket)) {
        o << "--bind" << socket << socket;
    }
    QString auth = qEnvironmentVariable("XAUTHORITY");
    if (auth.isEmpty()) {
        auth = QDir::home().filePath(QStringLiteral(".Xauthority"));
    }
    if (platform == QLatin1String("xcb") && QFileInfo(auth).isFile()) {
        o << "--ro-bind" << auth << "/tmp/.Xauthority";
        env->append(QStringLiteral("XAUTHORITY=/tmp/.Xauthority"));
    }
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    if (platform.startsWith(QLatin1String("wayland"))) {
        if (layersurface::active()) { // its popup is a layer surface as the agent's are
            env->append(QStringLiteral("QT_WAYLAND_SHELL_INTEGRATION=layer-shell"));
        }
        const QString path =
            QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(wayland); // absolute stays
        o << "--bind" << path << QStringLiteral("%1/wayland-0").arg(QLatin1String(runtimeDir));
        env->append(QStringLiteral("WAYLAND_DISPLAY=wayland-0"));
    }
    o << "--ro-bind" << program << program << "--chdir" << home;
    return o;
}

/// Whether bwrap makes this sandbox here (user namespaces may be off); why not.
bool sandboxWorks(const QString& bwrap, QString* why)
{
    static int works = -1; // not yet tried
    static QString reason;
    if (works < 0) {
        const QString truth = QStandardPaths::findExecutable(QStringLiteral("true"));
        QStringList unused;
        QProcess probe;
        probe.setProcessChannelMode(QProcess::MergedChannels);
        probe.start(bwrap, sandboxOptions(truth, &unused) << truth);
        const bool ended = probe.waitForFinished(3000);
        works = ended && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        reason = QString::fromLocal8Bit(probe.readAll()).trimmed().left(300);
        if (!ended) {
            probe.kill();
            probe.waitForFinished(1000);
            reason = QStringLiteral("bwrap did not end within 3 s");
        }
    }
    *why = reason;
    return works == 1;
}

/// systemd-run's options for a transient scope of the session's service
/// manager that bounds what it runs, up to the command.
QStringList scopeOptions(const QString& systemdRun)
{
    return {systemdRun,  "--user",
            "--scope",   "--quiet",
            "--collect", "--description=zav-msg-agent page view",
            "-p",        QStringLiteral("MemoryMax=%1").arg(limits::pageMemoryBytes),
            "-p",        "MemorySwapMax=0",
            "-p",        QStringLiteral("TasksMax=%1").arg(limits::pageTasks),
            "-p",        QStringLiteral("CPUQuota=%1%").arg(limits::pageCpuQuotaPercent),
            "--"};
}

/// Whether the session's service manager makes such a scope here (tried once
/// per process: no user manager in containers, on systems without systemd,
/// or without the user's session bus); why not.
bool scopeWorks(const QString& systemdRun, QString* why)
{
    static int works = -1; // not yet tried
    static QString reason;
    if (works < 0) {
        const QString truth = QStandardPaths::findExecutable(QStringLiteral("true"));
        QStringList command = scopeOptions(systemdRun) << truth;
        QProcess probe;
        probe.setProcessChannelMode(QProcess::MergedChannels);
        probe.start(command.takeFirst(), command);
        const bool ended = probe.waitForFinished(3000);
        works = ended && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        reason = QString::fromLocal8Bit(probe.readAll()).simplified().left(300);
        if (!ended) {
            probe.kill();
            probe.waitForFinished(1000);
            reason = QStringLiteral("systemd-run did not end within 3 s");
        } else if (reason.isEmpty()) {
            reason = QStringLiteral("systemd-run ended with code %1").arg(probe.exitCode());
        }
    }
    *why = reason;
    return works == 1;
}

} // namespace

QString pagesandbox::programName()
{
    return QStringLiteral("zav-page-view");
}

QString pagesandbox::program(QString* why)
{
    QStringList dirs;
    if (QCoreApplication::instance()) {
        const QString own = QCoreApplication::applicationDirPath();
        dirs << own;
        const QString installed = QStringLiteral(ZAV_PAGEVIEW_RELATIVE_DIR);
        if (!installed.isEmpty()) {
            dirs << QDir::cleanPath(own + QLatin1Char('/') + installed);
        }
    }
    dirs << extraPaths;
    for (const QString& dir : qAsConst(dirs)) {
        const QFileInfo file(QDir(dir).filePath(programName()));
        if (file.isFile() && file.isExecutable()) {
            return file.absoluteFilePath();
        }
    }
    *why = programName() + QStringLiteral(" not found in ") + dirs.join(QStringLiteral(", "));
    return QString();
}

void pagesandbox::addSearchPath(const QString& dir)
{
    extraPaths << dir;
}

pagesandbox::Launch pagesandbox::launch(const QString& program)
{
    Launch launch;
    const QProcessEnvironment agent = QProcessEnvironment::systemEnvironment();
    for (const QString& name : agent.keys()) {
        if (passedOn(name)) {
            launch.env << name + QLatin1Char('=') + agent.value(name);
        }
    }
    const QString platform = QGuiApplication::platformName();
    launch.env << QStringLiteral("QT_QPA_PLATFORM=") + platform
               << QStringLiteral("DBUS_SESSION_BUS_ADDRESS=disabled:")
               << QStringLiteral("PATH=/usr/bin:/bin");
    if (platform == QLatin1String("xcb")) {
        // No GL: the sandbox shows no GPU device.
        launch.env << QStringLiteral("DISPLAY=") + agent.value(QStringLiteral("DISPLAY"))
                   << QStringLiteral("QT_XCB_GL_INTEGRATION=none");
    }

    const QString bwrap = QStandardPaths::findExecutable(QStringLiteral("bwrap"));
    if (bwrap.isEmpty()) {
        launch.why = QStringLiteral("bwrap not found (package bubblewrap)");
    } else if (sandboxWorks(bwrap, &launch.why)) {
        launch.sandboxed = true;
        launch.argv << bwrap << sandboxOptions(program, &launch.env) << program;
        launch.env << QStringLiteral("HOME=") + QLatin1String(home)
                   << QStringLiteral("XDG_RUNTIME_DIR=") + QLatin1String(runtimeDir);
    }
    if (!launch.sandboxed) {
        launch.argv << program;
        for (const char* kept : {"HOME", "XDG_RUNTIME_DIR", "XAUTHORITY", "WAYLAND_DISPLAY"}) {
            if (agent.contains(QLatin1String(kept))) {
                launch.env << QLatin1String(kept) + QLatin1Char('=') +
                                  agent.value(QLatin1String(kept));
            }
        }
    }

    // The scope's manager is reached with the agent's environment; the
    // program gets its own through env.
    const QString systemdRun = QStandardPaths::findExecutable(QStringLiteral("systemd-run"));
    const QString env = QStandardPaths::findExecutable(QStringLiteral("env"));
    if (systemdRun.isEmpty() || env.isEmpty()) {
        launch.whyNoScope = QStringLiteral("systemd-run not found");
    } else if (scopeWorks(systemdRun, &launch.whyNoScope)) {
        launch.scoped = true;
        launch.argv = scopeOptions(systemdRun) + QStringList{env, QStringLiteral("-i")} +
                      launch.env + launch.argv;
        launch.env = agent.toStringList();
    }
    return launch;
}
