// Shared set-up of the fuzz targets: one application object for the whole
// run and no debug output (the agent writes a debug line for almost every
// step, which would cost more than the code under test).
#pragma once

#include "fuzzcheck.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzz {

inline void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

/// Creates the application object once (with gui, a widget application on
/// the offscreen platform) and silences debug lines. Set ZAV_FUZZ_VERBOSE=1
/// to see them when replaying a single input.
inline void init(bool gui = false)
{
    static int argc = 1;
    static char name[] = "zav-fuzz";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("ZAV_FUZZ_VERBOSE")) {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qInstallMessageHandler(quietMessages);
    }
    if (gui) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QCoreApplication* app =
        gui ? new QApplication(argc, argv) : new QCoreApplication(argc, argv);
    Q_UNUSED(app)
}

} // namespace fuzz
