#include "processcontroller.h"

ProcessController::ProcessController(QObject* parent) : QObject(parent) {}

void ProcessController::exit()
{
    emit onExit();
}
