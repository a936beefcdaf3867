// The texts bin2plv32 has always shown while the client works, letter for letter: scripts and
// technicians read them.
#pragma once
#include "download/observer.h"

class ConsoleObserver : public DownloadObserver {
  public:
    void OnImage(const std::string& name, const std::string& version, bool hasVersion) override;
    void OnProgress(const Progress& progress) override;
    void OnFpgaReplyFault(const FpgaReplyFault& fault) override;
    void OnFpgaProgrammed(long bytesSent) override;
};
