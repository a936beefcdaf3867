// Line rates of a tty, including those without a Bxxx constant. Kept apart from
// posix_termios.h because the kernel's termios2 and the C library's termios cannot share a
// translation unit.
#pragma once
#include "serial/device/dcb.h"

namespace qel::dev {

// Sets both directions of the tty to rate through termios2 (BOTHER); errno tells why not.
bool PosixSetAnyRate(int fd, DWORD rate);

// The output rate the tty is set to. On a pseudo-terminal's master this is the rate its
// slave was given, which is how the other side of a test line learns the host's rate.
bool PosixLineRate(int fd, DWORD& rate);

}  // namespace qel::dev
