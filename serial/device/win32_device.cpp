// The Win32 backend: the serial calls of Windows themselves, on a device opened for
// overlapped I/O. Written to behave the same on Windows and under Wine on a pseudo-terminal,
// whose differences are noted where they shape the code.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "serial/device/platform.h"
#include "serial/device/sync.h"
#include "serial/device/win32_api.h"

namespace qel::dev {

namespace {

// The longest a read of bytes that are already waiting may take in the driver. Reads ask
// for no more than ClearCommError counts waiting, so they end at once; this only bounds a
// driver that disagrees.
constexpr ::DWORD kReadBoundMs = 200;
// How often the event wait looks at the input queue itself. The received-characters event
// fires only for bytes that come after the wait began, and under Wine on a pseudo-terminal
// the wait ends at once with no event at all: the queue count is what tells.
constexpr ::DWORD kQueueLookMs = 1;
// Slower looks once the line has been quiet for a while, so that an idle port costs nothing.
constexpr ::DWORD kIdleLookMs = 20;
// Where the event works, the look at the queue is only a safety net.
constexpr ::DWORD kTrustedLookMs = 100;
// A wait that began this recently follows a reader's exchange, and the answer is likely near.
constexpr double kBusyLineMs = 500;
// Empty event waits in a row after which the event is taken not to work on this driver.
constexpr int kEmptyEndsToGiveUp = 8;
// Ended write requests kept for reuse; writes rarely overlap by more than one.
constexpr std::size_t kSpareWrites = 4;
// How long Close waits for a request it cancelled before it gives the request's record up.
constexpr ::DWORD kCancelWaitMs = 2000;

// The device layer's codes for the errors of opening a device: not found, access denied,
// no memory, or the system's own code.
DWORD OpenErrorCode(::DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
            return ERROR_FILE_NOT_FOUND;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:  // another program holds the port
        case ERROR_BUSY:
            return ERROR_ACCESS_DENIED;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return static_cast<DWORD>(error);
    }
}

// An overlapped request with its own manual-reset completion signal, and for writes the
// bytes it sends: the driver reads them after WriteFile has returned.
struct Request {
    OVERLAPPED ov{};
    std::vector<BYTE> bytes;
    ::DWORD mask = 0;  // what WaitCommEvent reports into
    bool Create() {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return ov.hEvent != nullptr;
    }
    // ReadFile and WriteFile clear the event themselves when they start; under Wine every
    // call to the server costs a round trip, so no extra one is made for them.
    void Rearm(bool clearEvent) {
        HANDLE event = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = event;
        if (clearEvent) ResetEvent(event);
    }
    bool Done() const { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
    ~Request() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
};

void ToWin(const DCB& from, ::DCB& to) {
    to.DCBlength = sizeof(::DCB);
    to.BaudRate = from.BaudRate;
    to.fBinary = from.fBinary;
    to.fParity = from.fParity;
    to.fOutxCtsFlow = from.fOutxCtsFlow;
    to.fOutxDsrFlow = from.fOutxDsrFlow;
    to.fDtrControl = from.fDtrControl;
    to.fDsrSensitivity = from.fDsrSensitivity;
    to.fTXContinueOnXoff = from.fTXContinueOnXoff;
    to.fOutX = from.fOutX;
    to.fInX = from.fInX;
    to.fErrorChar = from.fErrorChar;
    to.fNull = from.fNull;
    to.fRtsControl = from.fRtsControl;
    to.fAbortOnError = from.fAbortOnError;
    to.XonLim = from.XonLim;
    to.XoffLim = from.XoffLim;
    to.ByteSize = from.ByteSize;
    to.Parity = from.Parity;
    to.StopBits = from.StopBits;
    to.XonChar = from.XonChar;
    to.XoffChar = from.XoffChar;
    to.ErrorChar = from.ErrorChar;
    to.EofChar = from.EofChar;
    to.EvtChar = from.EvtChar;
}

void FromWin(const ::DCB& from, DCB& to) {
    to.DCBlength = sizeof(DCB);
    to.BaudRate = from.BaudRate;
    to.fBinary = from.fBinary;
    to.fParity = from.fParity;
    to.fOutxCtsFlow = from.fOutxCtsFlow;
    to.fOutxDsrFlow = from.fOutxDsrFlow;
    to.fDtrControl = from.fDtrControl;
    to.fDsrSensitivity = from.fDsrSensitivity;
    to.fTXContinueOnXoff = from.fTXContinueOnXoff;
    to.fOutX = from.fOutX;
    to.fInX = from.fInX;
    to.fErrorChar = from.fErrorChar;
    to.fNull = from.fNull;
    to.fRtsControl = from.fRtsControl;
    to.fAbortOnError = from.fAbortOnError;
    to.XonLim = from.XonLim;
    to.XoffLim = from.XoffLim;
    to.ByteSize = from.ByteSize;
    to.Parity = from.Parity;
    to.StopBits = from.StopBits;
    to.XonChar = from.XonChar;
    to.XoffChar = from.XoffChar;
    to.ErrorChar = from.ErrorChar;
    to.EofChar = from.EofChar;
    to.EvtChar = from.EvtChar;
}

class Win32Device : public Device {
  public:
    Win32Device(HANDLE handle, HANDLE closing, std::unique_ptr<Request> read,
                std::unique_ptr<Request> wait)
        : handle_(handle), closing_(closing), read_(std::move(read)), wait_(std::move(wait)) {
        spare_.reserve(kSpareWrites);
    }
    ~Win32Device() override {
        Close();
        CloseHandle(closing_);
    }

    bool SetupComm(DWORD inQueue, DWORD outQueue) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        return ::SetupComm(handle_, inQueue, outQueue) || FailLast();
    }
    bool GetCommState(DCB& dcb) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        ::DCB win{};
        win.DCBlength = sizeof win;
        if (!::GetCommState(handle_, &win)) return FailLast();
        FromWin(win, dcb);
        return true;
    }
    bool SetCommState(const DCB& dcb) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        ::DCB win{};
        ToWin(dcb, win);
        return ::SetCommState(handle_, &win) || FailLast();
    }
    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
    IoResult Read(void* buf, DWORD n) override;
    IoResult Write(const void* buf, DWORD n) override;
    bool WaitWrite(DWORD ms, DWORD& count) override;
    bool SetCommMask(DWORD mask) override {
        // The receive thread's own call, between its event waits.
        std::lock_guard<std::mutex> wait(waitMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        mask_ = mask;
        return ::SetCommMask(handle_, mask) || FailLast();
    }
    bool WaitCommEvent(DWORD& mask) override;
    bool ClearCommError(DWORD& errors, COMSTAT* status) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        std::lock_guard<std::mutex> held(heldMutex_);
        ::COMSTAT stat{};
        ::DWORD flags = 0;
        if (!::ClearCommError(handle_, &flags, &stat)) return FailLast();
        errors = static_cast<DWORD>(flags) | heldErrors_;
        heldErrors_ = 0;
        if (status) {
            status->cbInQue = stat.cbInQue;
            status->cbOutQue = stat.cbOutQue;
        }
        return true;
    }
    bool PurgeComm(DWORD flags) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        if (!::PurgeComm(handle_, flags)) return FailLast();
        // Aborted writes end with an error; their records go with the next look.
        ReapWrites();
        return true;
    }
    bool SetCommBreak() override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        return ::SetCommBreak(handle_) || FailLast();
    }
    bool ClearCommBreak() override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        return ::ClearCommBreak(handle_) || FailLast();
    }
    // Both fail with ERROR_NOT_SUPPORTED where the line has no modem lines (Wine on a
    // pseudo-terminal); the port library takes that as the lines being off.
    bool GetCommModemStatus(DWORD& bits) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        ::DWORD status = 0;
        if (!::GetCommModemStatus(handle_, &status)) return FailLast();
        bits = static_cast<DWORD>(status) & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
        return true;
    }
    bool EscapeCommFunction(DWORD function) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        switch (function) {
            case SETDTR:
            case CLRDTR:
            case SETRTS:
            case CLRRTS:
                return ::EscapeCommFunction(handle_, function) || FailLast();
            default:
                return Fail(ERROR_INVALID_PARAMETER);
        }
    }
    void Close() override;
    DWORD LastError() const override { return lastError_; }

  private:
    bool Fail(DWORD error) {
        lastError_ = error;
        return false;
    }
    bool FailLast() { return Fail(static_cast<DWORD>(GetLastError())); }
    IoResult FailedIo(DWORD error) {
        lastError_ = error;
        return {IoStatus::Failed, 0, error};
    }
    // Bytes in the driver's input queue; false when the device does not answer. The error
    // flags fetched on the way are kept for the caller's next ClearCommError.
    bool Waiting(::DWORD& count) {
        ::COMSTAT stat{};
        ::DWORD flags = 0;
        if (!::ClearCommError(handle_, &flags, &stat)) return false;
        heldErrors_ |= static_cast<DWORD>(flags);
        count = stat.cbInQue;
        return true;
    }
    ::DWORD LookMs(double since) const {
        if (trusted_) return kTrustedLookMs;
        return NowMs() - since < kBusyLineMs ? kQueueLookMs : kIdleLookMs;
    }
    // Drops the records of writes that have ended, oldest first; ioMutex_ held.
    void ReapWrites() {
        while (!writes_.empty() && writes_.front()->Done()) {
            Spare(std::move(writes_.front()));
            writes_.pop_front();
        }
    }
    // Keeps a few ended requests, event and buffer, for the next writes: a single-byte write
    // then costs one call to the system, not three.
    void Spare(std::unique_ptr<Request> request) {
        if (spare_.size() < kSpareWrites) spare_.push_back(std::move(request));
    }
    std::unique_ptr<Request> TakeSpare() {
        if (spare_.empty()) {
            std::unique_ptr<Request> request(new (std::nothrow) Request);
            if (request && !request->Create()) request.reset();
            return request;
        }
        std::unique_ptr<Request> request = std::move(spare_.back());
        spare_.pop_back();
        request->Rearm(false);
        return request;
    }

    HANDLE handle_;
    HANDLE closing_;  // manual-reset; set by Close, ends the event wait
    std::atomic<bool> closed_{false};
    std::atomic<DWORD> lastError_{0};
    std::atomic<DWORD> mask_{0};
    // Caller-thread calls against Close.
    std::mutex ioMutex_;
    // The receive thread's event wait against Close.
    std::mutex waitMutex_;
    std::unique_ptr<Request> read_;
    std::unique_ptr<Request> wait_;
    bool waitPending_ = false;
    std::deque<std::unique_ptr<Request>> writes_;  // in call order; the last is the newest
    std::vector<std::unique_ptr<Request>> spare_;
    // Error flags the event wait fetched on its way (ClearCommError clears them in the
    // driver), kept for the caller's next ClearCommError; heldMutex_ guards them and the
    // fetching itself.
    DWORD heldErrors_ = 0;
    std::mutex heldMutex_;
    // Once a wait has ended by a real received-characters event, the event is trusted and
    // the queue is looked at only now and then; Wine on a pseudo-terminal never gets there.
    bool trusted_ = false;
    // Waits that ended with no event in a row. Under Wine on a pseudo-terminal every wait
    // ends so, after about 2 ms with ERROR_OPERATION_ABORTED: after a few the event is not
    // asked for any more, and the queue count alone tells (it costs the driver far less).
    int emptyEnds_ = 0;
};

bool Win32Device::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    ::COMMTIMEOUTS win{};
    win.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    win.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    win.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    win.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    win.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (win.ReadIntervalTimeout == MAXDWORD && win.ReadTotalTimeoutMultiplier == 0 &&
        win.ReadTotalTimeoutConstant == 0) {
        // "Return at once with what is there": Windows completes such a read at once, but
        // Wine leaves it pending until a byte comes, even when bytes are there. A total
        // time-out alone ends the same way on both, and Read asks only for what is waiting.
        win.ReadIntervalTimeout = 0;
        win.ReadTotalTimeoutConstant = kReadBoundMs;
    }
    return ::SetCommTimeouts(handle_, &win) || FailLast();
}

IoResult Win32Device::Read(void* buf, DWORD n) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return FailedIo(ERROR_INVALID_HANDLE);
    if (n == 0) return {IoStatus::Done, 0, 0};
    ::DWORD waiting = 0;
    {
        std::lock_guard<std::mutex> held(heldMutex_);
        if (!Waiting(waiting)) return FailedIo(static_cast<DWORD>(GetLastError()));
    }
    const ::DWORD want = std::min<::DWORD>(n, waiting);
    if (want == 0) return {IoStatus::Done, 0, 0};

    read_->Rearm(false);
    ::DWORD got = 0;
    if (ReadFile(handle_, buf, want, &got, &read_->ov)) return {IoStatus::Done, got, 0};
    const ::DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return FailedIo(error);
    // The caller's buffer must not outlive the request: end it before returning, keeping
    // whatever it moved.
    if (WaitForSingleObject(read_->ov.hEvent, kReadBoundMs * 2) != WAIT_OBJECT_0) {
        CancelIoEx(handle_, &read_->ov);
    }
    got = 0;
    if (GetOverlappedResult(handle_, &read_->ov, &got, TRUE)) return {IoStatus::Done, got, 0};
    const ::DWORD after = GetLastError();
    if (after == ERROR_OPERATION_ABORTED) return {IoStatus::Done, got, 0};
    return FailedIo(after);
}

IoResult Win32Device::Write(const void* buf, DWORD n) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return FailedIo(ERROR_INVALID_HANDLE);
    ReapWrites();
    std::unique_ptr<Request> request = TakeSpare();
    if (!request) return FailedIo(ERROR_NOT_ENOUGH_MEMORY);
    try {
        request->bytes.assign(static_cast<const BYTE*>(buf), static_cast<const BYTE*>(buf) + n);
    } catch (const std::bad_alloc&) {
        return FailedIo(ERROR_NOT_ENOUGH_MEMORY);
    }
    ::DWORD done = 0;
    if (WriteFile(handle_, request->bytes.data(), n, &done, &request->ov)) {
        Spare(std::move(request));
        return {IoStatus::Done, done, 0};
    }
    const ::DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        Spare(std::move(request));
        return FailedIo(error);
    }
    // The driver sends overlapped writes in the order they were made, so a write that
    // outlives its caller's wait still goes out before the next one.
    writes_.push_back(std::move(request));
    lastError_ = ERROR_IO_PENDING;
    return {IoStatus::Pending, 0, ERROR_IO_PENDING};
}

bool Win32Device::WaitWrite(DWORD ms, DWORD& count) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (writes_.empty()) return Fail(ERROR_INVALID_PARAMETER);
    Request& last = *writes_.back();
    const ::DWORD wait =
        ms == INFINITE ? INFINITE
                       : static_cast<::DWORD>(
                             std::chrono::ceil<std::chrono::milliseconds>(Scaled(ms)).count());
    if (WaitForSingleObject(last.ov.hEvent, wait) != WAIT_OBJECT_0) return false;
    ::DWORD done = 0;
    const bool ok = GetOverlappedResult(handle_, &last.ov, &done, FALSE);
    if (!ok) lastError_ = static_cast<DWORD>(GetLastError());
    ReapWrites();
    count = done;
    return ok;
}

bool Win32Device::WaitCommEvent(DWORD& mask) {
    std::lock_guard<std::mutex> wait(waitMutex_);
    mask = 0;
    // Each wait follows a report the readers have just taken: the line is busy at first.
    const double began = NowMs();
    for (;;) {
        if (closed_) return Fail(ERROR_OPERATION_ABORTED);
        const DWORD want = mask_;
        ::DWORD reported = 0;
        bool ended = false;  // a wait ended, with reported as its mask
        if (!waitPending_ && want != 0 && emptyEnds_ < kEmptyEndsToGiveUp) {
            wait_->Rearm(true);
            wait_->mask = 0;
            if (::WaitCommEvent(handle_, &wait_->mask, &wait_->ov)) {
                reported = wait_->mask;
                ended = true;
            } else if (GetLastError() == ERROR_IO_PENDING) {
                waitPending_ = true;
            } else {
                ended = true;  // refused (995 after a mask change, or a failing device)
            }
        }
        // Bytes that came before the wait began raise no event; ask the queue itself.
        ::DWORD waiting = 0;
        bool answered;
        {
            std::lock_guard<std::mutex> held(heldMutex_);
            answered = Waiting(waiting);
        }
        if (!answered) {
            // The device no longer answers (pulled adapter): wake the readers, whose next
            // read fails and tells them.
            if (want != 0) {
                mask = EV_RXCHAR | EV_ERR;
                return true;
            }
        } else if (waiting > 0 && (want & EV_RXCHAR)) {
            mask = EV_RXCHAR;
            return true;
        }
        if (waitPending_) {
            HANDLE both[2] = {wait_->ov.hEvent, closing_};
            const ::DWORD r = WaitForMultipleObjects(2, both, FALSE, LookMs(began));
            if (r == WAIT_OBJECT_0 + 1) return Fail(ERROR_OPERATION_ABORTED);
            if (r == WAIT_OBJECT_0) {
                waitPending_ = false;
                ended = true;
                ::DWORD ignored = 0;
                if (GetOverlappedResult(handle_, &wait_->ov, &ignored, FALSE)) {
                    reported = wait_->mask;
                }
                if (reported & EV_RXCHAR) {
                    trusted_ = true;
                    emptyEnds_ = 0;
                }
            }
        }
        if (ended && (reported & want) != 0) {
            mask = static_cast<DWORD>(reported & want);
            return true;
        }
        if (ended && !trusted_) ++emptyEnds_;
        if (ended) trusted_ = false;
        if (ended || want == 0 || !waitPending_) {
            // A wait that ended with nothing (at once, under Wine without modem lines) must
            // not turn this into a busy loop: look again after a pause.
            if (WaitForSingleObject(closing_, LookMs(began)) == WAIT_OBJECT_0) {
                return Fail(ERROR_OPERATION_ABORTED);
            }
        }
    }
}

void Win32Device::Close() {
    bool expected = false;
    if (!closed_.compare_exchange_strong(expected, true)) return;
    SetEvent(closing_);
    // Ends the pending event wait and writes still queued; every request is waited for
    // before its record goes, or given up (kept alive) when the driver does not let go.
    CancelIoEx(handle_, nullptr);
    std::lock_guard<std::mutex> wait(waitMutex_);
    std::lock_guard<std::mutex> io(ioMutex_);
    auto settle = [](Request& r) {
        return WaitForSingleObject(r.ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0;
    };
    if (waitPending_ && !settle(*wait_)) (void)wait_.release();
    waitPending_ = false;
    for (auto& w : writes_) {
        if (!settle(*w)) (void)w.release();
    }
    writes_.clear();
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace

std::shared_ptr<Device> OpenPlatformDevice(const std::string& path, bool exclusive, DWORD& error) {
    const ::DWORD share = exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = OpenErrorCode(GetLastError());
        return nullptr;
    }
    // Undone in reverse order on every failure below.
    HANDLE closing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!closing) {
        error = OpenErrorCode(GetLastError());
        CloseHandle(handle);
        return nullptr;
    }
    std::unique_ptr<Request> read(new (std::nothrow) Request);
    std::unique_ptr<Request> wait(new (std::nothrow) Request);
    Win32Device* device = nullptr;
    if (read && wait && read->Create() && wait->Create()) {
        device = new (std::nothrow) Win32Device(handle, closing, std::move(read), std::move(wait));
    }
    if (!device) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        CloseHandle(closing);
        CloseHandle(handle);
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return std::shared_ptr<Device>(device);
}

}  // namespace qel::dev
