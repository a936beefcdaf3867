// LD_PRELOAD shim for Wine on a pseudo-terminal: a pty has no modem lines, so Wine's
// EscapeCommFunction and GetCommModemStatus fail with error 50 there. Where the kernel
// refuses the modem-line ioctls, this answers them from a state of its own: DTR and RTS as
// last switched, and CTS and DSR on, so that the port library's line control can be tested
// under Wine. Every other ioctl goes to the C library untouched.
#include <dlfcn.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

int g_lines = TIOCM_DTR | TIOCM_RTS;

IoctlFn Real() {
    static IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int result = Real()(fd, request, arg);
    const bool modem =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result == 0 || !modem || (errno != ENOTTY && errno != EINVAL) || arg == nullptr) {
        return result;
    }
    int* bits = static_cast<int*>(arg);
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
        case TIOCMGET:
            *bits = (g_lines & outputs) | TIOCM_CTS | TIOCM_DSR;
            break;
        case TIOCMSET:
            g_lines = *bits & outputs;
            break;
        case TIOCMBIS:
            g_lines |= *bits & outputs;
            break;
        case TIOCMBIC:
            g_lines &= ~(*bits & outputs);
            break;
    }
    errno = 0;
    return 0;
}
