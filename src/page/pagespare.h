// A page view started before it is needed: the web engine takes about a
// second to start, so after a page popup has loaded its page the agent keeps
// one more page view ready, for limits::pageSpareIdleMs after the last page
// popup, and the next page popup shows its page in a fraction of that.
#pragma once

class PageClient;
class QObject;

namespace pagespare {

/// A page view for a new page popup, owned by parent: the spare one where
/// one is ready, else a new one, not started yet (open() starts it).
PageClient* take(QObject* parent);

/// A page popup has loaded its page: a spare is started
/// limits::pageSpareDelayMs later, if there is none by then, and kept until
/// limits::pageSpareIdleMs after the last take().
void prepare();
/// Starts the spare now, if there is none and a page popup was opened
/// within limits::pageSpareIdleMs.
void start();

/// Ends the spare now, if there is one (the agent is ending).
void drop();

} // namespace pagespare
