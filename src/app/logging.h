// Where the agent's debug lines go and how they look.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

/// Installs the agent's debug-line format: time, file, line and function
/// before each message, written to stderr. On Linux it also pins TZ to the
/// system zone file when TZ is unset, which keeps time stamps cheap.
///
/// Lines are written by a thread of their own, so that no other thread ever
/// waits for stderr: a host that connects stderr to a pipe it never reads
/// blocks that thread alone. Lines that find the queue full (or that stderr
/// refuses) are dropped and counted; the count is written as a line of its
/// own once writing works again. A line that comes while the writer is idle
/// is written at once; the lines of a burst are gathered for a few
/// milliseconds and written together.
void installMessagePattern();

/// One line as the installed format writes it, without its line break.
QByteArray formatDebugLine(QtMsgType type, const QMessageLogContext& context, const QString& text);

/// Gives the lines still queued up to timeoutMs to be written; for a normal
/// exit. Returns false if some were left.
bool flushDebugLines(int timeoutMs);
