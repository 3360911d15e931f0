#include "msgctl.h"

#include "message/client.h"
#include "optionhelp.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cerrno>
#include <unistd.h>
#include <vector>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

namespace msgctl {

namespace {

/// The most that "-" reads from standard input.
const int maxStandardInput = 64 * 1024;

// Options that every command takes, before or after its name.
QList<QCommandLineOption> commonOptions()
{
    return {{QStringLiteral("socket"),
             "the agent's socket (default: zav_msg_ipc_pipe in\n"
             "$XDG_RUNTIME_DIR, or in <temp>/zav-msg-<uid> when\n"
             "XDG_RUNTIME_DIR is not set)",
             "PATH"},
            {QStringLiteral("timeout"),
             "wait this long for the connection and for the\nreply (default 2000)", "MS"}};
}

const QCommandLineOption helpOption(QStringList{"h", "help"}, "show this help and exit");
const QCommandLineOption versionOption(QStringList{"V", "version"}, "show the version and exit");
const QCommandLineOption rawOption(QStringLiteral("raw"),
                                   "print the message list as the agent sent it");

QList<QCommandLineOption> popupOptions()
{
    return {{QStringLiteral("title"), "headline (required)", "TEXT"},
            {QStringLiteral("summary"), "body, plain text or HTML; - reads it from\nstandard input",
             "TEXT"},
            {QStringLiteral("page"),
             "show this web page as the body instead; - reads\nthe address from standard "
             "input (one of --summary\nand --page is required)",
             "URL"},
            {QStringLiteral("author"), "the sender's name", "NAME"},
            {QStringLiteral("setting"),
             "presentation setting (width, height, position);\nmay be repeated", "KEY=VALUE"},
            {QStringLiteral("action"),
             "a button; ID and LABEL hold no comma, the URL\nmay; may be repeated",
             "ID,LABEL,URL"}};
}

int usageError(QString* text, QString reason)
{
    if (reason.endsWith(QLatin1Char('.'))) {
        reason.chop(1); // the parser's own texts end with one
    }
    *text = QStringLiteral("zav-msgctl: ") + reason + QStringLiteral(" (see --help)");
    return UsageError;
}

// --socket and --timeout, wherever they were given.
bool takeCommon(const QCommandLineParser& parser, Request* request, QString* text)
{
    if (parser.isSet(QStringLiteral("socket"))) {
        request->socketPath = parser.value(QStringLiteral("socket"));
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        const QString value = parser.value(QStringLiteral("timeout"));
        bool ok = false;
        request->timeoutMs = value.toInt(&ok);
        if (!ok || request->timeoutMs <= 0) {
            usageError(text, QStringLiteral("--timeout wants milliseconds, not ") + value);
            return false;
        }
    }
    return true;
}

// The value of an option, read from standard input when it is "-".
bool valueOf(const QCommandLineParser& parser, const QString& name, QString* value, QString* text)
{
    *value = parser.value(name);
    if (*value != QLatin1String("-")) {
        return true;
    }
    QByteArray bytes;
    char chunk[4096];
    while (bytes.size() <= maxStandardInput) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        bytes.append(chunk, int(n));
    }
    if (bytes.size() > maxStandardInput) {
        usageError(text, QStringLiteral("standard input holds more than %1 KiB for --%2")
                             .arg(maxStandardInput / 1024)
                             .arg(name));
        return false;
    }
    *value = QString::fromUtf8(bytes);
    while (value->endsWith(QLatin1Char('\n'))) {
        value->chop(1);
    }
    return true;
}

int popupCommand(const QCommandLineParser& parser, Request* request, QString* text)
{
    if (!parser.isSet(QStringLiteral("title")) ||
        !(parser.isSet(QStringLiteral("summary")) || parser.isSet(QStringLiteral("page")))) {
        return usageError(text, QStringLiteral("popup needs --title and --summary or --page"));
    }
    if (parser.value(QStringLiteral("summary")) == QLatin1String("-") &&
        parser.value(QStringLiteral("page")) == QLatin1String("-")) {
        return usageError(text, QStringLiteral("only one of --summary and --page can be -"));
    }
    QJsonObject message{{QStringLiteral("title"), parser.value(QStringLiteral("title"))}};
    QString value;
    if (parser.isSet(QStringLiteral("summary"))) {
        if (!valueOf(parser, QStringLiteral("summary"), &value, text)) {
            return UsageError;
        }
        message.insert(QStringLiteral("summary"), value);
    }
    if (parser.isSet(QStringLiteral("page"))) {
        if (!valueOf(parser, QStringLiteral("page"), &value, text)) {
            return UsageError;
        }
        // The agent reads the form from "messageFrom".
        message.insert(QStringLiteral("messageFrom"), QStringLiteral("Url"));
        message.insert(QStringLiteral("url"), value.trimmed());
    }
    if (parser.isSet(QStringLiteral("author"))) {
        message.insert(QStringLiteral("authorName"), parser.value(QStringLiteral("author")));
    }
    QJsonArray settings;
    for (const QString& setting : parser.values(QStringLiteral("setting"))) {
        const int eq = setting.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            return usageError(text, QStringLiteral("--setting wants KEY=VALUE, not ") + setting);
        }
        settings.append(QJsonObject{{QStringLiteral("key"), setting.left(eq)},
                                    {QStringLiteral("value"), setting.mid(eq + 1)}});
    }
    QJsonArray actions;
    for (const QString& action : parser.values(QStringLiteral("action"))) {
        // The URL is last, so it may hold commas itself.
        const int first = action.indexOf(QLatin1Char(','));
        const int second = first < 0 ? -1 : action.indexOf(QLatin1Char(','), first + 1);
        if (second < 0) {
            return usageError(text, QStringLiteral("--action wants ID,LABEL,URL, not ") + action);
        }
        actions.append(
            QJsonObject{{QStringLiteral("id"), action.left(first)},
                        {QStringLiteral("action"), action.mid(first + 1, second - first - 1)},
                        {QStringLiteral("url"), action.mid(second + 1)}});
    }
    if (!settings.isEmpty()) {
        message.insert(QStringLiteral("settings"), settings);
    }
    if (!actions.isEmpty()) {
        message.insert(QStringLiteral("actions"), actions);
    }
    request->command = QStringLiteral("PopupMessage:") +
                       QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    return -1;
}

int registerCommand(const QStringList& args, Request* request, QString* text)
{
    // The same parse as the agent's own start: an argument vector whose entry 0
    // is the program and whose entry argc is a null pointer.
    std::vector<QByteArray> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("zav-msgctl");
    for (const QString& arg : args) {
        storage.push_back(arg.toLocal8Bit());
    }
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (QByteArray& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const Client client(int(storage.size()), argv.data());
    if (client.pid.isEmpty() || client.product.isEmpty() || client.mac.isEmpty()) {
        return usageError(text, QStringLiteral("register needs -pid, -product and -mac"));
    }
    request->command = QStringLiteral("REGISTER:") + client.toJson();
    return -1;
}

} // namespace

int parse(const QStringList& args, Request* request, QString* text)
{
    // Options up to the command's name; everything after it is the command's.
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(commonOptions() << helpOption << versionOption);
    if (!parser.parse(QStringList{QStringLiteral("zav-msgctl")} + args)) {
        return usageError(text, parser.errorText());
    }
    if (parser.isSet(helpOption)) {
        *text = usage();
        return Replied;
    }
    if (parser.isSet(versionOption)) {
        *text = QStringLiteral("zav-msgctl " ZAV_VERSION);
        return Replied;
    }
    if (!takeCommon(parser, request, text)) {
        return UsageError;
    }
    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        return usageError(text, QStringLiteral("no command given"));
    }
    const QString verb = rest.takeFirst();
    if (verb == QLatin1String("register")) {
        return registerCommand(rest, request, text);
    }

    QCommandLineParser command;
    command.addOptions(commonOptions());
    if (verb == QLatin1String("popup")) {
        command.addOptions(popupOptions());
    } else if (verb == QLatin1String("get")) {
        command.addOption(rawOption);
    }
    if (!command.parse(QStringList{verb} + rest)) {
        return usageError(text, command.errorText());
    }
    if (!takeCommon(command, request, text)) {
        return UsageError;
    }
    const QStringList values = command.positionalArguments();
    if (verb == QLatin1String("hello") && values.isEmpty()) {
        request->command = QStringLiteral("Hello");
    } else if (verb == QLatin1String("count") && values.size() == 1) {
        request->command = QStringLiteral("MessageCount:") + values.first();
    } else if (verb == QLatin1String("get") && values.size() == 1) {
        request->pretty = !command.isSet(rawOption);
        request->command = QStringLiteral("GetMessage:") + values.first();
    } else if (verb == QLatin1String("popup") && values.isEmpty()) {
        return popupCommand(command, request, text);
    } else if (verb == QLatin1String("raw") && values.size() == 1) {
        request->command = values.first();
    } else {
        return usageError(text, QStringLiteral("bad arguments for ") + verb);
    }
    return -1;
}

QString prettyMessages(const QString& reply)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(reply.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray()) {
        return reply;
    }
    if (doc.array().isEmpty()) {
        return QStringLiteral("[]");
    }
    return QString::fromUtf8(doc.toJson(QJsonDocument::Indented)).trimmed();
}

QString usage()
{
    return QStringLiteral(
               "Usage: zav-msgctl [OPTION]... COMMAND [ARGUMENT]...\n"
               "Send one command to the running zav-msg-agent over its local pipe and print\n"
               "the agent's reply.\n"
               "\n"
               "Commands:\n"
               "  hello                     probe the agent (\"Hello\"); the reply is OK\n"
               "  count PID                 the number of messages queued for the host with\n"
               "                            process id PID (\"MessageCount:PID\"); 0 for an\n"
               "                            unknown PID\n"
               "  get [--raw] PID           fetch and remove those messages\n"
               "                            (\"GetMessage:PID\"), printed as indented JSON, or\n"
               "                            as sent with --raw; 0 for an unknown PID\n"
               "  register OPTION VALUE...  register a host, with the options of the agent's\n"
               "                            own command line: -pid, -product and -mac\n"
               "                            (required), -uid, -productversion, -purchase,\n"
               "                            -handle, -properties (\"REGISTER:\" and the\n"
               "                            client text)\n"
               "  popup OPTION...           show a popup with the popup options below\n"
               "                            (\"PopupMessage:\" and the message as JSON)\n"
               "  raw TEXT                  send TEXT unchanged as one command\n"
               "\n"
               "Options:\n") +
           describeOptions(commonOptions() << helpOption << versionOption) +
           QStringLiteral("\n"
                          "Popup options:\n") +
           describeOptions(popupOptions()) +
           QStringLiteral(
               "\n"
               "An option takes its value as --option=VALUE or --option VALUE. --socket and\n"
               "--timeout may follow the command too, except for register, whose arguments\n"
               "are those of the agent.\n"
               "\n"
               "Exit status:\n"
               "  0   the agent replied\n"
               "  1   no agent is listening on the socket\n"
               "  2   usage error; nothing was sent\n"
               "  3   the agent did not reply in time\n"
               "  4   the agent answered with an error (\"ERROR: ...\"), printed on stderr\n");
}

} // namespace msgctl
