// A private X server (Xvfb) for tests that need real windows, with an
// xdg-open that opens nothing.
#pragma once

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

class XSession
{
public:
    static bool available()
    {
        return !QStandardPaths::findExecutable("Xvfb").isEmpty() &&
               !QStandardPaths::findExecutable("xdotool").isEmpty();
    }
    ~XSession()
    {
        xvfb.kill();
        xvfb.waitForFinished();
    }

    /// Starts Xvfb on a free display; false on failure.
    bool start(const QString& screen = QStringLiteral("1280x1024x24"))
    {
        QFile::copy(QStandardPaths::findExecutable("true"), bin.filePath("xdg-open"));
        xvfb.setStandardErrorFile(QProcess::nullDevice());
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"});
        QByteArray number;
        while (!number.endsWith('\n') && xvfb.waitForReadyRead(10000)) {
            number += xvfb.readAllStandardOutput();
        }
        display = ":" + QString::fromLatin1(number.trimmed());
        return !number.trimmed().isEmpty();
    }
    /// The environment of a program on this display.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("PATH", bin.path() + ":" + env.value("PATH"));
        env.remove("XAUTHORITY");
        return env;
    }
    /// Runs a program on the display; its output, trimmed.
    QString run(const QString& program, const QStringList& args) const
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(program, args);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    QString display;
    QProcess xvfb;
    QTemporaryDir bin;
};
