#include "serial/device/posix_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "serial/device/posix_baud.h"
#include "serial/device/posix_termios.h"
#include "serial/device/sync.h"

namespace qel::dev {

namespace {

using Clock = std::chrono::steady_clock;

// Longest single poll of a write wait, which must let Close and the event wait in between:
// a caller closing the port from another thread waits no longer than this.
constexpr int kSliceMs = 50;
// Pause before polling again when poll said ready but nothing could be moved, so that a
// driver that keeps saying so cannot make a wait spin.
constexpr auto kStallPause = std::chrono::milliseconds(5);

bool IsGoneErrno(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

DWORD OpenErrorCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:  // a ttyS node without a UART behind it
        case ELOOP:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EROFS:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return PosixErrorCode(err);
    }
}

struct LineCounts {
    int overrun = 0;
    int bufOverrun = 0;
    int parity = 0;
    int frame = 0;
    int brk = 0;
};

class PosixDevice : public Device {
  public:
    PosixDevice(int fd, int wakeFd, bool exclusive)
        : fd_(fd), wakeFd_(wakeFd), exclusive_(exclusive) {
        termios t{};
        if (tcgetattr(fd_, &t) == 0) PosixTermiosToDcb(t, dcb_);
        DWORD rate = 0;
        if (PosixLineRate(fd_, rate)) dcb_.BaudRate = rate;
        countsKnown_ = ReadCounts(counts_);
    }
    ~PosixDevice() override { Close(); }

    bool SetupComm(DWORD inQueue, DWORD outQueue) override;
    bool GetCommState(DCB& dcb) override;
    bool SetCommState(const DCB& dcb) override;
    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
    IoResult Read(void* buf, DWORD n) override;
    IoResult Write(const void* buf, DWORD n) override;
    bool WaitWrite(DWORD ms, DWORD& count) override;
    bool SetCommMask(DWORD mask) override;
    bool WaitCommEvent(DWORD& mask) override;
    bool ClearCommError(DWORD& errors, COMSTAT* status) override;
    bool PurgeComm(DWORD flags) override;
    bool SetCommBreak() override;
    bool ClearCommBreak() override;
    bool GetCommModemStatus(DWORD& bits) override;
    bool EscapeCommFunction(DWORD function) override;
    void Close() override;
    DWORD LastError() const override { return lastError_; }

  private:
    bool Fail(DWORD error) {
        lastError_ = error;
        return false;
    }
    bool FailErrno(int err) {
        if (IsGoneErrno(err)) gone_ = true;
        return Fail(PosixErrorCode(err));
    }
    IoResult FailedIo(DWORD error) {
        lastError_ = error;
        return {IoStatus::Failed, 0, error};
    }
    IoResult FailedIoErrno(int err) {
        if (IsGoneErrno(err)) gone_ = true;
        return FailedIo(PosixErrorCode(err));
    }
    void Kick() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(wakeFd_, &one, sizeof one);
    }
    void DrainKicks() {
        std::uint64_t value;
        [[maybe_unused]] ssize_t r = read(wakeFd_, &value, sizeof value);
    }
    // A read of 0 bytes alone does not prove a hang-up: another program on the same line
    // (a simulator holding the master) may have set VMIN 0, which gives 0 on an empty line.
    bool HungUp() const {
        pollfd p{fd_, 0, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    bool ReadCounts(LineCounts& counts) const {
        serial_icounter_struct ic{};
        if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) return false;
        counts = {ic.overrun, ic.buf_overrun, ic.parity, ic.frame, ic.brk};
        return true;
    }
    DWORD FlushLocked(bool* moved = nullptr);
    void SetModemLine(int line, bool on) {
        // Modem lines may not exist (a pseudo-terminal has none); the line settings stand
        // regardless, only EscapeCommFunction reports the failure.
        ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
    }

    int fd_;
    int wakeFd_;  // eventfd that wakes the event wait: on Close, mask change, queued output
    const bool exclusive_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> gone_{false};
    std::atomic<DWORD> lastError_{0};
    std::atomic<DWORD> mask_{0};
    std::atomic<unsigned> maskChanges_{0};
    std::atomic<bool> queued_{false};

    // Guards the fields below and every use of fd_ outside the event wait. Close takes it
    // last, so a holder that sees closed_ false may use fd_.
    std::mutex ioMutex_;
    // Held by the event wait across its poll; Close takes it before it closes the
    // descriptors, so the wait never polls a closed or reused one.
    std::mutex waitMutex_;

    std::vector<BYTE> queue_;  // bytes the driver has not taken yet, from queueHead_ on
    std::size_t queueHead_ = 0;
    DWORD pendingCount_ = 0;
    DCB dcb_;
    DWORD inQueue_ = 4096;
    DWORD outQueue_ = 2048;
    COMMTIMEOUTS timeouts_;
    LineCounts counts_;
    bool countsKnown_ = false;
};

// Hands queued bytes to the driver as far as it takes them; ioMutex_ held. Returns 0 or the
// error that stopped it; moved tells whether any byte went.
DWORD PosixDevice::FlushLocked(bool* moved) {
    if (moved) *moved = false;
    while (queueHead_ < queue_.size()) {
        ssize_t r = write(fd_, queue_.data() + queueHead_, queue_.size() - queueHead_);
        if (r > 0) {
            queueHead_ += static_cast<std::size_t>(r);
            if (moved) *moved = true;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            const int err = errno;
            if (IsGoneErrno(err)) gone_ = true;
            return PosixErrorCode(err);
        }
        break;
    }
    if (queueHead_ == queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
        queued_ = false;
    } else if (queueHead_ > 65536 && queueHead_ > queue_.size() / 2) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
        queueHead_ = 0;
    }
    return 0;
}

bool PosixDevice::SetupComm(DWORD inQueue, DWORD outQueue) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (gone_) return Fail(ERROR_DEVICE_REMOVED);
    // The tty's own buffers are fixed; the sizes are kept for whoever asks.
    inQueue_ = inQueue;
    outQueue_ = outQueue;
    return true;
}

bool PosixDevice::GetCommState(DCB& dcb) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return FailErrno(errno);
    DCB result = dcb_;
    PosixTermiosToDcb(t, result);
    DWORD rate = 0;
    result.BaudRate = PosixLineRate(fd_, rate) ? rate : PosixSpeedRate(cfgetospeed(&t));
    result.DCBlength = sizeof(DCB);
    dcb = result;
    return true;
}

bool PosixDevice::SetCommState(const DCB& dcb) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    // Rate 0 would be B0, which hangs up the line.
    if (dcb.BaudRate == 0) return Fail(ERROR_INVALID_PARAMETER);
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return FailErrno(errno);
    DWORD error = 0;
    if (!PosixDcbToTermios(dcb, t, error)) return Fail(error);
    const speed_t speed = PosixStandardSpeed(dcb.BaudRate);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return FailErrno(errno);
    if (speed == B0 && !PosixSetAnyRate(fd_, dcb.BaudRate)) return FailErrno(errno);

    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        SetModemLine(TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        SetModemLine(TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    }
    dcb_ = dcb;
    return true;
}

bool PosixDevice::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    // Reads never wait in the driver here (VMIN 1 on a non-blocking descriptor); the values
    // are only kept.
    timeouts_ = timeouts;
    return true;
}

IoResult PosixDevice::Read(void* buf, DWORD n) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return FailedIo(ERROR_INVALID_HANDLE);
    // Readers come by often; they move queued output along when nobody writes.
    if (queued_) FlushLocked();
    if (n == 0) return {IoStatus::Done, 0, 0};
    for (;;) {
        ssize_t r = read(fd_, buf, n);
        if (r > 0) return {IoStatus::Done, static_cast<DWORD>(r), 0};
        if (r == 0) {
            if (!HungUp()) return {IoStatus::Done, 0, 0};
            gone_ = true;
            return FailedIo(ERROR_DEVICE_REMOVED);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return {IoStatus::Done, 0, 0};
        return FailedIoErrno(errno);
    }
}

IoResult PosixDevice::Write(const void* buf, DWORD n) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return FailedIo(ERROR_INVALID_HANDLE);
    if (DWORD error = FlushLocked()) return FailedIo(error);
    const auto* bytes = static_cast<const BYTE*>(buf);
    DWORD taken = 0;
    if (queue_.empty()) {
        while (taken < n) {
            ssize_t r = write(fd_, bytes + taken, n - taken);
            if (r > 0) {
                taken += static_cast<DWORD>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno != EAGAIN) return FailedIoErrno(errno);
            break;
        }
        if (taken == n) return {IoStatus::Done, n, 0};
    }
    // What the driver did not take waits behind what is queued already, so that bytes go
    // out in call order.
    queue_.insert(queue_.end(), bytes + taken, bytes + n);
    pendingCount_ = n;
    queued_ = true;
    Kick();
    lastError_ = ERROR_IO_PENDING;
    return {IoStatus::Pending, 0, ERROR_IO_PENDING};
}

bool PosixDevice::WaitWrite(DWORD ms, DWORD& count) {
    const bool forever = ms == INFINITE;
    const auto deadline = Clock::now() + Scaled(forever ? 0 : ms);
    std::unique_lock<std::mutex> io(ioMutex_);
    for (;;) {
        if (closed_) return Fail(ERROR_INVALID_HANDLE);
        bool moved = false;
        if (DWORD error = FlushLocked(&moved)) return Fail(error);
        if (queue_.empty()) {
            count = pendingCount_;
            return true;
        }
        int slice = kSliceMs;
        if (!forever) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;  // still queued; it goes out later
            slice = static_cast<int>(std::min<long long>(left, kSliceMs));
        }
        pollfd p{fd_, POLLOUT, 0};
        const int r = poll(&p, 1, slice);
        const bool stalled = r == 1 && !moved && (p.revents & (POLLHUP | POLLERR)) == 0;
        io.unlock();
        if (stalled) std::this_thread::sleep_for(kStallPause);
        io.lock();
    }
}

bool PosixDevice::SetCommMask(DWORD mask) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    mask_ = mask;
    ++maskChanges_;
    Kick();
    return true;
}

bool PosixDevice::WaitCommEvent(DWORD& mask) {
    std::lock_guard<std::mutex> wait(waitMutex_);
    mask = 0;
    const unsigned changes = maskChanges_;
    bool idleReadable = false;
    for (;;) {
        if (closed_) return Fail(ERROR_OPERATION_ABORTED);
        // A new mask ends a pending wait with no event, as on Win32.
        if (maskChanges_ != changes) return true;
        const DWORD want = mask_;
        const bool gone = gone_;
        if (gone && want != 0) {
            mask = EV_RXCHAR | EV_ERR;
            return true;
        }
        short events = 0;
        if (want & EV_RXCHAR) events |= POLLIN;
        // The receive side is the one thread always waiting here: it hands queued output to
        // the driver when nobody writes or reads.
        if (queued_) events |= POLLOUT;
        // A gone device stays out of the poll (it would report a hang-up forever); only
        // Close or a new mask ends the wait then.
        pollfd p[2] = {{gone ? -1 : fd_, events, 0}, {wakeFd_, POLLIN, 0}};
        const int r = poll(p, 2, 1000);
        if (r < 0) {
            if (errno == EINTR) continue;
            return FailErrno(errno);
        }
        if (p[1].revents) DrainKicks();
        if (r == 0 || p[0].revents == 0) continue;
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            gone_ = true;
            continue;
        }
        if (p[0].revents & POLLOUT) {
            bool moved = false;
            {
                std::lock_guard<std::mutex> io(ioMutex_);
                if (!closed_) FlushLocked(&moved);
            }
            if (!moved) std::this_thread::sleep_for(kStallPause);
        }
        if (p[0].revents & POLLIN) {
            int waiting = 0;
            if (ioctl(fd_, FIONREAD, &waiting) != 0) {
                if (IsGoneErrno(errno)) gone_ = true;
                continue;
            }
            if (waiting > 0) {
                mask = EV_RXCHAR;
                return true;
            }
            // A reader took the bytes between poll and here; poll again, but not in a tight
            // loop should the driver keep saying readable with nothing there.
            if (idleReadable) std::this_thread::sleep_for(kStallPause);
            idleReadable = true;
        }
    }
}

bool PosixDevice::ClearCommError(DWORD& errors, COMSTAT* status) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (queued_) FlushLocked();
    int inQue = 0;
    if (ioctl(fd_, FIONREAD, &inQue) != 0) return FailErrno(errno);
    errors = 0;
    LineCounts now;
    if (countsKnown_ && ReadCounts(now)) {
        if (now.overrun != counts_.overrun || now.bufOverrun != counts_.bufOverrun) {
            errors |= CE_OVERRUN;
        }
        if (now.parity != counts_.parity) errors |= CE_RXPARITY;
        if (now.frame != counts_.frame) errors |= CE_FRAME;
        if (now.brk != counts_.brk) errors |= CE_BREAK;
        counts_ = now;
    }
    if (status) {
        // TIOCOUTQ reads 0 on a pty; the own queue counts either way.
        int outQue = 0;
        if (ioctl(fd_, TIOCOUTQ, &outQue) != 0) outQue = 0;
        status->cbInQue = static_cast<DWORD>(std::max(inQue, 0));
        status->cbOutQue = static_cast<DWORD>(std::max(outQue, 0)) +
                           static_cast<DWORD>(queue_.size() - queueHead_);
    }
    return true;
}

bool PosixDevice::PurgeComm(DWORD flags) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
        queue_.clear();
        queueHead_ = 0;
        queued_ = false;
    }
    const bool out = (flags & PURGE_TXCLEAR) != 0;
    const bool in = (flags & PURGE_RXCLEAR) != 0;
    if (out || in) {
        const int which = out && in ? TCIOFLUSH : out ? TCOFLUSH : TCIFLUSH;
        if (tcflush(fd_, which) != 0) return FailErrno(errno);
    } else if (gone_) {
        return Fail(ERROR_DEVICE_REMOVED);
    }
    return true;
}

bool PosixDevice::SetCommBreak() {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (ioctl(fd_, TIOCSBRK) != 0) return FailErrno(errno);
    return true;
}

bool PosixDevice::ClearCommBreak() {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (ioctl(fd_, TIOCCBRK) != 0) return FailErrno(errno);
    return true;
}

bool PosixDevice::GetCommModemStatus(DWORD& bits) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return FailErrno(errno);
    bits = 0;
    if (lines & TIOCM_CTS) bits |= MS_CTS_ON;
    if (lines & TIOCM_DSR) bits |= MS_DSR_ON;
    if (lines & TIOCM_RI) bits |= MS_RING_ON;
    if (lines & TIOCM_CD) bits |= MS_RLSD_ON;
    return true;
}

bool PosixDevice::EscapeCommFunction(DWORD function) {
    std::lock_guard<std::mutex> io(ioMutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    int line;
    bool on;
    switch (function) {
        case SETDTR:
            line = TIOCM_DTR;
            on = true;
            break;
        case CLRDTR:
            line = TIOCM_DTR;
            on = false;
            break;
        case SETRTS:
            line = TIOCM_RTS;
            on = true;
            break;
        case CLRRTS:
            line = TIOCM_RTS;
            on = false;
            break;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
    // While hardware flow control runs, RTS belongs to the driver.
    if (line == TIOCM_RTS && dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) != 0) return FailErrno(errno);
    return true;
}

void PosixDevice::Close() {
    bool expected = false;
    if (!closed_.compare_exchange_strong(expected, true)) return;
    Kick();
    std::lock_guard<std::mutex> wait(waitMutex_);
    std::lock_guard<std::mutex> io(ioMutex_);
    // TIOCEXCL outlives this descriptor while another one (a simulator's) keeps the tty
    // open; left set, it would lock out the next opening by an ordinary user.
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    close(fd_);
    close(wakeFd_);
    fd_ = -1;
    wakeFd_ = -1;
    queue_.clear();
    queueHead_ = 0;
    queued_ = false;
}

}  // namespace

DWORD PosixErrorCode(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case EIO:
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_REMOVED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<Device> OpenPosixDevice(const std::string& devicePath, bool exclusive,
                                        DWORD& error) {
    const std::string path = PosixPathFor(devicePath);
    if (path.empty()) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = OpenErrorCode(errno);
        return nullptr;
    }
    bool excl = false;  // TIOCEXCL set here, to be undone on a later failure
    auto fail = [&](DWORD code) -> std::shared_ptr<Device> {
        if (excl) ioctl(fd, TIOCNXCL);
        close(fd);
        error = code;
        return nullptr;
    };
    // flock before TIOCEXCL, so that a refused open leaves the holder's tty as it was.
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        return fail(OpenErrorCode(errno));
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) return fail(PosixErrorCode(errno));
    if (exclusive) {
        if (ioctl(fd, TIOCEXCL) != 0) return fail(PosixErrorCode(errno));
        excl = true;
    }
    PosixMakeRaw(t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) return fail(PosixErrorCode(errno));
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return fail(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : PosixErrorCode(errno));
    auto* device = new (std::nothrow) PosixDevice(fd, wakeFd, exclusive);
    if (device == nullptr) {
        close(wakeFd);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    error = ERROR_SUCCESS;
    return std::shared_ptr<Device>(device);
}

}  // namespace qel::dev
