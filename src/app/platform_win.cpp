// The desktop on Windows: there is always one, and popups are windows on it.
#include "platform.h"

#include "popup/popupoutput.h"

#include <QDebug>
#include <QGuiApplication>
#include <QTextCodec>

#include <vector>

#include <windows.h>

void useUnicodeArguments(int& argc, char**& argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) {
        return;
    }
    // Kept for the process's life, as the entry's own are.
    static std::vector<QByteArray> texts;
    static std::vector<char*> pointers;
    for (int i = 0; i < count; ++i) {
        texts.push_back(QString::fromWCharArray(wide[i]).toUtf8());
    }
    LocalFree(wide);
    for (QByteArray& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void raiseDescriptorLimit() {}

void paintWithoutGl() {}

PlatformChoice::Decision PlatformChoice::decide(const Environment&, bool)
{
    return {};
}

PopupForm PlatformChoice::formFor(const QString&, const QByteArray&, bool, bool)
{
    return PopupForm::Windows;
}

PlatformChoice::PlatformChoice(int, char*[]) {}

void PlatformChoice::restore() {}

std::unique_ptr<PopupOutput> PlatformChoice::startPopups() const
{
    PopupOutput::setCurrent(nullptr);
    qDebug().noquote() << describe(PopupForm::Windows, QString());
    return nullptr;
}

PopupForm PlatformChoice::popupForm() const
{
    return PopupForm::Windows;
}

QString PlatformChoice::describe(PopupForm, const QString&) const
{
    return QStringLiteral("platform %1: popups as windows at the screen's edge")
        .arg(QGuiApplication::platformName());
}

bool notificationServiceRuns(int)
{
    return false;
}
