#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "serial/device/console.h"

namespace qel::dev {

bool ConsoleWaitKey(DWORD ms) {
    const int fd = STDIN_FILENO;
    if (!isatty(fd)) return false;
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) return false;
    termios raw = saved;
    // ISIG off as well: Ctrl-C is then just a key, and the terminal is never left without
    // echo by a signal arriving between the two tcsetattr calls.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) != 0) return false;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    bool got = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        if ((p.revents & POLLIN) == 0) break;  // hang-up or error without data
        char key = 0;
        ssize_t n = read(fd, &key, 1);
        if (n == 1) {
            got = true;
            break;
        }
        // A read of nothing after poll said readable means the terminal is gone.
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;
    }
    tcsetattr(fd, TCSANOW, &saved);
    return got;
}

}  // namespace qel::dev
