#include "dcb_win32.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(DCB) == sizeof(NativeLine::dcb), "NativeLine must hold a DCB");
static_assert(alignof(DCB) <= alignof(NativeLine), "NativeLine must be aligned for a DCB");

void settings_from_dcb(const DCB& dcb, LineSettings* settings) {
    std::memcpy(settings->native.dcb, &dcb, sizeof dcb);
    settings->BaudRate = dcb.BaudRate;
    settings->ByteSize = dcb.ByteSize;
    settings->Parity = dcb.Parity;
    settings->StopBits = dcb.StopBits;
    settings->fParity = static_cast<uint8_t>(dcb.fParity);
    settings->fBinary = static_cast<uint8_t>(dcb.fBinary);
    settings->fOutX = static_cast<uint8_t>(dcb.fOutX);
    settings->fInX = static_cast<uint8_t>(dcb.fInX);
    settings->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
}

void dcb_from_settings(const LineSettings& settings, DCB* dcb) {
    std::memcpy(dcb, settings.native.dcb, sizeof *dcb);
    dcb->BaudRate = settings.BaudRate;
    dcb->ByteSize = settings.ByteSize;
    dcb->Parity = settings.Parity;
    dcb->StopBits = settings.StopBits;
    dcb->fParity = settings.fParity & 1u;
    dcb->fBinary = settings.fBinary & 1u;
    dcb->fOutX = settings.fOutX & 1u;
    dcb->fInX = settings.fInX & 1u;
    dcb->fRtsControl = settings.fRtsControl & 3u;
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
