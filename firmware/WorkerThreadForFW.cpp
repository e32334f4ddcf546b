#include "firmware/WorkerThreadForFW.h"

WorkerThreadForFW::WorkerThreadForFW(QObject *parent) : QThread(parent), iLoopTemp(0) {}

WorkerThreadForFW::Result WorkerThreadForFW::result() const {
    return result_;
}

void WorkerThreadForFW::run() {}
