// Fuzzes the pipe's command handler, IpcServer::handleCommond, against a pool
// that holds clients of both handling modes with queued messages. One input
// is a sequence of up to 16 commands separated by 0xFF bytes (a byte that
// never occurs in UTF-8, so the split takes nothing the decoder could use).
//
// Invariants: every command gets the reply its prefix calls for; a popup is
// emitted for every "PopupMessage:" and nothing else; "GetMessage:" returns
// exactly the queued messages and leaves the queue empty; no two pooled
// clients share a pid; everything is freed once the pool is cleared.
#include "core/clientpool.h"
#include "fuzzcommon.h"
#include "ipc/ipcserver.h"
#include "message/message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace {

IpcServer* server = nullptr;
int popups = 0;

Message* queued(const QString& uuid)
{
    auto* m = new Message();
    m->uuid = uuid;
    m->title = QStringLiteral("title ") + uuid;
    m->settings.insert(QStringLiteral("position"), QStringLiteral("right"));
    auto* a = new MessageAction(m);
    a->id = uuid + QStringLiteral("-a");
    a->action = QStringLiteral("Open");
    m->actions << a;
    return m;
}

void fillPool()
{
    auto* autoHost = new Client(QStringLiteral(R"({"pid":"100","product":"P","mac":"M"})"));
    clientPool.addClient(autoHost);
    auto* busy =
        new Client(QStringLiteral(R"({"pid":"200","product":"P","mac":"M","handle":"customize"})"));
    busy->messages << queued(QStringLiteral("u1")) << queued(QStringLiteral("u2"))
                   << queued(QStringLiteral("u3"));
    clientPool.addClient(busy);
    clientPool.addClient(new Client(QStringLiteral("not json"))); // empty pid
    auto* idle = new Client(QStringLiteral(R"({"pid":"300","handle":"customize"})"));
    clientPool.addClient(idle);
}

int queueLength(const QString& pid)
{
    int n = -1;
    clientPool.withClient(pid, [&n](Client* c) { n = c->messages.size(); });
    return n;
}

bool isDecimal(const QString& text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar ch : text) {
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

void runOne(const QString& command)
{
    static const QString error = QStringLiteral("ERROR: can not hanlde command");
    const int popupsBefore = popups;
    int lengthBefore = -1;
    QString pid;
    const bool get = command.startsWith(QLatin1String("GetMessage:"));
    const bool count = command.startsWith(QLatin1String("MessageCount:"));
    if (get || count) {
        pid = command.mid(command.indexOf(QLatin1Char(':')) + 1);
        lengthBefore = queueLength(pid);
    }

    const QString reply = server->handleCommond(command);

    if (command == QLatin1String("Hello")) {
        fuzz::check(reply == QLatin1String("OK"), "Hello not answered OK");
    } else if (command.startsWith(QLatin1String("REGISTER:"))) {
        fuzz::check(reply == QLatin1String("OK"), "REGISTER: not answered OK");
    } else if (command.startsWith(QLatin1String("PopupMessage:"))) {
        fuzz::check(reply == QLatin1String("OK"), "PopupMessage: not answered OK");
        fuzz::check(popups == popupsBefore + 1, "PopupMessage: did not emit exactly one popup");
    } else if (get) {
        if (lengthBefore < 0) {
            fuzz::check(reply == QLatin1String("0"), "GetMessage: for no client not 0");
        } else {
            const QJsonDocument doc = QJsonDocument::fromJson(reply.toUtf8());
            fuzz::check(doc.isArray(), "GetMessage: reply is not an array");
            fuzz::check(doc.array().size() == lengthBefore, "GetMessage: lost or added messages");
            fuzz::check(queueLength(pid) == 0, "GetMessage: left the queue non-empty");
        }
    } else if (count) {
        if (lengthBefore < 0) {
            fuzz::check(reply == QLatin1String("0"), "MessageCount: for no client not 0");
        } else {
            fuzz::check(isDecimal(reply) && reply.toInt() == lengthBefore,
                        "MessageCount: does not give the queue length");
        }
    } else {
        fuzz::check(reply == error, "an unknown command was not answered with the error");
    }
    if (!command.startsWith(QLatin1String("PopupMessage:"))) {
        fuzz::check(popups == popupsBefore, "a popup came from another command");
    }

    const QStringList pids = clientPool.getPids();
    fuzz::check(QSet<QString>(pids.begin(), pids.end()).size() == pids.size(),
                "two pooled clients share a pid");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    server = new IpcServer();
    // Stands in for the popup handler: takes the message and frees it.
    QObject::connect(
        server, &IpcServer::onPopup, server,
        [](Message* m) {
            fuzz::check(m != nullptr, "onPopup with null");
            ++popups;
            delete m;
        },
        Qt::DirectConnection);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fillPool();
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t start = 0;
    int commands = 0;
    for (size_t i = 0; i <= size && commands < 16; ++i) {
        if (i == size || data[i] == 0xFF) {
            runOne(QString::fromUtf8(bytes + start, int(i - start)));
            ++commands;
            start = i + 1;
        }
    }
    clientPool.clear();
    fuzz::check(clientPool.count() == 0, "pool not empty after clear");
    return 0;
}
