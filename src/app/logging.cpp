#include "logging.h"

#include "app/logsink.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace {

/// Whether the time stamp is written here rather than by the toolkit, whose
/// %{time} converts to local time and formats a date for every line: as many
/// instructions as the rest of a pipe command. Not when the user gave a
/// pattern of their own (QT_MESSAGE_PATTERN), which then stands alone.
bool ownTimeStamp = false;

const char* const linePattern = "%{file}:%{line} %{function}: %{message}";

void appendTwoDigits(char*& out, int value)
{
    *out++ = char('0' + value / 10 % 10);
    *out++ = char('0' + value % 10);
}

/// "hh:mm:ss.zzz " of now in local time, as %{time hh:mm:ss.zzz} writes it;
/// the clock part is converted once a second.
void appendTimeStamp(QByteArray& line)
{
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ms =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    const time_t now = time_t(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    thread_local time_t second = -1;
    thread_local tm local{};
    if (now != second) {
        logsink::localTime(now, &local);
        second = now;
    }
    char stamp[13];
    char* out = stamp;
    appendTwoDigits(out, local.tm_hour);
    *out++ = ':';
    appendTwoDigits(out, local.tm_min);
    *out++ = ':';
    appendTwoDigits(out, local.tm_sec);
    *out++ = '.';
    *out++ = char('0' + ms / 100);
    appendTwoDigits(out, ms);
    *out++ = ' ';
    line.append(stamp, int(out - stamp));
}

/// What comes before the message ("file:line function: ") for one place in
/// the code, as the toolkit formats it (shortening the function's
/// signature, which costs as much as the rest of the line): worked out once
/// per place, for a bounded number of places. A place is known by its texts,
/// not by their addresses, which a text made at run time may hand on.
class PlacePrefixes
{
public:
    QByteArray prefix(QtMsgType type, const QMessageLogContext& context)
    {
        const size_t slot =
            (std::hash<const void*>()(context.file) ^ std::hash<const void*>()(context.function) ^
             size_t(context.line) * 31 ^ size_t(type)) %
            places.size();
        std::lock_guard<std::mutex> lock(mutex);
        Place& place = places[slot];
        if (place.prefix.isNull() || place.line != context.line || place.type != type ||
            !place.file.is(context.file) || !place.function.is(context.function)) {
            place.prefix = qFormatLogMessage(type, context, QString()).toLocal8Bit();
            place.line = context.line;
            place.type = type;
            place.file = Text(context.file);
            place.function = Text(context.function);
        }
        return place.prefix;
    }

private:
    /// A copy of a text that may be null.
    struct Text
    {
        Text() = default;
        explicit Text(const char* text) : null(!text), copy(text ? text : "") {}
        bool is(const char* text) const { return text ? !null && copy == text : null; }
        bool null = true;
        std::string copy;
    };
    struct Place
    {
        Text file;
        Text function;
        int line = 0;
        QtMsgType type = QtDebugMsg;
        QByteArray prefix;
    };
    std::mutex mutex;
    std::array<Place, 512> places;
};

/// Never freed, like the line queue below: lines may come until the end.
PlacePrefixes* places = nullptr;

} // namespace

QByteArray formatDebugLine(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (ownTimeStamp && places) {
        const QByteArray prefix = places->prefix(type, context);
        const QByteArray message = text.toLocal8Bit();
        QByteArray line;
        line.reserve(13 + prefix.size() + message.size() + 1); // and the line break
        appendTimeStamp(line);
        line += prefix;
        line += message;
        return line;
    }
    return qFormatLogMessage(type, context, text).toLocal8Bit();
}

namespace {

/// Lines waiting for stderr, at most this many bytes; more are dropped.
const int maxQueuedBytes = 4 * 1024 * 1024;
/// A longer line is cut to this many bytes (a push answer can be megabytes).
const int maxLineBytes = 256 * 1024;
/// After each write the writer lets lines gather this long before the next,
/// so that a burst of lines costs one write and no wake-up per line.
const std::chrono::milliseconds gatherTime(2);

/// Shared by every thread that logs and the writer thread. Never freed: the
/// writer may still be blocked in write() while the process ends.
struct LineQueue
{
    std::mutex mutex;
    std::condition_variable wake;    // lines arrived
    std::condition_variable written; // the writer has gone idle
    std::deque<QByteArray> lines;
    int queuedBytes = 0;
    quint64 dropped = 0;
    bool writing = false;
    bool asleep = false; // waits for wake: a new line must notify it
};

LineQueue* queue = nullptr;

bool writeAll(const QByteArray& bytes)
{
    return logsink::writeStderr(bytes.constData(), bytes.size());
}

QByteArray droppedLine(quint64 count)
{
    const QMessageLogContext context(__FILE__, __LINE__, Q_FUNC_INFO, "default");
    return formatDebugLine(
               QtDebugMsg, context,
               QStringLiteral("%1 debug lines dropped: stderr did not take them").arg(count)) +
           '\n';
}

void writeLines(LineQueue* q)
{
    logsink::prepareWriterThread();

    std::unique_lock<std::mutex> lock(q->mutex);
    for (;;) {
        if (q->lines.empty()) {
            q->asleep = true;
            q->wake.wait(lock, [q] { return !q->lines.empty(); });
            q->asleep = false;
        }
        std::deque<QByteArray> batch;
        batch.swap(q->lines);
        q->queuedBytes = 0;
        q->writing = true;
        lock.unlock();

        QByteArray bytes;
        for (const QByteArray& line : batch) {
            bytes += line;
        }
        // May block for ever on a reader that never reads: only this thread waits.
        const bool ok = writeAll(bytes);

        lock.lock();
        if (!ok) {
            q->dropped += batch.size();
        } else if (q->dropped > 0) {
            const quint64 count = q->dropped;
            q->dropped = 0;
            lock.unlock();
            const bool reported = writeAll(droppedLine(count));
            lock.lock();
            if (!reported) {
                q->dropped += count;
            }
        }
        q->writing = false;
        if (q->lines.empty()) {
            q->written.notify_all();
        }
        lock.unlock();
        std::this_thread::sleep_for(gatherTime);
        lock.lock();
    }
}

void queueLine(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    QByteArray line = formatDebugLine(type, context, text);
    if (line.size() > maxLineBytes) {
        const int cut = line.size() - maxLineBytes;
        line.truncate(maxLineBytes);
        line += QByteArray("... (") + QByteArray::number(cut) + " bytes cut)";
    }
    line += '\n';
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        if (queue->queuedBytes + line.size() > maxQueuedBytes) {
            ++queue->dropped;
            return;
        }
        queue->queuedBytes += line.size();
        queue->lines.push_back(std::move(line));
        wake = queue->asleep; // otherwise the writer looks again by itself
        queue->asleep = false;
    }
    if (wake) {
        queue->wake.notify_one();
    }
    if (type == QtFatalMsg) {
        flushDebugLines(1000); // the process aborts next
    }
}

} // namespace

bool flushDebugLines(int timeoutMs)
{
    if (!queue) {
        return true;
    }
    std::unique_lock<std::mutex> lock(queue->mutex);
    return queue->written.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return queue->lines.empty() && !queue->writing; });
}

void installMessagePattern()
{
    logsink::prepareProcess();
    // Lines read "hh:mm:ss.zzz file:line function: message".
    ownTimeStamp = qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN");
    qSetMessagePattern(QString::fromLatin1(linePattern)); // the time comes first
    if (!queue) {
        places = new PlacePrefixes();
        queue = new LineQueue();
        std::thread(writeLines, queue).detach();
    }
    qInstallMessageHandler(queueLine);
}
