// Sending one file: ZRINIT negotiation, ZFILE, streamed data phases that reposition on ZRPOS,
// ZEOF, and with the batch's last file ZFIN and "OO".
#include "transfer/zm_send.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "serial/v24.h"
#include "transfer/zm_file.h"
#include "transfer/zm_open_flags.h"
#include "transfer/zmodem.h"


namespace {

constexpr int kStartMs = 1000;  // the batch's closing headers
// A ZRINIT crossing our ZFILE is often followed at once by the answer to ZFILE.
constexpr int kCrossingMs = 1000;
constexpr int kAnswerMs = 10000;      // a receiver's answer to ZRQINIT, ZFILE, ZEOF
constexpr int kAckMs = 1000;          // a reply in the data phase
constexpr int kInitTries = 10;        // headers that may come before ZRINIT
constexpr int kFileRetries = 10;      // ZFILE sent again when the receiver did not take it
constexpr int kLostAnswers = 5;       // ZFILE or ZEOF sent again when its answer was lost
constexpr int kMaxPhaseTimeouts = 6;  // the sixth silent reply ends a data phase
constexpr int kMaxPhaseErrors = 11;   // the eleventh wrong reply ends it
constexpr int kStrayBeforeWait = 256;
constexpr int kMinBlock = 64;
constexpr int kGoodBeforeGrow = 4;
constexpr std::uint32_t kResumeOption = 3;

int Call(ZmProgressCallback progress, const char* name, std::uint32_t value, int code) {
    return progress ? progress(name, value, code) : 0;
}

int BlockCeiling(int port, std::uint32_t receiverBuffer) {
    int baud = 0;
    V24GetLine(port, &baud, nullptr, nullptr, nullptr);
    int block = baud / 300 * 256;
    if (block <= 0) block = 128;
    if (block >= ZM_MAX_SUBPACKET) block = ZM_MAX_SUBPACKET;
    if (receiverBuffer != 0 && receiverBuffer < static_cast<std::uint32_t>(block)) {
        block = static_cast<int>(receiverBuffer);
    }
    return block;
}

std::uint32_t Position(int fd, bool& ok) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    ok = at >= 0;
    return static_cast<std::uint32_t>(at);
}

// Takes what the receiver sent while we were sending, up to a header or a cancel; returns
// how many of those bytes were neither XON nor XOFF.
int TakeStrayBytes(int port) {
    int stray = 0;
    for (;;) {
        int next = V24PeekByte(port);
        if (next < 0 || next == ZPAD || next == ZCANBYTE) return stray;
        V24ReadByte(port);
        if ((next & 0x7F) != XON && (next & 0x7F) != XOFF) ++stray;
    }
}

// Ends the batch: ZFIN, the receiver's ZFIN, "OO".
void CloseBatch(int port, int format) {
    ZmSendHeader(port, format, ZFIN, 0);
    if (ZmReceiveHeader(port, nullptr, nullptr) == ZFIN) V24WriteString(port, "OO");
}

void SendFileHeader(int port, int format, ZmBuffer& info, std::uint32_t infoLength,
                    ZmBuffer& buffer) {
    // The subpacket escapes in place, so each send works on a fresh copy.
    std::copy(info.Raw(), info.Raw() + infoLength, buffer.Raw());
    buffer.length = infoLength;
    ZmSendHeader(port, format, ZFILE, ZmFlags(kResumeOption));
    ZmSendDataSubpacket(port, format, ZCRCW, buffer);
}

}  // namespace

int ZmSendFileData(int port, const char* path, int fd, std::uint32_t receiverBuffer, int format,
                   int receiverFlags, ZmProgressCallback progress, ZmBuffer& buffer) {
    const int ceiling = BlockCeiling(port, receiverBuffer);
    int block = ceiling;
    const bool waitEach = (receiverFlags & CANOVIO) == 0;
    bool ok = true;
    std::uint32_t at = Position(fd, ok);
    if (!ok) {
        ZmSendAbort(port);
        return -1;
    }
    ZmSendHeader(port, format, ZDATA, at);

    bool repositioned = false;
    int stray = 0, timeouts = 0, errors = 0, good = 0;
    std::uint32_t reported = at;
    for (;;) {
        ssize_t n = read(fd, buffer.Raw(), static_cast<std::size_t>(block));
        if (n < 0) {
            ZmSendAbort(port);
            return -1;
        }
        int frameEnd;
        if (n < block) {
            frameEnd = ZCRCE;
        } else if (receiverBuffer != 0 || repositioned || stray > kStrayBeforeWait) {
            frameEnd = ZCRCW;
        } else {
            frameEnd = ZCRCG;
        }
        if (waitEach && frameEnd != ZCRCE) frameEnd = ZCRCW;
        repositioned = false;

        buffer.length = static_cast<std::uint32_t>(n);
        V24SetTimeout(port, 0);
        ZmSendDataSubpacket(port, format, frameEnd, buffer);
        stray += TakeStrayBytes(port);

        bool acked = true;
        if (frameEnd == ZCRCW || V24IsQueueEmpty(port, 0) != 1) {
            stray = 0;
            V24SetTimeout(port, kAckMs);
            std::uint32_t value = 0;
            int reply = ZmReceiveHeader(port, &value, nullptr);
            // The limits count trouble without progress: a receiver that reports a position
            // beyond the last one is being served, however many errors a long file meets.
            if ((reply == ZACK || reply == ZRPOS) && value > reported) {
                reported = value;
                timeouts = 0;
                errors = 0;
            }
            switch (reply) {
                case ZRINIT:
                    return 1;
                case ZSKIP:
                    return 5;
                case ZABORT:
                case ZFIN:
                case ZCAN:
                    return -1;
                case ZACK:
                    break;
                case ZRPOS:
                    if (lseek(fd, static_cast<off_t>(value), SEEK_SET) < 0) return -1;
                    repositioned = true;
                    acked = false;
                    break;
                case -2:
                    acked = false;
                    if (++timeouts >= kMaxPhaseTimeouts) return -1;
                    break;
                default:
                    acked = false;
                    if (++errors >= kMaxPhaseErrors) {
                        ZmSendAbort(port);
                        return -1;
                    }
                    break;
            }
            // After a ZACK the data goes on: in the open frame, or after ZCRCW in a new one.
            // A header inside an open frame would reach the receiver as data, so a frame
            // that a reply interrupts is closed first by an empty subpacket.
            const bool frameOpen = frameEnd == ZCRCG || frameEnd == ZCRCQ;
            if (!acked || frameEnd == ZCRCW) {
                if (frameOpen) {
                    buffer.length = 0;
                    ZmSendDataSubpacket(port, format, ZCRCE, buffer);
                }
                at = Position(fd, ok);
                if (!ok) {
                    ZmSendAbort(port);
                    return -1;
                }
                ZmSendHeader(port, format, ZDATA, at);
            }
            if (!acked) frameEnd = 0;  // the reply cancelled the end of the file
        }
        if (frameEnd == ZCRCE) {
            at = Position(fd, ok);
            if (!ok) {
                ZmSendAbort(port);
                return -1;
            }
            ZmSendHeader(port, format, ZEOF, at);
            if (Call(progress, path, at, 11) != 0) {
                ZmSendAbort(port);
                return -1;
            }
            return 0;
        }
        if (acked) {
            if (++good >= kGoodBeforeGrow && block < ceiling) block = std::min(block * 2, ceiling);
        } else {
            good = 0;
            block = std::max(block / 2, kMinBlock);
        }
        at = Position(fd, ok);
        if (!ok) {
            ZmSendAbort(port);
            return -1;
        }
        if (Call(progress, path, at, acked ? 3 : 9) != 0) {
            ZmSendAbort(port);
            return -1;
        }
    }
}

int ZmSendFile(int handle, const char* path, int endOfBatch, ZmProgressCallback progress) {
    int r = V24SetTimeout(handle, kStartMs);
    if (r < 0) return r;
    if ((!path || !*path) && endOfBatch) {
        CloseBatch(handle, ZBIN);
        return 0;
    }
    if (!path) return 1;
    int fd = open(path, O_RDONLY | O_BINARY);
    if (fd < 0) return 1;
    struct FileCloser {
        int fd;
        ~FileCloser() { close(fd); }
    } closer{fd};

    V24WriteString(handle, "rz\r");
    // What the far side said before we asked (a shell's echo, a ZRINIT sent before we came)
    // is dropped without waiting for the line to fall quiet: a second of silence per file
    // would be pure loss, and whatever comes later meets a header scan that skips it.
    unsigned char stale = 0;
    while (V24ReadByteTimed(handle, &stale, 0) == 1) {
    }
    V24SetTimeout(handle, kAnswerMs);
    ZmSendHeader(handle, ZHEX, ZRQINIT, 0);

    int format = ZBIN;
    std::uint32_t receiverBuffer = 0;
    int receiverFlags = 0;
    for (int tries = 0;; ++tries) {
        if (tries == kInitTries) return 2;
        std::uint32_t value = 0;
        int type = ZmReceiveHeader(handle, &value, nullptr);
        if (type == ZRINIT) {
            receiverFlags = ZmZf0(value);
            format = (receiverFlags & CANFC32) ? ZBIN32 : ZBIN;
            receiverBuffer = (value & 0xFF) + 256 * ((value >> 8) & 0xFF);
            break;
        }
        if (type == ZCAN || type == -2) return 2;
        if (type == ZRQINIT && ZmZf0(value) == ZCOMMAND) continue;
        if (type == ZCHALLENGE) {
            ZmSendHeader(handle, ZHEX, ZACK, value);
        } else if (type == ZCOMMAND) {
            ZmSendHeader(handle, ZHEX, ZRQINIT, 0);
        } else {
            ZmSendHeader(handle, ZHEX, ZNAK, 0);
        }
    }

    // Two buffers: the subpacket escapes in place, and ZFILE may have to go out again.
    std::unique_ptr<ZmBuffer> buffer(new (std::nothrow) ZmBuffer);
    std::unique_ptr<ZmBuffer> info(new (std::nothrow) ZmBuffer);
    if (!buffer || !info) return -3;
    struct stat st;
    if (fstat(fd, &st) != 0) return 4;
    const auto length = static_cast<std::uint32_t>(st.st_size);
    if (!ZmBuildFileInfo(path, length, static_cast<std::uint32_t>(st.st_mtime),
                         static_cast<std::uint32_t>(st.st_mode), *info)) {
        return 4;
    }
    const std::uint32_t infoLength = info->length;
    if (Call(progress, path, length, 4) != 0) {
        ZmSendAbort(handle);
        return 2;
    }

    SendFileHeader(handle, format, *info, infoLength, *buffer);
    int phases = 0, result = 0, resent = 0, lost = 0;
    std::uint32_t value = 0;
    int type = ZmReceiveHeader(handle, &value, nullptr);
    for (;;) {
        if (type == ZRINIT && phases > 0) break;
        if (type == ZRPOS) lost = 0;
        if (type == ZRINIT && phases == 0) {
            // Either a ZRINIT that crossed our ZFILE, with the answer to it on its way, or
            // the receiver did not take ZFILE.
            V24SetTimeout(handle, kCrossingMs);
            type = ZmReceiveHeader(handle, &value, nullptr);
            V24SetTimeout(handle, kAnswerMs);
            if (type != -2) continue;
            type = ZNAK;
        }
        if (type == ZSKIP) {
            result = 5;
        } else if (type == ZNAK && phases == 0) {
            // The receiver did not take ZFILE (a damaged header or subpacket): offer it again.
            if (++resent > kFileRetries) {
                result = -1;
            } else {
                SendFileHeader(handle, format, *info, infoLength, *buffer);
            }
        } else if (type == ZRPOS && value == length) {
            ZmSendHeader(handle, format, ZEOF, length);
            ++phases;
        } else if (type == ZRPOS) {
            if (lseek(fd, static_cast<off_t>(value), SEEK_SET) < 0) {
                ZmSendHeader(handle, ZHEX, ZFERR, 0);
                result = -1;
            } else {
                if (Call(progress, path, value, 3) != 0) {
                    ZmSendAbort(handle);
                    return 2;
                }
                result = ZmSendFileData(handle, path, fd, receiverBuffer, format, receiverFlags,
                                        progress, *buffer);
                V24SetTimeout(handle, kAnswerMs);
                if (result == 0) ++phases;
            }
        } else if (type == -1 || type == -2 || type > ZCOMMAND) {
            // No usable answer to ZFILE or ZEOF: the receiver's ZRPOS or ZRINIT was damaged or
            // lost. Its header wait is as long as ours, so waiting on for its next one would
            // race its give-up; what we sent last, sent again, draws a fresh answer at once.
            // A receiver that is gone still ends this after a few waits.
            if (++lost > kLostAnswers) {
                result = -1;
            } else if (phases == 0) {
                SendFileHeader(handle, format, *info, infoLength, *buffer);
            } else {
                ZmSendHeader(handle, format, ZEOF, length);
            }
        } else if (type == ZABORT || type == ZFIN || type == ZCAN) {
            result = -1;
        } else if (type == ZCRC) {
            int error = 0;
            std::uint32_t crc = ZmFileCrc(fd, &error);
            if (error) {
                ZmSendAbort(handle);
                return 4;
            }
            ZmSendHeader(handle, ZHEX, ZCRC, crc);
        }
        if (result != 0) break;
        type = ZmReceiveHeader(handle, &value, nullptr);
    }
    // A ZSKIP is success, and so is a ZRINIT in a data phase after the file was complete once;
    // a later phase that failed is not made good by an earlier one.
    if (result == 5 || (result == 1 && phases > 0)) result = 0;
    if (result != 0) {
        ZmSendAbort(handle);
        return 2;
    }
    if (endOfBatch) CloseBatch(handle, format);
    return 0;
}
