#include "download/observer.h"

#include "download/download.h"

DownloadObserver& SilentObserver() {
    static DownloadObserver silent;
    return silent;
}

void CDownload::SetObserver(DownloadObserver* observer) {
    m_observer = observer ? observer : &SilentObserver();
}

void CDownload::ReportProgress(ProgressKind kind, std::uint32_t address, long before, long done,
                               long total, int step) {
    Progress progress;
    progress.kind = kind;
    progress.address = address;
    progress.before = before;
    progress.done = done;
    progress.total = total;
    progress.step = step;
    m_observer->OnProgress(progress);
}

void ReportReplyFault(DownloadObserver& observer, int number, int value, std::uint8_t expected,
                      const std::uint8_t* reply) {
    FpgaReplyFault fault;
    fault.number = number;
    fault.value = value;
    fault.expected = expected;
    if (reply) {
        for (int i = 0; i < 4; ++i) fault.reply[i] = reply[i];
    }
    observer.OnFpgaReplyFault(fault);
}
