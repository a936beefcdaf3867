// The download client: one object per run, bound to one open port, through which every
// operation on the box's bootloader and firmware goes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "download/observer.h"
#include "framework/cobject.h"

// Result codes; GetErrorText gives each its fixed message.
enum DownloadResult {
    RESULT_OK = 0,
    RESULT_PORT_NOT_OPEN = 2,
    RESULT_NO_ANSWER = 3,
    RESULT_FILE_UNKNOWN = 4,
    RESULT_FILE_BAD_SIZE = 5,
    RESULT_ERASE_FAILED = 6,
    RESULT_VERIFY_FAILED = 8,
    RESULT_BAD_ADDRESS = 10,
    RESULT_NO_FILE_ID = 18,
    RESULT_FPGA_NO_ANSWER = 19,
    RESULT_NO_UPDATE_NEEDED = 20,
};

// Progress of the current operation.
enum DownloadState {
    STATE_STARTED = 0,
    STATE_FINISHED = 3,
    STATE_FAILED = 5,
    STATE_COMPARING = 7,
    STATE_CONNECTING = 8,
    STATE_TRANSFERRING = 9,
    STATE_CONNECTING_READBACK = 13,
};

// Results of the link operations (Connect, SendCommand, EraseFlash, ProgramBlock, ...): they
// leave the result code alone and tell only how the step went.
enum LinkResult {
    LINK_OK = 0,
    LINK_FAILED = -1,     // refused, garbled or cut short
    LINK_TIMED_OUT = -2,  // the box did not answer an erase or a programmed block in time
    LINK_NO_PROMPT = -3,  // no ready prompt before a command
};

class CDownload : public CObject {
  public:
    static const CRuntimeClass classCDownload;
    static CObject* CreateObject();
    const CRuntimeClass* GetRuntimeClass() const override;

    CDownload();
    explicit CDownload(int port);
    ~CDownload() override;
    CDownload(const CDownload&) = delete;
    CDownload& operator=(const CDownload&) = delete;

    int GetError() const { return m_result; }
    static std::string GetErrorText(int code);

    // --- flows ----------------------------------------------------------------------------
    int Download(const std::string& path, int startAddress, const std::string& target);
    int Verify(const std::string& path);
    int ReadImageStrings(const std::string& path, std::vector<std::string>& list);
    int ReadBack(const std::string& path, int first, int last);
    int GetSerialNumber(std::string& answer);
    int GetSsn(std::string& answer);
    int GetBootVersion(std::string& answer);
    int GetProgramVersion(std::string& answer);
    int GetHardwareVersion(std::string& answer);
    int UpdateFpga(const std::string& path, const std::string& target);
    int FpgaRequest(std::uint8_t* frame, int rateSwitch, int waitMs, bool progress);
    int FpgaHandshake();

    // --- bootloader link ----------------------------------------------------------------------
    int Connect(const char* name);
    int SendCommand(const char* name, std::uint32_t p1, std::uint32_t p2);
    static void UpdateCrc(std::uint16_t word, std::uint8_t& lo, std::uint8_t& hi);
    static void UpdateCrcByte(std::uint8_t byte, std::uint8_t& lo, std::uint8_t& hi);
    int SendBlock(const std::uint16_t* words, int count, bool bulk);
    int ReceiveBlock(std::uint16_t* buffer, bool bulk);
    int ReceiveString(char* buffer);  // at least 4096 bytes
    int SendString(const char* text);
    int SetPortBaud(int baud);
    int SetBaudRate(int baud);
    int EraseFlash(std::uint32_t first, std::uint32_t last);
    int ProgramBlock(const std::uint16_t* words, std::uint32_t address, int count);
    int ReadMemory(std::uint16_t* buffer, std::uint32_t address, int count);
    int WriteMemory(const std::uint16_t* words, std::uint32_t address, int count);
    int Reset();
    void ForceReset();
    int Resync();
    // Connect with the object's device name; a name never set (a download with an explicit
    // address, a verify before any download) counts as none given, so Connect's default.
    int ConnectDevice();

    // --- inspection -------------------------------------------------------------------------
    int GetState() const { return m_state; }
    int GetBaudRate() const { return m_baudRate; }
    const char* GetDeviceName() const { return m_deviceName; }
    // The name Connect sends until a download picks one from its image (at most eight
    // characters are kept).
    void SetDeviceName(const std::string& name);
    void SetRestart(std::uint8_t restart) { m_restart = restart; }

    // Who hears what the operations do (not owned; null for nobody). Set before an operation,
    // it must outlive the operations that report to it.
    void SetObserver(DownloadObserver* observer);

  private:
    // The end of a device query that failed: state 5, code 3, no answer; returns -1.
    int QueryFailed(std::string& answer);
    DownloadObserver& Observer() { return *m_observer; }
    void ReportProgress(ProgressKind kind, std::uint32_t address, long before, long done,
                        long total, int step);
    // What made the last link step fail, for the retry that follows.
    void NoteFault(const char* reason) { m_fault = reason; }

    std::uint8_t m_restart = 0;
    std::uint8_t m_sequence = 0;
    int m_state = STATE_FAILED;
    int m_result = RESULT_PORT_NOT_OPEN;
    int m_port = 0;
    int m_baudRate = 0;
    int m_savedBaud = 0;
    int m_savedDataBits = 0;
    int m_savedParity = 0;
    int m_savedStopBits = 0;
    int m_savedTimeout = -1;
    int m_savedHandshake = 0;
    char m_deviceName[9] = {};
    std::uint8_t m_fpgaBuffer[255] = {};
    DownloadObserver* m_observer = &SilentObserver();
    const char* m_fault = "";
};
