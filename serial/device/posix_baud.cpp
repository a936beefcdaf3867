#include "serial/device/posix_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace qel::dev {

bool PosixSetAnyRate(int fd, DWORD rate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    // Clearing the input-rate field makes the input follow the output rate.
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool PosixLineRate(int fd, DWORD& rate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    rate = t.c_ospeed;
    return true;
}

}  // namespace qel::dev
