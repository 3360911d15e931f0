// Which URLs from a message or a push answer the agent acts on. Everything
// in a message is untrusted: a URL must not start a local program, open a
// local file or reach a service the user did not mean to reach.
#pragma once

class QUrl;

namespace urlpolicy {

/// True for an http or https URL with a host: the only URLs the agent
/// fetches (push service, page popups).
bool isWebUrl(const QUrl& url);

/// True for a web URL or a mailto URL: the only URLs the agent hands to the
/// desktop (action buttons, links). A bare path, file:, smb: or any other
/// scheme would let a message start programs or open local files.
bool mayOpenExternally(const QUrl& url);

/// A mailto URL with its address and its subject and body only: any other
/// parameter (attach=, attachment=, cc=...) could make a mail program attach
/// a local file or send to someone the user never saw.
QUrl keptMailto(const QUrl& url);

/// Hands url to the desktop's browser or mail program if mayOpenExternally
/// allows it (a mailto URL as keptMailto() leaves it); otherwise writes a
/// debug line naming the scheme. what says where the URL came from
/// ("action", "link"). Every URL that leaves the agent goes through here.
bool openExternally(const QUrl& url, const char* what);

} // namespace urlpolicy
