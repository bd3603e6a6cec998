#include "dcb_win32.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(DCB) <= sizeof(NativeLine::bytes), "NativeLine must hold a DCB");
static_assert(alignof(DCB) <= alignof(NativeLine), "NativeLine must be aligned for a DCB");

// The line codes are the block's own values, so they pass through unchanged.
static_assert(LINE_PARITY_NONE == NOPARITY && LINE_PARITY_ODD == ODDPARITY && LINE_PARITY_EVEN == EVENPARITY &&
              LINE_PARITY_MARK == MARKPARITY && LINE_PARITY_SPACE == SPACEPARITY);
static_assert(LINE_STOP_BITS_ONE == ONESTOPBIT && LINE_STOP_BITS_ONE_AND_HALF == ONE5STOPBITS &&
              LINE_STOP_BITS_TWO == TWOSTOPBITS);
static_assert(LINE_RTS_OFF == RTS_CONTROL_DISABLE && LINE_RTS_ON == RTS_CONTROL_ENABLE);
static_assert(LINE_DTR_OFF == DTR_CONTROL_DISABLE && LINE_DTR_ON == DTR_CONTROL_ENABLE);

void settings_from_dcb(const DCB& dcb, LineSettings* settings) {
    std::memcpy(settings->native.bytes, &dcb, sizeof dcb);
    settings->baud = dcb.BaudRate;
    settings->byte_size = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stop_bits = dcb.StopBits;
    settings->check_parity = static_cast<uint8_t>(dcb.fParity);
    settings->raw = static_cast<uint8_t>(dcb.fBinary);
    settings->xon_xoff_out = static_cast<uint8_t>(dcb.fOutX);
    settings->xon_xoff_in = static_cast<uint8_t>(dcb.fInX);
    settings->rts_control = static_cast<uint8_t>(dcb.fRtsControl);
    settings->dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
}

void dcb_from_settings(const LineSettings& settings, DCB* dcb) {
    std::memcpy(dcb, settings.native.bytes, sizeof *dcb);
    dcb->BaudRate = settings.baud;
    dcb->ByteSize = settings.byte_size;
    dcb->Parity = settings.parity;
    dcb->StopBits = settings.stop_bits;
    dcb->fParity = settings.check_parity & 1u;
    dcb->fBinary = settings.raw & 1u;
    dcb->fOutX = settings.xon_xoff_out & 1u;
    dcb->fInX = settings.xon_xoff_in & 1u;
    dcb->fRtsControl = settings.rts_control & 3u;
    dcb->fDtrControl = settings.dtr_control & 3u;
}

bool dcb_took(const DCB& wanted, const DCB& actual) {
    return actual.BaudRate == wanted.BaudRate && actual.ByteSize == wanted.ByteSize &&
           actual.Parity == wanted.Parity && actual.StopBits == wanted.StopBits &&
           actual.fParity == wanted.fParity && actual.fOutX == wanted.fOutX && actual.fInX == wanted.fInX;
}

void describe_dcb_flow(const DCB& dcb, char* out, size_t size) {
    std::snprintf(out, size, "fOutxCtsFlow %u, fOutxDsrFlow %u, fDsrSensitivity %u, fDtrControl %u, fTXContinueOnXoff %u",
                  static_cast<unsigned>(dcb.fOutxCtsFlow), static_cast<unsigned>(dcb.fOutxDsrFlow),
                  static_cast<unsigned>(dcb.fDsrSensitivity), static_cast<unsigned>(dcb.fDtrControl),
                  static_cast<unsigned>(dcb.fTXContinueOnXoff));
}

namespace {

struct HoldingField {
    const char* name;
    const char* line;
    DWORD line_on;  // GetCommModemStatus bit of the line it waits for
    bool (*is_on)(const DCB&);
};

const HoldingField HOLDING_FIELDS[] = {
    {"fOutxCtsFlow", "CTS", MS_CTS_ON, [](const DCB& d) { return d.fOutxCtsFlow != 0; }},
    {"fOutxDsrFlow", "DSR", MS_DSR_ON, [](const DCB& d) { return d.fOutxDsrFlow != 0; }},
    {"fDsrSensitivity", "DSR", MS_DSR_ON, [](const DCB& d) { return d.fDsrSensitivity != 0; }},
};

}  // namespace

void describe_dcb_hold(const DCB& dcb, const DWORD* modem, DWORD queued, char* out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (const HoldingField& field : HOLDING_FIELDS) {
        if (!field.is_on(dcb) || used >= size) continue;
        const char* state = modem == nullptr ? "unknown" : (*modem & field.line_on) != 0 ? "on" : "off";
        const int n = std::snprintf(out + used, size - used, "%s%s is on (%s is %s)", used == 0 ? "" : ", ",
                                    field.name, field.line, state);
        if (n > 0) used += static_cast<size_t>(n);
    }
    if (used != 0) return;
    std::snprintf(out, size, "no flow control is on; %lu bytes wait in the transmit queue: the adapter or the target "
                  "takes nothing", static_cast<unsigned long>(queued));
}
