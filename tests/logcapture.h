// Keeps the debug lines written (from any thread) while it lives.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker lock(&mutex);
        lines.clear();
        previous = qInstallMessageHandler(&handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous); }

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
        {
            QMutexLocker lock(&mutex);
            lines.append(text);
        }
        previous(type, context, text);
    }
    static inline QMutex mutex;
    static inline QStringList lines; ///< since the capture that lives (one at a time) began
    static inline QtMessageHandler previous = nullptr;
};
