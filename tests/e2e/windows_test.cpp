// What only the Windows build has: the device namespace form of p5 and the
// explanation of a COM port that does not open. Run under Wine.
#include "e2e_support.h"

namespace e2e {
namespace {

TEST(WindowsPorts, TheDeviceNamespaceFormNamesAPort) {
    if (!testbed::ports_are_com_numbers()) GTEST_SKIP() << "the \\\\.\\ form names Windows devices";
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(100), mixed_program());
    std::vector<std::string> args = quick_args(in, target.device_path());
    const std::string device = "\\\\.\\COM" + testbed::port_for(target.device_path());
    args[6] = device + ":57600";
    const testbed::ProcessResult r = testbed::FwldProcess::fwld(args)->finish(20s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("Port no. = " + device + "\nBaudrate:57600bps\n"), std::string::npos) << r.err;
    ASSERT_TRUE(target.wait_done(2s));
    EXPECT_TRUE(target.report().matches(expected_records(mixed_program())));
}

TEST(WindowsPorts, AComPortThatDoesNotOpenIsExplained) {
    if (!testbed::ports_are_com_numbers()) GTEST_SKIP() << "COM ports are Windows'";
    Inputs in(loader_bytes(10), "E");
    const std::string number = testbed::port_for("/nonexistent/fwld-com-port");
    std::vector<std::string> args = quick_args(in, "/nonexistent/fwld-com-port");
    args[6] = number;
    const testbed::ProcessResult r = testbed::FwldProcess::fwld(args)->finish(20s);
    EXPECT_EQ(r.exit_code, 1);
    const std::string said = "LastError(INVALID_HANDLE_VALUE)=2\nPort \\\\.\\COM" + number + ": ";
    const size_t at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::string rest = r.err.substr(at + said.size());
    EXPECT_NE(rest.find(". No port has that number."), std::string::npos) << rest;
    EXPECT_NE(rest.find("\nSerial devices on this machine:\n"), std::string::npos) << rest;
    EXPECT_TRUE(ends_with(r.err, "\n\nCan not open com port\n\n")) << r.err;
    EXPECT_EQ(r.err.find("TARGET POWER ON."), std::string::npos);
}

}  // namespace
}  // namespace e2e
