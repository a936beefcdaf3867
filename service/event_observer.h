// Turns what the download client reports into qelflash's events for one box.
#pragma once
#include <string>

#include "download/observer.h"
#include "service/reporter.h"

namespace qelflash {

class EventObserver : public DownloadObserver {
  public:
    EventObserver(Reporter& reporter, std::string port)
        : reporter_(reporter), port_(std::move(port)) {}

    // An event already carrying this box's port.
    Event Make(const std::string& name) const { return Event(name).Add("port", port_); }
    void Emit(const Event& event) { reporter_.Emit(event); }

    void OnImage(const std::string& name, const std::string& version, bool hasVersion) override;
    void OnConnected(const std::string& deviceName, int baud) override;
    void OnErase(std::uint32_t first, std::uint32_t last) override;
    void OnRateChange(int baud) override;
    void OnRetry(const std::string& reason, int baud) override;
    void OnProgress(const Progress& progress) override;
    void OnFpgaReplyFault(const FpgaReplyFault& fault) override;

  private:
    Reporter& reporter_;
    std::string port_;
};

// The name a progress event gives to a kind of work.
const char* PhaseName(ProgressKind kind);

}  // namespace qelflash
