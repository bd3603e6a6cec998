// The line record over a POSIX terminal: its fields as termios flags, the
// rate as a B-constant or any rate, raw mode, RTS, and the read-back that
// tells whether the device took them.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "baud.h"
#include "termios_posix.h"

static_assert(sizeof(struct termios) <= sizeof(NativeLine::bytes), "NativeLine must hold a termios");

namespace {

// A field the terminal cannot carry, or one the device did not take.
bool refuse() {
    errno = EINVAL;
    return false;
}

struct RateCode {
    uint32_t rate;
    speed_t code;
};

constexpr RateCode RATE_CODES[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

const RateCode* rate_by_value(uint32_t rate) {
    for (const RateCode& entry : RATE_CODES) {
        if (entry.rate == rate) {
            return &entry;
        }
    }
    return nullptr;
}

uint32_t rate_of_code(speed_t code) {
    for (const RateCode& entry : RATE_CODES) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

constexpr tcflag_t SIZE_CODES[] = {CS5, CS6, CS7, CS8};
constexpr uint8_t SMALLEST_BYTE = 5;

#ifdef CMSPAR
constexpr tcflag_t STICK_PARITY = CMSPAR;
#else
constexpr tcflag_t STICK_PARITY = 0;
#endif
#ifdef CRTSCTS
constexpr tcflag_t HARDWARE_FLOW = CRTSCTS;
#else
constexpr tcflag_t HARDWARE_FLOW = 0;
#endif

constexpr tcflag_t PARITY_BITS = PARENB | PARODD | STICK_PARITY;

// Indexed by the parity code. Mark and space need stick parity; where the
// platform has none their bits are 0 and they are refused.
constexpr tcflag_t PARITY_CODES[] = {
    0,
    PARENB | PARODD,
    PARENB,
    STICK_PARITY != 0 ? PARENB | PARODD | STICK_PARITY : 0,
    STICK_PARITY != 0 ? PARENB | STICK_PARITY : 0,
};
constexpr uint8_t PARITY_CODE_COUNT = sizeof(PARITY_CODES) / sizeof(PARITY_CODES[0]);

// What raw mode switches off: no translation, no echo, no line editing, no
// signal characters, so every byte passes untouched.
constexpr tcflag_t RAW_OFF_INPUT = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
constexpr tcflag_t RAW_OFF_OUTPUT = OPOST;
constexpr tcflag_t RAW_OFF_LOCAL = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

// The parts of the record the device must really run with after apply.
constexpr tcflag_t CHECKED_CONTROL = CSIZE | PARITY_BITS | CSTOPB | HARDWARE_FLOW;
constexpr tcflag_t CHECKED_INPUT = INPCK | IXON | IXOFF;

uint8_t flag(tcflag_t bits) { return bits != 0 ? 1 : 0; }

void set_flag(tcflag_t* flags, tcflag_t bits, bool on) {
    if (on) {
        *flags |= bits;
    } else {
        *flags &= ~bits;
    }
}

uint8_t byte_size_of(tcflag_t control) {
    for (uint8_t i = 0; i < std::size(SIZE_CODES); ++i) {
        if ((control & CSIZE) == SIZE_CODES[i]) {
            return static_cast<uint8_t>(SMALLEST_BYTE + i);
        }
    }
    return 8;
}

uint8_t parity_of(tcflag_t control) {
    if ((control & PARENB) == 0) {
        return LINE_PARITY_NONE;
    }
    for (uint8_t code = LINE_PARITY_ODD; code < PARITY_CODE_COUNT; ++code) {
        if ((control & PARITY_BITS) == PARITY_CODES[code]) {
            return code;
        }
    }
    return LINE_PARITY_EVEN;
}

bool is_raw(const struct termios& tio) {
    return (tio.c_iflag & RAW_OFF_INPUT) == 0 && (tio.c_oflag & RAW_OFF_OUTPUT) == 0 &&
           (tio.c_lflag & RAW_OFF_LOCAL) == 0;
}

void make_raw(struct termios* tio) {
    tio->c_iflag &= ~RAW_OFF_INPUT;
    tio->c_oflag &= ~RAW_OFF_OUTPUT;
    tio->c_lflag &= ~RAW_OFF_LOCAL;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

uint8_t rts_raised(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return 0;  // no modem lines to ask: treat RTS as off
    }
    return flag(static_cast<tcflag_t>(lines & TIOCM_RTS));
}

// A line without modem control (a pty, say) has none to set: nothing to do.
void set_modem_line(int fd, int line, bool on) {
    int lines = line;
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

uint32_t rate_in_use(int fd, const struct termios& tio) {
    uint32_t rate = 0;
    if (baud_read_exact(fd, &rate)) {
        return rate;
    }
    return rate_of_code(cfgetospeed(&tio));
}

// Size, parity, stop bits and flags; false when a field has no equivalent.
bool overlay_frame(struct termios* tio, const LineSettings& wanted) {
    if (wanted.byte_size < SMALLEST_BYTE || wanted.byte_size > 8) {
        return false;
    }
    if (wanted.parity >= PARITY_CODE_COUNT ||
        (wanted.parity != LINE_PARITY_NONE && PARITY_CODES[wanted.parity] == 0)) {
        return false;
    }
    if (wanted.stop_bits != LINE_STOP_BITS_ONE && wanted.stop_bits != LINE_STOP_BITS_TWO) {
        return false;
    }
    // No hardware flow control and no wait for carrier: fwld drives the
    // line itself.
    tio->c_cflag = (tio->c_cflag & ~(CSIZE | PARITY_BITS | HARDWARE_FLOW)) |
                   SIZE_CODES[wanted.byte_size - SMALLEST_BYTE] | PARITY_CODES[wanted.parity] |
                   CREAD | CLOCAL;
    set_flag(&tio->c_cflag, CSTOPB, wanted.stop_bits == LINE_STOP_BITS_TWO);
    set_flag(&tio->c_iflag, INPCK, wanted.check_parity != 0);
    set_flag(&tio->c_iflag, IXON, wanted.xon_xoff_out != 0);
    set_flag(&tio->c_iflag, IXOFF, wanted.xon_xoff_in != 0);
    if (wanted.raw != 0) {
        make_raw(tio);
    }
    return true;
}

// Sets a B-constant rate in the record; other rates are left to
// baud_set_any after the record is applied (*needs_any set).
bool overlay_rate(struct termios* tio, uint32_t rate, bool* needs_any) {
    *needs_any = false;
    if (rate == 0) {
        return refuse();  // rate 0 would hang the line up
    }
    const RateCode* entry = rate_by_value(rate);
    if (entry == nullptr) {
        *needs_any = true;
        return baud_any_supported() || refuse();
    }
#ifdef CIBAUD
    tio->c_cflag &= ~CIBAUD;  // input rate follows the output rate
#endif
    if (cfsetispeed(tio, entry->code) != 0 || cfsetospeed(tio, entry->code) != 0) {
        return false;
    }
    return true;
}

// Drivers may accept a record and quietly keep something else.
bool line_took(int fd, const struct termios& wanted, uint32_t rate) {
    struct termios actual;
    if (tcgetattr(fd, &actual) != 0) {
        return false;
    }
    bool same_frame = (actual.c_cflag & CHECKED_CONTROL) == (wanted.c_cflag & CHECKED_CONTROL);
    bool same_input = (actual.c_iflag & CHECKED_INPUT) == (wanted.c_iflag & CHECKED_INPUT);
    if (!same_frame || !same_input || rate_in_use(fd, actual) != rate) {
        return refuse();
    }
    return true;
}

}  // namespace

bool termios_read_line(int fd, LineSettings* settings) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    std::memcpy(settings->native.bytes, &tio, sizeof tio);
    settings->baud = rate_in_use(fd, tio);
    settings->byte_size = byte_size_of(tio.c_cflag);
    settings->parity = parity_of(tio.c_cflag);
    settings->stop_bits = (tio.c_cflag & CSTOPB) != 0 ? LINE_STOP_BITS_TWO : LINE_STOP_BITS_ONE;
    settings->check_parity = flag(tio.c_iflag & INPCK);
    settings->raw = is_raw(tio) ? 1 : 0;
    settings->xon_xoff_out = flag(tio.c_iflag & IXON);
    settings->xon_xoff_in = flag(tio.c_iflag & IXOFF);
    settings->rts_control = rts_raised(fd);
    settings->dtr_control = LINE_DTR_AS_DEVICE;
    return true;
}

bool termios_apply_line(int fd, const LineSettings& settings) {
    struct termios wanted;
    std::memcpy(&wanted, settings.native.bytes, sizeof wanted);
    if (!overlay_frame(&wanted, settings)) {
        return refuse();
    }
    bool needs_any_rate = false;
    if (!overlay_rate(&wanted, settings.baud, &needs_any_rate)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
        return false;
    }
    if (needs_any_rate && !baud_set_any(fd, settings.baud)) {
        return false;
    }
    // The open raised both lines; the record holds them as the run wants.
    set_modem_line(fd, TIOCM_RTS, settings.rts_control != LINE_RTS_OFF);
    if (settings.dtr_control != LINE_DTR_AS_DEVICE) {
        set_modem_line(fd, TIOCM_DTR, settings.dtr_control == LINE_DTR_ON);
    }
    return line_took(fd, wanted, settings.baud);
}

bool termios_hardware_flow(const struct termios& tio) { return (tio.c_cflag & HARDWARE_FLOW) != 0; }
