// What the download client tells whoever watches an operation. The client never prints: a
// console front end turns these calls into its fixed texts, a service front end into a
// progress bar or machine-readable lines. Every call is made on the operation's own thread,
// before the step it reports goes on; an observer must not call back into the client.
#pragma once
#include <cstdint>
#include <string>

// Which kind of work a progress report counts.
enum class ProgressKind {
    Program,          // a block of the image went to the flash
    Verify,           // a block of the flash matched the image
    Read,             // a block of the flash went to the read-back file
    FpgaData,         // a frame of FPGA configuration data was taken by the box
    FpgaProgramming,  // one waiting period while the box programs its FPGA
};

struct Progress {
    ProgressKind kind = ProgressKind::Program;
    std::uint32_t address = 0;  // flash address of the block (Program, Verify, Read)
    long before = 0;            // bytes done before this step
    long done = 0;              // bytes done after it; equals before for a step that failed
    long total = 0;             // bytes the operation moves in all
    int step = 0;               // number of this step, from 0 (block, frame or waiting period)
};

// An FPGA reply the host could not use; number is the one its error line always showed.
struct FpgaReplyFault {
    int number = 0;  // 101 no start byte, 102 short reply, 103 wrong type, 104 status
    int value = 0;   // 101: the last byte seen; 102: the announced length
    std::uint8_t expected = 0;
    std::uint8_t reply[4] = {};  // reply bytes 6 to 9 (103, 104)
};

class DownloadObserver {
  public:
    virtual ~DownloadObserver() = default;

    // The identification strings of the image about to be loaded; hasVersion is false when
    // the second one carries no version after ":: ".
    virtual void OnImage(const std::string& /*name*/, const std::string& /*version*/,
                         bool /*hasVersion*/) {}
    // The bootloader answered to its device name; the link runs at baud.
    virtual void OnConnected(const std::string& /*deviceName*/, int /*baud*/) {}
    // Erasing of the flash range first..last (both inclusive word addresses) begins.
    virtual void OnErase(std::uint32_t /*first*/, std::uint32_t /*last*/) {}
    // The line now runs at baud.
    virtual void OnRateChange(int /*baud*/) {}
    // A step failed and is tried again at a lower rate; reason says what failed, baud is the
    // rate it failed at.
    virtual void OnRetry(const std::string& /*reason*/, int /*baud*/) {}
    virtual void OnProgress(const Progress& /*progress*/) {}
    virtual void OnFpgaReplyFault(const FpgaReplyFault& /*fault*/) {}
    // The box took every byte of the FPGA configuration and has programmed it.
    virtual void OnFpgaProgrammed(long /*bytesSent*/) {}
};

// The observer of a client nobody watches: it hears everything and does nothing.
DownloadObserver& SilentObserver();

// Tells the observer of an FPGA reply fault; reply points at reply bytes 6 to 9, or is null.
void ReportReplyFault(DownloadObserver& observer, int number, int value, std::uint8_t expected,
                      const std::uint8_t* reply);
