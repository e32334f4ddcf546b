#include "device/DeviceJob.h"

BlockRun runBlocks(int totalBlocks, const DeviceJobObserver &observer,
                   const std::function<ExchangeResult(int block)> &exchangeBlock,
                   const std::function<void(int block)> &afterBlock) {
    BlockRun run;
    JobEndCheck jobEnd;
    for (int block = 0; block < totalBlocks; ++block) {
        if (observer.stopRequested && observer.stopRequested()) {
            run.stopped = true;
            break;
        }
        const ExchangeResult exchanged = exchangeBlock(block);
        ++run.blocksRun;
        if (exchanged != ExchangeResult::Ok && run.failedBlocks++ == 0) {
            run.firstFailedBlock = block;
            run.firstFailure = exchanged;
        }
        run.endReason = jobEnd.after(exchanged);
        if (run.endReason != JobEndCheck::Reason::None)
            break;
        if (observer.blockDone)
            observer.blockDone(block + 1, totalBlocks);
        afterBlock(block);
    }
    return run;
}
