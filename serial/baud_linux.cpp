// termios2 access; kept apart because <asm/termbits.h> redefines termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "baud.h"

bool baud_any_supported() { return true; }

bool baud_set_any(int fd, uint32_t baud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    // Input rate field left zero: input follows the output rate.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool baud_read_exact(int fd, uint32_t* baud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    *baud = tio.c_ospeed;
    return true;
}
