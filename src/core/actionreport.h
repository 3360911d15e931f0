// What a click on a message's action tells the push service.
#pragma once

class QObject;
class QString;

namespace actionreport {

/// Sends GET <base URL>/channel/polling/action?id=<id, percent-encoded>. The
/// request belongs to owner, which is to outlive the popup (deleted right
/// after the click), and is disposed of when its answer or error arrives; the
/// answer is not read.
void send(const QString& id, QObject* owner);

} // namespace actionreport
