#include "readback/WorkerThreadForSaveData.h"

WorkerThreadForSaveData::WorkerThreadForSaveData(QObject *parent) : QThread(parent) {}

WorkerThreadForSaveData::Result WorkerThreadForSaveData::result() const {
    return result_;
}

void WorkerThreadForSaveData::run() {}
