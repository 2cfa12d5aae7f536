#include "keyboard.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "settings.h"

int kbhit() {
    int waiting = 0;
    int status = terminal::enter(terminal::Setting::kAnyKey, TCSANOW);
    if (status == 0) {
        status += ioctl(STDIN_FILENO, FIONREAD, &waiting);
        status += terminal::leave(TCSANOW);
        const timespec pause{0, 10};
        nanosleep(&pause, nullptr);
    }
    return status != 0 ? -1 : waiting;
}

int getch() {
    std::fflush(stdout);
    unsigned char key = 0;
    // TCSAFLUSH: input typed before the call is discarded, on the way in and
    // again (the bytes that came with the key) on the way out.
    int status = terminal::enter(terminal::Setting::kOneKey, TCSAFLUSH);
    if (status == 0) {
        status = static_cast<int>(read(STDIN_FILENO, &key, 1));
        status += terminal::leave(TCSAFLUSH);
    }
    return status == 1 ? key : -1;
}
