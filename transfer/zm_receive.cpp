// Receiving a batch of files into the current folder, resuming a file that is already there
// and shorter than the one announced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "serial/v24.h"
#include "transfer/zm_file.h"
#include "transfer/zm_open_flags.h"
#include "transfer/zmodem.h"


namespace {

constexpr int kHeaderMs = 10000;    // a sender's next header
constexpr int kSubpacketMs = 2000;  // the next byte of a subpacket
constexpr int kOverMs = 1000;       // the "OO" after ZFIN
constexpr int kInitTries = 10;
constexpr int kMaxErrors = 10;
constexpr std::uint32_t kReceiverFlags = CANFDX | CANOVIO | CANBRK | CANFC32;
constexpr std::uint32_t kAllFree = 0xFFFFFFFF;

int Call(ZmProgressCallback progress, const char* name, std::uint32_t value, int code) {
    return progress ? progress(name, value, code) : 0;
}

// What a streaming sender may have sent before it hears a ZRPOS: about the line's bytes of
// one header time-out, and at least what a header scan allows anyway.
long StreamedAhead(int port) {
    int baud = 0;
    V24GetLine(port, &baud, nullptr, nullptr, nullptr);
    return 4097 + (baud > 0 ? baud : 0);
}

enum class Opened { Ok, Skip, Refused, Failed };

// Opens the local file without following a link and only when it is a regular file; a new
// file is created for the owner alone until the sender's mode is applied.
Opened OpenLocal(const std::string& name, std::uint32_t announced, int& fd, std::uint32_t& at) {
    struct stat st;
    if (lstat(name.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return Opened::Skip;
        // Non-blocking, so that an entry swapped for a FIFO meanwhile cannot hold us.
        fd = open(name.c_str(), O_RDWR | O_BINARY | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) return Opened::Refused;
        struct stat now;
        if (fstat(fd, &now) != 0) return Opened::Failed;
        if (!S_ISREG(now.st_mode)) {
            close(fd);
            fd = -1;
            return Opened::Skip;
        }
        if (static_cast<std::uint64_t>(now.st_size) > announced) {
            close(fd);
            fd = -1;
            return Opened::Skip;
        }
        off_t end = lseek(fd, 0, SEEK_END);
        if (end < 0) return Opened::Failed;
        at = static_cast<std::uint32_t>(end);
        return Opened::Ok;
    }
    fd = open(name.c_str(), O_RDWR | O_BINARY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) return Opened::Refused;
    at = 0;
    return Opened::Ok;
}

class Receiver {
  public:
    Receiver(int port, ZmProgressCallback progress, ZmBuffer& buffer)
        : port_(port), progress_(progress), buffer_(buffer) {}

    int Run();

  private:
    // 0 ZFILE taken (info_ filled); otherwise the end of the batch with its result.
    int WaitForFile(bool afterFile, bool& done);
    // The data of one file; 0 when complete (or skipped), else the result to return.
    int ReceiveFile();
    int DataPhase(int format, bool& progressed);
    void Reposition();
    void AskFromHere();
    int Fail(int result);
    void Finish();

    const int port_;
    const ZmProgressCallback progress_;
    ZmBuffer& buffer_;
    char attention_[ZM_ATTENTION_MAX + 1] = {};
    ZmFileInfo info_;
    std::string local_;
    int fd_ = -1;
    std::uint32_t at_ = 0;
    // A ZRPOS of ours is unanswered.
    bool asked_ = false;
};

int Receiver::Run() {
    for (bool afterFile = false;; afterFile = true) {
        bool done = false;
        int r = WaitForFile(afterFile, done);
        if (done) return r;
        r = ReceiveFile();
        if (r != 0) return r;
    }
}

int Receiver::WaitForFile(bool afterFile, bool& done) {
    done = true;
    int tries = 0;
    // After a file the sender may still be streaming a data phase that one of our earlier
    // ZRPOS started, until our ZRINIT reaches it. That tail is skipped as one wait, not
    // counted as a try per few kilobytes: tens of kilobytes of it would end the batch.
    const long tail = afterFile ? StreamedAhead(port_) : 0;
    for (;;) {
        ZmSendHeader(port_, ZHEX, ZRINIT, ZmFlags(kReceiverFlags));
        std::uint32_t value = 0;
        int format = 0;
        int type = afterFile ? ZmReceiveHeaderWithin(port_, &value, &format, tail)
                             : ZmReceiveHeader(port_, &value, &format);
        switch (type) {
            case ZFILE:
                if (ZmReceiveDataSubpacket(port_, format, buffer_) == ZCRCW) {
                    info_ = ZmParseFileInfo(buffer_);
                    done = false;
                    return 0;
                }
                tries = 0;
                continue;
            case ZFIN:
                ZmSendHeader(port_, ZHEX, ZFIN, 0);
                Call(progress_, "", 0, 8);
                V24SetTimeout(port_, kOverMs);
                {
                    char over[2];
                    V24ReadBuffer(port_, over, 2);
                }
                return 0;
            case ZCOMPL:
                return 0;
            case ZCAN:
                return 2;
            case ZSINIT:
                if (ZmReceiveDataSubpacket(port_, format, buffer_) == ZCRCW) {
                    const std::size_t n =
                        buffer_.length < ZM_ATTENTION_MAX ? buffer_.length : ZM_ATTENTION_MAX;
                    std::memcpy(attention_, buffer_.data, n);
                    attention_[n] = '\0';
                } else {
                    ZmSendHeader(port_, ZHEX, ZNAK, 0);
                }
                break;
            case ZFREECNT:
                ZmSendHeader(port_, ZHEX, ZACK, kAllFree);
                break;
            case ZCOMMAND:
                // Commands from the far side are never executed.
                if (ZmZf0(value) != 1) ZmReceiveDataSubpacket(port_, format, buffer_);
                ZmSendHeader(port_, ZHEX, ZCOMPL, 0);
                break;
            default:
                break;
        }
        if (++tries >= kInitTries) {
            ZmSendAbort(port_);
            return 2;
        }
    }
}

void Receiver::Reposition() {
    ZmSendAttention(port_, attention_);
    AskFromHere();
}

void Receiver::AskFromHere() {
    V24Purge(port_, 0);
    ZmSendHeader(port_, ZHEX, ZRPOS, at_);
    asked_ = true;
}

void Receiver::Finish() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    ZmSetFileTimes(local_.c_str(), info_.mtime, info_.mode);
}

int Receiver::Fail(int result) {
    ZmSendAbort(port_);
    Finish();
    return result;
}

int Receiver::ReceiveFile() {
    local_ = ZmLocalName(info_.name);
    if (Call(progress_, info_.name.c_str(), info_.length, 4) != 0) {
        ZmSendAbort(port_);
        return 2;
    }
    // A name that would leave the folder, or an entry that is not a regular file, is
    // skipped; the rest of the batch goes on.
    Opened opened = local_.empty() ? Opened::Skip : OpenLocal(local_, info_.length, fd_, at_);
    switch (opened) {
        case Opened::Skip:
            ZmSendHeader(port_, ZHEX, ZSKIP, 0);
            return 0;
        case Opened::Refused:
            ZmSendHeader(port_, ZHEX, ZNAK, 0);
            return 0;
        case Opened::Failed:
            ZmSendAbort(port_);
            if (fd_ >= 0) close(fd_);
            fd_ = -1;
            return 4;
        case Opened::Ok:
            break;
    }

    int errors = 0;
    ZmSendHeader(port_, ZHEX, ZRPOS, at_);
    const long streamedAhead = StreamedAhead(port_);
    while (errors < kMaxErrors) {
        V24SetTimeout(port_, kHeaderMs);
        std::uint32_t value = 0;
        int format = 0;
        int type = ZmReceiveHeaderWithin(port_, &value, &format, streamedAhead);
        if (type == ZDATA && value == at_) {
            asked_ = false;
            bool progressed = false;
            int r = DataPhase(format, progressed);
            if (r != 0) return r;
            // Progress made: the errors so far were not a dead line.
            if (progressed) errors = 0;
            continue;
        }
        if (type == ZDATA) {
            Reposition();
            continue;
        }
        if (type == ZEOF && value == at_) {
            Finish();
            return 0;
        }
        if (type == ZEOF && asked_) {
            // A sender that streams ahead ends the phase it was in before it hears our ZRPOS,
            // and its answer may already be behind this ZEOF: discarding input would throw
            // that away, and each ZRPOS after a discard would draw another such ZEOF until
            // the error count ran out. Ask again without the discard (the ZRPOS may have been
            // the one that was lost).
            ZmSendHeader(port_, ZHEX, ZRPOS, at_);
            continue;
        }
        if (type == ZEOF) {
            Reposition();
            continue;
        }
        if (type == ZCAN) {
            Finish();
            return 2;
        }
        ++errors;
        ZmSendAttention(port_, attention_);
        if (Call(progress_, info_.name.c_str(), at_, type == -2 ? -2 : 9) != 0) return Fail(2);
        AskFromHere();
    }
    Call(progress_, info_.name.c_str(), at_, -1);
    return Fail(2);
}

int Receiver::DataPhase(int format, bool& progressed) {
    for (;;) {
        V24SetTimeout(port_, kSubpacketMs);
        int end = ZmReceiveDataSubpacket(port_, format, buffer_);
        if (end == ZCAN) {
            Finish();
            return 2;
        }
        if (end < 0) {
            ZmSendAttention(port_, attention_);
            if (Call(progress_, info_.name.c_str(), at_, 9) != 0) return Fail(2);
            AskFromHere();
            return 0;
        }
        if (buffer_.length > 0) {
            ssize_t n = write(fd_, buffer_.data, buffer_.length);
            if (n < 0) return Fail(4);
            if (static_cast<std::uint32_t>(n) != buffer_.length) {
                // Keep what was written and ask for the rest from there.
                at_ += static_cast<std::uint32_t>(n);
                ZmSendAttention(port_, attention_);
                ZmSendHeader(port_, ZHEX, ZFERR, at_);
                return 0;
            }
        }
        at_ += buffer_.length;
        progressed = true;
        if (Call(progress_, info_.name.c_str(), at_, 10) != 0) return Fail(2);
        switch (end) {
            case ZCRCG:
                break;
            case ZCRCQ:
                ZmSendHeader(port_, ZHEX, ZACK, at_);
                break;
            case ZCRCW:
                ZmSendHeader(port_, ZHEX, ZACK, at_);
                return 0;
            default:  // ZCRCE
                return 0;
        }
    }
}

}  // namespace

int ZmReceive(int handle, ZmProgressCallback progress) {
    int r = V24SetTimeout(handle, kHeaderMs);
    if (r < 0) return r;
    V24Purge(handle, 0);
    std::unique_ptr<ZmBuffer> buffer(new (std::nothrow) ZmBuffer);
    if (!buffer) return -3;
    return Receiver(handle, progress, *buffer).Run();
}
