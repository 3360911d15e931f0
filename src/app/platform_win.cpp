// The desktop on Windows: there is always one, and popups are windows on it.
#include "platform.h"

#include "popup/popupoutput.h"

#include <QDebug>
#include <QGuiApplication>

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
