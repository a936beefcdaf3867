// Bytes from the far side into the ZMODEM header and subpacket readers, as a receiver and a
// sender meet them: headers in every format, a subpacket after each data-carrying header, and
// the file-information text of any subpacket.
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"
#include "transfer/zm_file.h"
#include "transfer/zm_frames.h"

namespace {

using namespace qel::dev;

struct Port {
    VirtualLine line = VirtualLine::Create();
    int handle = -1;
    Port() {
        // Every time-out ends at once: the input is all there before the readers start.
        SetTimeScale(1000);
        RegisterVirtualPort("COM9", line.a);
        handle = V24Open("COM9", V24_EXCLUSIVE);
        V24SetLine(handle, 115200, 8, 0, 0);
        DCB dcb;
        line.b->GetCommState(dcb);
        dcb.BaudRate = 115200;
        line.b->SetCommState(dcb);
        V24SetQueueSize(handle, V24_INPUT, 8192);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Port port;
    static ZmBuffer buffer;
    const int h = port.handle;
    if (h < 0 || size > 6000) return 0;
    V24Purge(h, V24_INPUT);
    port.line.b->Write(data, static_cast<DWORD>(size));
    V24SetTimeout(h, 5);
    for (int frames = 0; frames < 64; ++frames) {
        std::uint32_t value = 0;
        int format = 0;
        const bool lenient = frames % 2 == 1;
        int type = lenient ? ZmReceiveHeaderWithin(h, &value, &format, 20000)
                           : ZmReceiveHeader(h, &value, &format);
        if (type == -2) break;
        if (type == ZFILE || type == ZDATA || type == ZSINIT || type == ZCOMMAND) {
            int end = ZmReceiveDataSubpacket(h, format, buffer);
            if (end >= 0 && buffer.length <= ZM_MAX_SUBPACKET) {
                ZmFileInfo info = ZmParseFileInfo(buffer);
                std::string local = ZmLocalName(info.name);
                if (local.find('/') != std::string::npos || local == "." || local == "..") {
                    __builtin_trap();
                }
            }
        }
    }
    return 0;
}
