// The option lines of a tool's --help, written from the parser's options so
// that the two never disagree (the manual pages are made from --help).
#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

/// "  -V, --version             show the version..." for each option, the
/// description starting at column 28 and continued there after each '\n'.
inline QString describeOptions(const QList<QCommandLineOption>& options)
{
    const QString indent(28, QLatin1Char(' '));
    QString text;
    for (const QCommandLineOption& option : options) {
        QStringList names;
        for (const QString& name : option.names()) {
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        }
        QString left = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty()) {
            left += QLatin1Char('=') + option.valueName();
        }
        text += left.size() < indent.size() ? left.leftJustified(indent.size())
                                            : left + QLatin1Char('\n') + indent;
        text += option.description().split(QLatin1Char('\n')).join(QLatin1Char('\n') + indent);
        text += QLatin1Char('\n');
    }
    return text;
}
