// zav-msgctl: the pieces of the command-line client that do not talk to the
// pipe themselves.
#pragma once

#include <QString>
#include <QStringList>

namespace msgctl {

/// The command text for "zav-msgctl popup ..." options (everything after the
/// word popup): "PopupMessage:" followed by the message object the agent
/// reads. Returns false, with the reason in *error, on a usage error.
bool popupCommand(const QStringList& args, QString* command, QString* error);

/// The command text for "zav-msgctl register ..." options, given as on the
/// agent's own command line: "REGISTER:" followed by the client text.
QString registerCommand(const QStringList& args);

/// The reply of "GetMessage:" as indented JSON, or unchanged when it is not
/// a JSON array (the "0" for an unknown pid).
QString prettyMessages(const QString& reply);

/// The text of --help.
QString usage();

} // namespace msgctl
