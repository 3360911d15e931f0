#include "msgctl.h"

#include "message/client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <vector>

namespace msgctl {

bool popupCommand(const QStringList& args, QString* command, QString* error)
{
    QJsonObject message;
    QJsonArray settings;
    QJsonArray actions;
    bool hasTitle = false;
    bool hasBody = false;

    for (int i = 0; i < args.size(); ++i) {
        const QString& name = args.at(i);
        if (i + 1 >= args.size()) {
            *error = name + QStringLiteral(" needs a value");
            return false;
        }
        const QString value = args.at(++i);
        if (name == QLatin1String("--title")) {
            message.insert(QStringLiteral("title"), value);
            hasTitle = true;
        } else if (name == QLatin1String("--summary")) {
            message.insert(QStringLiteral("summary"), value);
            hasBody = true;
        } else if (name == QLatin1String("--author")) {
            message.insert(QStringLiteral("authorName"), value);
        } else if (name == QLatin1String("--page")) {
            // The agent reads the form from "messageFrom".
            message.insert(QStringLiteral("messageFrom"), QStringLiteral("Url"));
            message.insert(QStringLiteral("url"), value);
            hasBody = true;
        } else if (name == QLatin1String("--setting")) {
            const int eq = value.indexOf(QLatin1Char('='));
            if (eq <= 0) {
                *error = QStringLiteral("--setting wants KEY=VALUE, not ") + value;
                return false;
            }
            settings.append(QJsonObject{{QStringLiteral("key"), value.left(eq)},
                                        {QStringLiteral("value"), value.mid(eq + 1)}});
        } else if (name == QLatin1String("--action")) {
            // The URL is last, so it may hold commas itself.
            const int first = value.indexOf(QLatin1Char(','));
            const int second = first < 0 ? -1 : value.indexOf(QLatin1Char(','), first + 1);
            if (second < 0) {
                *error = QStringLiteral("--action wants ID,LABEL,URL, not ") + value;
                return false;
            }
            actions.append(
                QJsonObject{{QStringLiteral("id"), value.left(first)},
                            {QStringLiteral("action"), value.mid(first + 1, second - first - 1)},
                            {QStringLiteral("url"), value.mid(second + 1)}});
        } else {
            *error = QStringLiteral("unknown popup option ") + name;
            return false;
        }
    }
    if (!hasTitle || !hasBody) {
        *error = QStringLiteral("popup needs --title and --summary or --page");
        return false;
    }
    if (!settings.isEmpty()) {
        message.insert(QStringLiteral("settings"), settings);
    }
    if (!actions.isEmpty()) {
        message.insert(QStringLiteral("actions"), actions);
    }
    *command = QStringLiteral("PopupMessage:") +
               QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    return true;
}

QString registerCommand(const QStringList& args)
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
    for (QByteArray& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const Client client(int(storage.size()), argv.data());
    return QStringLiteral("REGISTER:") + client.toJson();
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
        "Usage: zav-msgctl [--socket PATH] [--timeout MS] COMMAND [ARGUMENTS]\n"
        "\n"
        "Sends one command to the running zav-msg-agent over its pipe and prints the reply.\n"
        "\n"
        "Commands:\n"
        "  hello                     probe the agent (\"Hello\"); the reply is OK\n"
        "  count PID                 number of messages queued for the host with\n"
        "                            process id PID (\"MessageCount:PID\"); 0 for an\n"
        "                            unknown PID\n"
        "  get [--raw] PID           fetch and remove those messages (\"GetMessage:PID\"),\n"
        "                            printed as indented JSON, or as sent with --raw;\n"
        "                            0 for an unknown PID\n"
        "  register OPTION VALUE...  register a host with the agent, options as on the\n"
        "                            agent's own command line (-pid, -product, -mac,\n"
        "                            -uid, -productversion, -purchase, -handle,\n"
        "                            -properties); sends \"REGISTER:\" + the client text\n"
        "  popup OPTIONS             show a popup (\"PopupMessage:\" + JSON):\n"
        "      --title TEXT              headline (required)\n"
        "      --summary TEXT            body, plain text or HTML\n"
        "      --page URL                show this web page as the body instead\n"
        "                                (one of --summary and --page is required)\n"
        "      --author NAME             sender's name\n"
        "      --setting KEY=VALUE       presentation setting (width, height,\n"
        "                                position); may be repeated\n"
        "      --action ID,LABEL,URL     a button; ID and LABEL hold no comma, the URL\n"
        "                                may; may be repeated\n"
        "  raw TEXT                  send TEXT unchanged as one command\n"
        "\n"
        "Options:\n"
        "  --socket PATH   the agent's socket file (default: $XDG_RUNTIME_DIR/zav_msg_ipc_pipe,\n"
        "                  or <temp>/zav-msg-<uid>/zav_msg_ipc_pipe without XDG_RUNTIME_DIR)\n"
        "  --timeout MS    wait this long for the connection and for the reply\n"
        "                  (default 2000)\n"
        "  -h, --help      this text\n"
        "\n"
        "Exit status: 0 when the agent replied (whatever the reply), 1 when no agent\n"
        "is listening, 2 on a usage error, 3 when the agent did not reply in time.\n"
        "\n"
        "Examples:\n"
        "  zav-msgctl hello\n"
        "  zav-msgctl register -pid 4242 -product P -mac 00:11:22:33:44:55 -handle customize\n"
        "  zav-msgctl count 4242\n"
        "  zav-msgctl get 4242\n"
        "  zav-msgctl popup --title 'Update' --summary 'Version 2 is out' \\\n"
        "      --action 1,Download,https://example.com/download --setting position=right\n");
}

} // namespace msgctl
