// Where the agent's debug lines go and how they look.
#pragma once

/// Installs the agent's debug-line format: time, file, line and function
/// before each message, written to stderr. On Linux it also pins TZ to the
/// system zone file when TZ is unset, which keeps time stamps cheap.
///
/// Lines are written by a thread of their own, so that no other thread ever
/// waits for stderr: a host that connects stderr to a pipe it never reads
/// blocks that thread alone. Lines that find the queue full (or that stderr
/// refuses) are dropped and counted; the count is written as a line of its
/// own once writing works again.
void installMessagePattern();

/// Gives the lines still queued up to timeoutMs to be written; for a normal
/// exit. Returns false if some were left.
bool flushDebugLines(int timeoutMs);
