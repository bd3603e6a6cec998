#include "dcb_win32.h"

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
