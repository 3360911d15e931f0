// Fuzzes the push-service answer handler, PollingWorker::onServerResponse,
// with a fuzzed body delivered for a pooled client. The first input byte picks
// the client's situation: its handling mode "auto", "customize" or another
// word, or a client that left the pool while its request was in flight. The
// rest is up to four answer bodies separated by 0xFF bytes, delivered one
// after the other for the same request ticket.
//
// Invariants: an 801 list of n elements gives n onMessage emissions for an
// "auto" client and n more queued messages for a "customize" one, in order;
// nothing is emitted or queued otherwise; an answer for a departed client
// touches nothing; the base URL only ever becomes an http or https URL;
// every message and ticket is freed.
#include "core/clientpool.h"
#include "core/globals.h"
#include "core/urlpolicy.h"
#include "fuzzcommon.h"
#include "message/jsontext.h"
#include "message/limits.h"
#include "message/message.h"
#include "polling/pollingworker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QUrl>
#include <QVariant>

#include <cmath>

namespace {

PollingWorker* worker = nullptr;
int emitted = 0;
// Requests that a code 800 sends go here: a URL that is not http or https
// fails at once, without touching the network.
const QString safeBase = QStringLiteral("zav-fuzz://nowhere");

// A number, or a string holding one; anything else, and anything past the
// range of int (which the agent reads as the nearer end of it), counts as 0
// here: only whether the code is 801 matters.
int integer(const QJsonValue& value)
{
    if (value.isDouble()) {
        return std::abs(value.toDouble()) < 2147483648.0 ? value.toVariant().toInt() : 0;
    }
    bool ok = false;
    const qlonglong number = value.toString().toLongLong(&ok);
    return ok && number == int(number) ? int(number) : 0;
}

/// How many messages the body carries (up to the cap) if it is a well-formed
/// 801 answer, else -1.
int listLength(const QString& body)
{
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(body.toUtf8(), &error, limits::maxMessagesPerAnswer);
    if (error.error != QJsonParseError::NoError) {
        return -1;
    }
    const QJsonObject answer = doc.object();
    if (integer(answer.value(QLatin1String("code"))) != 801) {
        return -1;
    }
    const int length = answer.value(QLatin1String("data")).toArray().size();
    fuzz::check(length <= limits::maxMessagesPerAnswer, "a list read past its cap");
    return length;
}

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    worker = new PollingWorker();
    // Stands in for the popup handler of the main thread.
    QObject::connect(
        worker, &PollingWorker::onMessage, worker,
        [](Message* m) {
            fuzz::check(m != nullptr && m->parent() == nullptr, "onMessage with a bad message");
            ++emitted;
            delete m;
        },
        Qt::DirectConnection);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    static const char* const modes[] = {"auto", "customize", "manual", "auto"};
    const int situation = data[0] & 3;
    const bool departs = situation == 3;
    const QString handle = QString::fromLatin1(modes[situation]);

    auto* client = new Client(QStringLiteral(R"({"pid":"7","product":"P","mac":"M"})"));
    client->handle = handle;
    auto* earlier = new Message();
    earlier->uuid = QStringLiteral("earlier");
    client->messages << earlier;
    clientPool.addClient(client);
    const ClientRef ref = clientPool.snapshot().value(0);
    if (departs) {
        clientPool.removeClient(QStringLiteral("7"));
    }

    // The worker's own requests carry a ticket owned by the request; here the
    // harness owns it.
    auto* ticket = new PollTicket(ref, nullptr);
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    const size_t length = size - 1;
    size_t start = 0;
    int answers = 0;
    for (size_t i = 0; i <= length && answers < 4; ++i) {
        if (i != length && uint8_t(bytes[i]) != 0xFF) {
            continue;
        }
        const QString body = QString::fromUtf8(bytes + start, int(i - start));
        start = i + 1;
        ++answers;

        baseUrl.set(safeBase);
        int queuedBefore = -1;
        clientPool.withClient(ref, [&](Client* c) { queuedBefore = c->messages.size(); });
        const int emittedBefore = emitted;

        QMetaObject::invokeMethod(worker, "onServerResponse", Qt::DirectConnection,
                                  Q_ARG(QString, body), Q_ARG(QObject*, ticket));
        fuzz::check(baseUrl.get() == safeBase ||
                        urlpolicy::isWebUrl(QUrl(baseUrl.get(), QUrl::TolerantMode)),
                    "the base URL became something other than an http or https URL");

        int queuedAfter = -1;
        clientPool.withClient(ref, [&](Client* c) {
            queuedAfter = c->messages.size();
            fuzz::check(!c->messages.isEmpty() && c->messages.first() == earlier,
                        "the queue lost its earlier message");
        });
        const int n = listLength(body);
        const int newEmitted = emitted - emittedBefore;
        if (departs) {
            fuzz::check(queuedAfter == -1 && newEmitted == 0, "a departed client was served");
        } else if (n >= 0 && handle == QLatin1String("auto")) {
            fuzz::check(newEmitted == n && queuedAfter == queuedBefore,
                        "an auto client did not get each message shown");
        } else if (n >= 0 && handle == QLatin1String("customize")) {
            fuzz::check(newEmitted == 0 && queuedAfter == queuedBefore + n,
                        "a customize client did not get each message queued");
        } else {
            fuzz::check(newEmitted == 0 && queuedAfter == queuedBefore,
                        "an answer that is not a deliverable 801 delivered messages");
        }
        settle();
    }

    delete ticket;
    clientPool.clear();
    baseUrl.set(safeBase);
    settle();
    return 0;
}
