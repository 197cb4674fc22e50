#include "core/pty_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPort::~PtyPort() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

int PtyPort::open_pair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return -1;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return -1;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return -1;
    slave_name_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return -1;
    // Raw both ways: a serial line passes bytes, it does not edit or echo them.
    struct termios t {};
    if (tcgetattr(slave_, &t) != 0) return -1;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) return -1;
    int fl = fcntl(master_, F_GETFL);
    if (fl < 0 || fcntl(master_, F_SETFL, fl | O_NONBLOCK) != 0) return -1;
    return 0;
}
