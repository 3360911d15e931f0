// Every bound on what a message, a push answer or a peer can make the agent
// build or do, in one place. Each is a cap, not a tuning knob: input past it
// is cut, dropped or shown plainer, never an error. The table of limits in
// docs/content.md lists them with what happens at each.
#pragma once

#include <cstdint>

namespace limits {

// ---- Messages, whoever sends them (pipe or push answer) ----------------------

/// Action buttons of one message; the rest are dropped before they are built.
constexpr int maxActions = 8;
/// Characters of an action's label; a longer one is cut.
constexpr int maxLabelLength = 100;
/// Settings of one message (only width, height, position and timeout mean
/// anything to a popup); the rest are dropped before they are stored.
constexpr int maxSettings = 64;
/// Messages read from one 801 answer: the reader stops counting elements of
/// any array there, so the rest of the list is never parsed.
constexpr int maxMessagesPerAnswer = 10000;

// ---- Queues -------------------------------------------------------------------

/// Messages and text (UTF-16 bytes of every field) one "customize" host's
/// queue holds; the oldest go first.
constexpr int maxQueuedMessages = 200000;
constexpr std::int64_t maxQueuedTextBytes = std::int64_t(64) * 1024 * 1024;
/// Popups on screen at once, and messages waiting for room (with their text).
constexpr int maxShownPopups = 10;
constexpr int maxWaitingPopups = 10000;
constexpr std::int64_t maxWaitingPopupBytes = std::int64_t(8) * 1024 * 1024;

// ---- Texts of a popup (sender, title, summary) --------------------------------

/// Characters of a text shown at most; the rest is cut.
constexpr int maxTextLength = 100 * 1000;
/// HTML nested deeper, with tables nested deeper, with more images or with
/// more table cells is shown as plain text. Cells are rows times columns of
/// every table, spans counted in full, and twice that for a table within a
/// table (Qt lays it out twice for each layout of the outer one): the
/// largest text within these bounds is laid out in about half the budget.
constexpr int maxHtmlDepth = 256;
constexpr int maxNestedTables = 2;
constexpr int maxImages = 256;
constexpr int maxTableCells = 1024;
/// The largest side a popup can have (wider than any screen it is shown on):
/// widths and heights in HTML (tables, cells, rules, images) are cut to it.
constexpr int maxExtent = 4096;
/// Paddings, spacings, borders, margins and indents in HTML, in pixels.
constexpr int maxBoxLength = 256;
/// Column and row spans of a table cell; list starts.
constexpr int maxSpan = 64;
constexpr int maxListStart = 99999;
/// Line heights in HTML: proportional at most this many per cent, fixed at
/// most maxBoxLength pixels.
constexpr int maxLineHeightPercent = 400;
/// Characters of a link or image URL in HTML (data: images aside) and of a
/// font name; a longer one is dropped.
constexpr int maxUrlLength = 2048;
constexpr int maxFontNameLength = 100;
/// Fonts in HTML, in points (pixel sizes likewise, at 96 dpi).
constexpr int maxFontPoints = 48;
/// Images: data: URLs only, all of one text together at most this many
/// pixels, each shown at most maxImageSide wide and high.
constexpr std::int64_t maxImagePixels = std::int64_t(2) * 1024 * 1024;
constexpr int maxImageSide = 1024;
/// CPU time a text may take to be read and laid out (off the main thread)
/// before its popup shows it as plain text instead; and the longest the main
/// thread waits for a popup's texts, however busy the machine.
constexpr int layoutBudgetMs = 250;
constexpr int layoutWaitMs = 1000;
/// Layouts that ran past their budget and still run; while this many do, rich
/// text is shown plain at once.
constexpr int maxLateLayouts = 4;

// ---- The pipe ------------------------------------------------------------------

/// Open connections, whatever the descriptor limit allows: each costs memory.
constexpr int maxPipeConnections = 16384;
/// A peer that sends without reading its replies is not read any further
/// while this many reply bytes wait for it; the kernel then holds its sends
/// back, so such a peer cannot make the agent grow.
constexpr std::int64_t maxUnsentReplyBytes = std::int64_t(1024) * 1024;
/// A peer that takes no part of its message list for this long loses its
/// connection; the list goes back to the queue.
constexpr int listStallMs = 60 * 1000;
/// More than this is never taken as one command (the socket holds what the
/// kernel had ready, far less).
constexpr std::int64_t maxCommandBytes = std::int64_t(64) * 1024 * 1024;

// ---- Push service -------------------------------------------------------------

/// An answer body past this size is abandoned as a failed request.
constexpr std::int64_t maxAnswerBytes = std::int64_t(16) * 1024 * 1024;
/// Status line and header section of an answer together, and each chunk-size
/// line or trailer section of a chunked body; past it the request fails.
constexpr int maxHeadBytes = 64 * 1024;
/// A request that has not ended this long after it was made is closed and
/// counts as failed.
constexpr int requestTimeoutMs = 30 * 1000;

// ---- Page popups (the page view program and its channel) ---------------------

/// The page view must show its popup this soon after its start, and answer
/// every ping this soon after (it answers once the page's own thread has run
/// a script of the page view's: a page that loops blocks it).
constexpr int pageStartMs = 30 * 1000;
constexpr int pageAnswerMs = 10 * 1000;
/// It is ended when its processes take pageCpuBudgetMs of processor time
/// within pageCpuWindowMs (half a processor: a page looping in a worker),
/// counting the time of children they have reaped, or pageMemoryBytes of
/// private and shared memory together, or when it runs more than
/// pageProcesses processes (all are counted: one more ends it).
constexpr int pageCpuBudgetMs = 10 * 1000;
constexpr int pageCpuWindowMs = 20 * 1000;
constexpr std::int64_t pageMemoryBytes = std::int64_t(512) * 1024 * 1024;
constexpr int pageProcesses = 32;
/// Tasks (processes and their threads) a page view may have at once: a
/// kernel bound, by its scope's TasksMax where the session gives it a cgroup,
/// and by RLIMIT_NPROC in the user namespace of its sandbox.
constexpr int pageTasks = 1024;
/// Where the session gives it a cgroup: processor time at most this many
/// per cent of one processor (its processes are slowed past it).
constexpr int pageCpuQuotaPercent = 100;
/// The page view's private /tmp and /dev/shm, memory file systems, hold at
/// most this much each (bwrap's --size); a write past it fails.
constexpr std::int64_t pageTmpBytes = std::int64_t(16) * 1024 * 1024;
constexpr std::int64_t pageShmBytes = std::int64_t(128) * 1024 * 1024;
/// Writable private memory each of its processes may take (RLIMIT_DATA): a
/// page that allocates without end makes its process fail there, and the
/// watchdog ends the whole page view long before.
constexpr std::int64_t pageMemoryPerProcess = std::int64_t(1024) * 1024 * 1024;
/// Debug lines of one page view passed on to the agent's log, and their
/// length; the rest are dropped.
constexpr int pageLogLines = 200;
constexpr int pageLogLineLength = 300;
/// The longest frame of the channel, type and fields included (a longer one
/// ends the page view), and the longest text one carries, in UTF-16 units
/// (a page's address longer than it is not shown as a page).
constexpr int maxPageFrame = 64 * 1024;
constexpr int maxPageText = 8192;
/// Bytes the agent has waiting for a page view that does not read them;
/// past it the page view is ended.
constexpr std::int64_t pageUnsentBytes = std::int64_t(256) * 1024;
/// Frames a page view may send within one second (a drag sends one per
/// pointer move); past it the page view is ended.
constexpr int pageFramesPerSecond = 400;
/// Links one page popup opens at most; each needs a click of the user on the
/// popup where the agent can see one (X11), and a second since the last.
constexpr int pageLinksPerPopup = 5;
/// A click on a page popup seen by the agent stands for one link reported
/// within this time after it.
constexpr int pageClickMs = 2000;
/// A spare page view, started so that the next page popup is quick, is ended
/// when no page popup has been opened for this long.
constexpr int pageSpareIdleMs = 120 * 1000;
/// The spare is started this long after a page has loaded, not while it is
/// being painted.
constexpr int pageSpareDelayMs = 1500;

} // namespace limits
