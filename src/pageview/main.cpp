// zav-page-view: shows one page popup for the agent, which starts it (in a
// sandbox where it can make one) with its end of a private socket pair as
// descriptor 3. Not meant to be started by hand.
#include "confine.h"
#include "pagepopup.h"

#include <QApplication>
#include <QDebug>
#include <QLocalSocket>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int channelFd = 3;

} // namespace

int main(int argc, char* argv[])
{
    confine::dieWithParent();
    // The agent passes these lines on as its own.
    qSetMessagePattern(QStringLiteral("%{file}:%{line} %{function}: %{message}"));
    // The channel must not leak into the engine's processes.
    if (::fcntl(channelFd, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "zav-page-view: no channel on descriptor 3; zav-msg-agent starts "
                             "this program for its page popups\n");
        return 2;
    }
    QString why;
    if (!confine::limitMemory(&why)) {
        qDebug().noquote() << "page view: memory not limited:" << why;
    }
    if (!confine::limitTasks(&why)) {
        qDebug().noquote() << "page view: tasks not limited:" << why;
    }
    if (!confine::filterSystemCalls(&why)) {
        qDebug().noquote() << "page view: system calls not filtered:" << why;
    }

    // No GL in the sandbox: the view draws in software from the start (half
    // a second sooner than telling the engine to leave the GPU out, and the
    // only way at all on the offscreen platform). The engine's own sandbox
    // for its renderers stays on, except as root, where the engine refuses
    // to start with it.
    qputenv("QT_QUICK_BACKEND", "software");
    if (::geteuid() == 0) {
        qDebug() << "page view: the engine's own sandbox is off (running as root)";
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox");
    }
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling); // as the agent
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);

    QLocalSocket channel;
    if (!channel.setSocketDescriptor(channelFd)) {
        qDebug() << "page view: descriptor 3 is not a socket";
        return 2;
    }
    PagePopup popup(&channel);
    return QApplication::exec();
}
