// Keeps the debug lines written while a test step runs.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

/// Keeps every debug line written while it lives (from any thread) and still
/// passes them on to the handler installed before it.
class LogCapture
{
public:
    LogCapture()
    {
        current = this;
        previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// How many lines were exactly this line.
    int count(const QString& line) const
    {
        QMutexLocker lock(&mutex);
        return int(captured.count(line));
    }
    bool contains(const QString& line) const { return count(line) > 0; }
    /// Whether any line has text somewhere in it.
    bool mentions(const QString& text) const
    {
        QMutexLocker lock(&mutex);
        for (const QString& line : captured) {
            if (line.contains(text)) {
                return true;
            }
        }
        return false;
    }
    void clear()
    {
        QMutexLocker lock(&mutex);
        captured.clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (LogCapture* self = current) {
            QMutexLocker lock(&self->mutex);
            self->captured.append(text);
        }
        if (previous) {
            previous(type, context, text);
        }
    }

    mutable QMutex mutex;
    QStringList captured;
    static inline LogCapture* current = nullptr;
    static inline QtMessageHandler previous = nullptr;
};
