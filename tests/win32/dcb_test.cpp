// The line record and the device-control block: a configure changes exactly
// the fields fwld owns and keeps everything else as the device reported it.
#include <gtest/gtest.h>

#include <cstring>

#include "dcb_win32.h"
#include "port_slot.h"

namespace {

// A block as an unusual driver might report it: every field set.
DCB reported_block() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1200;
    dcb.fBinary = 0;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 111;
    dcb.XoffLim = 222;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '~';
    return dcb;
}

DCB configured(const DCB& reported, uint32_t baud, int byte_size, int parity, int stop_bits) {
    LineSettings settings{};
    settings_from_dcb(reported, &settings);
    line_settings_overlay(&settings, baud, byte_size, parity, stop_bits);
    DCB out{};
    dcb_from_settings(settings, &out);
    return out;
}

// The block with the owned fields cleared, to compare the rest byte for byte.
DCB without_owned_fields(DCB dcb) {
    dcb.BaudRate = 0;
    dcb.ByteSize = 0;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.fParity = 0;
    dcb.fBinary = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fRtsControl = 0;
    return dcb;
}

TEST(DcbMapping, ReadingTheBlockLiftsTheOwnedFields) {
    LineSettings settings{};
    settings_from_dcb(reported_block(), &settings);
    EXPECT_EQ(settings.baud, 1200u);
    EXPECT_EQ(settings.byte_size, 7);
    EXPECT_EQ(settings.parity, ODDPARITY);
    EXPECT_EQ(settings.stop_bits, TWOSTOPBITS);
    EXPECT_EQ(settings.check_parity, 1);
    EXPECT_EQ(settings.raw, 0);
    EXPECT_EQ(settings.xon_xoff_out, 1);
    EXPECT_EQ(settings.xon_xoff_in, 1);
    EXPECT_EQ(settings.rts_control, RTS_CONTROL_TOGGLE);
}

TEST(DcbMapping, TheRunsConfigurationChangesOnlyTheOwnedFields) {
    const DCB reported = reported_block();
    const DCB applied = configured(reported, 9600, 8, 0, 0);
    EXPECT_EQ(applied.BaudRate, 9600u);
    EXPECT_EQ(applied.ByteSize, 8);
    EXPECT_EQ(applied.Parity, NOPARITY);
    EXPECT_EQ(applied.StopBits, ONESTOPBIT);
    EXPECT_EQ(applied.fParity, 0u);
    EXPECT_EQ(applied.fBinary, 1u);
    EXPECT_EQ(applied.fOutX, 0u);
    EXPECT_EQ(applied.fInX, 0u);
    EXPECT_EQ(applied.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    // DTR, CTS/DSR handshaking, limits and characters as the device had them.
    const DCB rest_before = without_owned_fields(reported);
    const DCB rest_after = without_owned_fields(applied);
    EXPECT_EQ(std::memcmp(&rest_before, &rest_after, sizeof(DCB)), 0);
    EXPECT_EQ(applied.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(applied.XoffLim, 222);
}

TEST(DcbMapping, ParityTurnsCheckingOnAndNarrowFieldsTakeTheLowBits) {
    DCB applied = configured(reported_block(), 115200, 8, 2, 0);
    EXPECT_EQ(applied.Parity, EVENPARITY);
    EXPECT_EQ(applied.fParity, 1u);
    // Parity checking follows the whole argument, the code its low 8 bits.
    applied = configured(reported_block(), 115200, 0x107, 0x100, 0x202);
    EXPECT_EQ(applied.ByteSize, 7);
    EXPECT_EQ(applied.Parity, NOPARITY);
    EXPECT_EQ(applied.fParity, 1u);
    EXPECT_EQ(applied.StopBits, TWOSTOPBITS);
}

TEST(DcbMapping, ReadBackComparesTheFrameButNotTheModemLines) {
    const DCB wanted = configured(reported_block(), 57600, 8, 0, 0);
    DCB actual = wanted;
    actual.fRtsControl = RTS_CONTROL_ENABLE;  // drivers report the line's state
    actual.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_TRUE(dcb_took(wanted, actual));
    const auto differs = [&](void (*change)(DCB*)) {
        DCB other = wanted;
        change(&other);
        return !dcb_took(wanted, other);
    };
    EXPECT_TRUE(differs([](DCB* d) { d->BaudRate = 56000; }));
    EXPECT_TRUE(differs([](DCB* d) { d->ByteSize = 7; }));
    EXPECT_TRUE(differs([](DCB* d) { d->Parity = MARKPARITY; }));
    EXPECT_TRUE(differs([](DCB* d) { d->StopBits = ONE5STOPBITS; }));
    EXPECT_TRUE(differs([](DCB* d) { d->fParity = 1; }));
    EXPECT_TRUE(differs([](DCB* d) { d->fOutX = 1; }));
    EXPECT_TRUE(differs([](DCB* d) { d->fInX = 1; }));
}

// What the operator is told of a line that takes nothing, and what the
// trace shows of the handshaking the device keeps.
TEST(DcbMapping, AHeldLineIsExplainedByTheFlowControlThatIsOn) {
    struct Case {
        void (*set)(DCB*);
        DWORD modem;
        bool modem_known;
        const char* said;
    };
    const Case cases[] = {
        {[](DCB* d) { d->fOutxCtsFlow = 1; }, MS_DSR_ON, true, "fOutxCtsFlow is on (CTS is off)"},
        {[](DCB* d) { d->fOutxCtsFlow = 1; }, MS_CTS_ON, false, "fOutxCtsFlow is on (CTS is unknown)"},
        {[](DCB* d) { d->fOutxDsrFlow = d->fDsrSensitivity = 1; }, MS_CTS_ON, true,
         "fOutxDsrFlow is on (DSR is off), fDsrSensitivity is on (DSR is off)"},
        {[](DCB*) {}, 0, true, "no flow control is on; 12 bytes wait in the transmit queue: the adapter or the target "
                               "takes nothing"},
    };
    for (const Case& c : cases) {
        DCB dcb{};
        c.set(&dcb);
        char said[256];
        describe_dcb_hold(dcb, c.modem_known ? &c.modem : nullptr, 12, said, sizeof said);
        EXPECT_STREQ(said, c.said);
    }
    char flow[160];
    describe_dcb_flow(reported_block(), flow, sizeof flow);
    EXPECT_STREQ(flow, "fOutxCtsFlow 1, fOutxDsrFlow 1, fDsrSensitivity 1, fDtrControl 2, fTXContinueOnXoff 1");
}

TEST(DevicePath, NumberedPortsLiveInTheDeviceNamespace) {
    char path[32];
    device_default_path(3, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\COM3");
    device_default_path(31, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\COM31");
    device_default_path(256, path, sizeof path);
    EXPECT_STREQ(path, "\\\\.\\COM256");
    device_default_path(12, path, 8);  // would be cut: no name rather than another port's
    EXPECT_STREQ(path, "");
}

}  // namespace
