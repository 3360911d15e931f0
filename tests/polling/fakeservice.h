// An in-process push service on loopback for the polling tests: records every
// request target and answers it with whatever the test decides, or holds it.
#pragma once

#include "logcapture.h"
#include "loopbackhttp.h"

#include <QByteArray>
#include <QList>
#include <QPointer>

#include <functional>

struct FakeAnswer
{
    int status = 200;
    QByteArray body = R"({"code":800,"data":0})";
    bool hold = false; ///< keep the request open without answering
};

class FakeService : public LoopbackHttp
{
public:
    /// The base URL the agent would use for this service.
    QString baseUrl() const { return url(QStringLiteral("/push")); }

    /// Queues answers given in order to the next requests; afterwards
    /// `fallback` answers.
    void queue(const QByteArray& body, int status = 200)
    {
        FakeAnswer a;
        a.body = body;
        a.status = status;
        answers.append(a);
    }

    /// Answers every held request with body and closes it.
    void release(const QByteArray& body)
    {
        for (const QPointer<QTcpSocket>& s : qAsConst(held)) {
            if (s) {
                write(s, 200, body);
            }
        }
        held.clear();
    }

    /// Sockets of requests that are held; null once the client went away.
    QList<QPointer<QTcpSocket>> held;
    FakeAnswer fallback;
    /// When set, decides the answer of every request before the queue.
    std::function<FakeAnswer(const QString& target)> responder;

protected:
    void answer(QTcpSocket* socket, const QString& target) override
    {
        FakeAnswer a = fallback;
        if (responder) {
            a = responder(target);
        } else if (!answers.isEmpty()) {
            a = answers.takeFirst();
        }
        if (a.hold) {
            held << socket;
        } else {
            write(socket, a.status, a.body);
        }
    }

private:
    static void write(QTcpSocket* socket, int status, const QByteArray& body)
    {
        respond(socket, status, "application/json", body);
    }

    QList<FakeAnswer> answers;
};
