// The parallel driver: control-register bits for the in-use marker, audio
// route, PTT and key, the data register for the band, the foot switch, and
// ending the process when a request fails.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devices/keying_device.h"
#include "devices/parallel_device.h"
#include "support/test_support_ports.h"

namespace varkel {
namespace {

using test_ports::Kind;
using Requests = std::vector<std::string>;

class ParallelDeviceTest : public test_ports::DeviceTest {
  protected:
    void select_port(unsigned char control) {
        test_ports::add(Kind::parallel, "parport0", control);
        ASSERT_TRUE(select_device(current_device, "parport0"));
        ASSERT_EQ(current_device.load(), &parallel_device);
        test_ports::clear_requests();
    }
    unsigned char control() { return test_ports::port("parport0").control; }
};

TEST_F(ParallelDeviceTest, ProbeClaimsThePort) {
    test_ports::add(Kind::parallel, "parport0");
    EXPECT_NE(probe_parallel("parport0"), -1);
    EXPECT_EQ(test_ports::port("parport0").open_flags, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(test_ports::requests("parport0"), (Requests{"open", "fstat", "PPCLAIM"}));
    EXPECT_TRUE(test_ports::port("parport0").claimed);
}

TEST_F(ParallelDeviceTest, RealDevNullAndSerialPortsAreNotOpened) {
    const int before = open("/dev/null", O_RDONLY);
    close(before);
    EXPECT_EQ(probe_parallel("null"), -1);
    const int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(after, before);

    test_ports::add(Kind::serial, "ttyS0");
    EXPECT_EQ(probe_parallel("ttyS0"), -1);
    EXPECT_TRUE(test_ports::requests("ttyS0").empty());
}

TEST_F(ParallelDeviceTest, OverlongNameIsNotOpened) {
    const std::string name(1019, 'p');
    test_ports::add(Kind::parallel, name);
    EXPECT_EQ(probe_parallel(name.c_str()), -1);
    EXPECT_TRUE(test_ports::requests(name).empty());
}

TEST_F(ParallelDeviceTest, InitMarksInUseAndPutsEverythingAtRest) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    EXPECT_EQ(control(), 0x09);
    EXPECT_EQ(test_ports::port("parport0").data, 0x00);
    const Requests requests = test_ports::requests("parport0");
    // After the serial probe's try and the claim: in use, key up, PTT off,
    // microphone, data 0; each bit one read-modify-write.
    EXPECT_EQ(
        Requests(requests.end() - 9, requests.end()),
        (Requests{"PPRCONTROL", "PPWCONTROL 0x01", "PPRCONTROL", "PPWCONTROL 0x09", "PPRCONTROL",
                  "PPWCONTROL 0x09", "PPRCONTROL", "PPWCONTROL 0x09", "PPWDATA 0x00"}));
}

TEST_F(ParallelDeviceTest, InitKeepsTheUpperFourBitsAsRead) {
    select_port(0xF6);
    EXPECT_EQ(control(), 0xF9);
}

TEST_F(ParallelDeviceTest, KeyPttAndAudioRouteEachChangeOnlyTheirBit) {
    select_port(0x00);
    device_key(&parallel_device, 1);
    EXPECT_EQ(control(), 0x01);
    device_key(&parallel_device, 0);
    EXPECT_EQ(control(), 0x09);
    device_ptt(&parallel_device, 1);
    EXPECT_EQ(control(), 0x0D);
    device_ssb_way(&parallel_device, 1);
    EXPECT_EQ(control(), 0x0F);
    device_ssb_way(&parallel_device, 0);
    device_ptt(&parallel_device, 0);
    EXPECT_EQ(control(), 0x09);
}

TEST_F(ParallelDeviceTest, ReleaseDropsPttWithTheInUseMarkerKeepsTheAudioRouteAndLetsThePortGo) {
    select_port(0x00);
    device_ptt(&parallel_device, 1);
    device_ssb_way(&parallel_device, 1);
    ASSERT_EQ(control(), 0x0F);
    test_ports::clear_requests();
    release_current_device();
    EXPECT_EQ(control(), 0x0A);  // key up, PTT off, soundcard, not in use
    EXPECT_EQ(test_ports::requests("parport0"),
              (Requests{"PPRCONTROL", "PPWCONTROL 0x0a", "close"}));
    EXPECT_FALSE(test_ports::port("parport0").claimed);
    EXPECT_EQ(test_ports::open_descriptors(), 0);
}

TEST_F(ParallelDeviceTest, ResetPutsTheDataRegisterBackToZero) {
    select_port(0x00);
    device_band_switch(&parallel_device, 0xA0);
    EXPECT_EQ(test_ports::port("parport0").data, 0xA0);
    device_key(&parallel_device, 1);
    device_ptt(&parallel_device, 1);
    device_reset(&parallel_device);
    EXPECT_EQ(test_ports::port("parport0").data, 0x00);
    EXPECT_EQ(control(), 0x09);
    EXPECT_FALSE(device_key_is_down());
}

TEST_F(ParallelDeviceTest, FootSwitchIsStatusBitThree) {
    select_port(0x00);
    test_ports::set_status("parport0", 0x87);
    EXPECT_EQ(device_read_ptt_switch(&parallel_device), 0);
    test_ports::set_status("parport0", 0x7F);
    EXPECT_EQ(device_read_ptt_switch(&parallel_device), 1);
    EXPECT_EQ(test_ports::requests("parport0"), (Requests{"PPRSTATUS", "PPRSTATUS"}));
}

// Every failing register request ends the process with its own report.
struct FailureCase {
    const char* request;
    void (*act)();
    const char* report;
};

class ParallelFailureTest : public ParallelDeviceTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ParallelFailureTest, EndsTheProcessWithTheReport) {
    select_port(0x00);
    test_ports::fail_request(GetParam().request);
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the report goes to standard output
            GetParam().act();
        },
        ::testing::ExitedWithCode(1),
        std::string("^varkel: ") + GetParam().report + " failed: \"Input/output error\"\n$");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ParallelFailureTest,
    ::testing::Values(FailureCase{"PPRCONTROL", [] { device_key(&parallel_device, 1); },
                                  "Parallel port PPIGCTRL"},
                      FailureCase{"PPWCONTROL", [] { device_ptt(&parallel_device, 1); },
                                  "Parallel port PPISCTRL"},
                      FailureCase{"PPWDATA", [] { switch_band(&parallel_device, 10); },
                                  "Parallel port PPISDATA"},
                      FailureCase{"PPRSTATUS", [] { device_read_ptt_switch(&parallel_device); },
                                  "Parallel port PPIGSTATUS"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.request; });

}  // namespace
}  // namespace varkel
