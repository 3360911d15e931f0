// Keeps the debug lines written (from any thread) while it lives.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

class LogCapture
{
public:
    LogCapture() { current() = this, previous() = qInstallMessageHandler(&handler); }
    ~LogCapture() { qInstallMessageHandler(previous()), current() = nullptr; }

    /// The lines that hold text, in order.
    QStringList with(const QString& text) const
    {
        QMutexLocker lock(&mutex);
        return lines.filter(text);
    }
    int count(const QString& text) const { return with(text).size(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (LogCapture* self = current()) {
            QMutexLocker lock(&self->mutex);
            self->lines.append(text);
        }
        previous()(type, context, text);
    }
    static LogCapture*& current()
    {
        static LogCapture* c = nullptr;
        return c;
    }
    static QtMessageHandler& previous()
    {
        static QtMessageHandler p = nullptr;
        return p;
    }
    mutable QMutex mutex;
    QStringList lines;
};
