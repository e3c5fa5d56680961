// The serial driver: recognising a port by its modem lines, DTR as the key,
// RTS as PTT, and ending the process when the port stops answering.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/keying_device.h"
#include "devices/serial_device.h"
#include "devices/serial_lines.h"
#include "devices/serial_port_io.h"
#include "devices/signal_rest.h"
#include "support/test_support_ports.h"

namespace varkel {
namespace {

using test_ports::Kind;
using Requests = std::vector<std::string>;

class SerialDeviceTest : public test_ports::DeviceTest {
  protected:
    void select_port(const char* name) {
        test_ports::add(Kind::serial, name);
        ASSERT_TRUE(select_device(current_device, name));
        ASSERT_EQ(current_device.load(), &serial_device);
        test_ports::clear_requests();
    }
};

TEST_F(SerialDeviceTest, ProbeOpensWithoutBlockingOrControllingTerminalAndReadsTheLines) {
    test_ports::add(Kind::serial, "ttyACM0");
    const int fd = probe_serial("ttyACM0");
    EXPECT_NE(fd, -1);
    EXPECT_EQ(test_ports::port("ttyACM0").open_flags, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(test_ports::requests("ttyACM0"), (Requests{"open", "fstat", "TIOCMGET"}));
}

TEST_F(SerialDeviceTest, RealDevNullIsRefusedAndNothingStaysOpen) {
    // /dev/null is a memory device, no terminal. A leaked descriptor would
    // take the next number, so the next open shows whether one stayed open.
    const int before = open("/dev/null", O_RDONLY);
    close(before);
    EXPECT_EQ(probe_serial("null"), -1);
    const int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(after, before);
}

TEST_F(SerialDeviceTest, RegularFileIsRefusedBeforeAnyModemRequest) {
    const std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "no /dev/shm here";
    }
    char path[] = "/dev/shm/varkel-serial-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_NE(file, -1);
    close(file);
    const int before = open("/dev/null", O_RDONLY);
    close(before);
    EXPECT_EQ(probe_serial(path + std::string("/dev/").size()), -1);
    const int after = open("/dev/null", O_RDONLY);
    close(after);
    unlink(path);
    EXPECT_EQ(after, before);
}

TEST_F(SerialDeviceTest, PortThatCannotBeOpenedGivesNoDescriptor) {
    test_ports::add(Kind::serial, "ttyS0");
    test_ports::deny_open();
    EXPECT_EQ(probe_serial("ttyS0"), -1);
    EXPECT_EQ(test_ports::requests("ttyS0"), (Requests{"open"}));
}

TEST_F(SerialDeviceTest, ParallelPortIsNotOpened) {
    test_ports::add(Kind::parallel, "parport0");
    EXPECT_EQ(probe_serial("parport0"), -1);
    EXPECT_TRUE(test_ports::requests("parport0").empty());
}

TEST_F(SerialDeviceTest, InitClearsTheLinesTheOpenRaisedDtrFirst) {
    test_ports::add(Kind::serial, "ttyUSB0");
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"open", "fstat", "TIOCMGET", "TIOCMBIC DTR", "TIOCMBIC RTS"}));
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, 0);
    EXPECT_NE(serial_device.fd, 0);
}

TEST_F(SerialDeviceTest, KeyAndPttEachChangeOnlyTheirOwnLine) {
    select_port("ttyUSB0");
    device_key(&serial_device, 1);
    device_ptt(&serial_device, 1);
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, TIOCM_DTR | TIOCM_RTS);
    device_reset(&serial_device);
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, 0);
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"TIOCMBIS DTR", "TIOCMBIS RTS", "TIOCMBIC DTR", "TIOCMBIC RTS"}));
}

TEST_F(SerialDeviceTest, ReleaseClearsBothLinesAndClosesThePort) {
    select_port("ttyUSB0");
    device_ptt(&serial_device, 1);
    test_ports::clear_requests();
    release_current_device();
    EXPECT_EQ(test_ports::requests("ttyUSB0"), (Requests{"TIOCMBIC DTR", "TIOCMBIC RTS", "close"}));
    EXPECT_EQ(test_ports::open_descriptors(), 0);
}

TEST_F(SerialDeviceTest, UnpluggedAdapterEndsTheProcessNamingThePort) {
    select_port("ttyUSB0");
    test_ports::fail_all_requests();
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the report goes to standard output
            device_key(&serial_device, 1);
        },
        ::testing::ExitedWithCode(1),
        "^varkel: Ioctl serial port ttyUSB0 failed: \"Input/output error\"\n$");
}

TEST_F(SerialDeviceTest, FailedKeyUpInResetMakesNoFurtherRequest) {
    select_port("ttyUSB0");
    test_ports::fail_request("TIOCMBIC");
    // The clean-up would release the port again: it must not, nor report twice.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            atexit([] {
                fprintf(stderr, "requests after failure: %zu\n",
                        test_ports::requests("ttyUSB0").size());
                release_current_device();
                fprintf(stderr, "after release: %zu\n", test_ports::requests("ttyUSB0").size());
            });
            device_reset(&serial_device);
        },
        ::testing::ExitedWithCode(1),
        "^varkel: Ioctl serial port ttyUSB0 failed: \"Input/output error\"\n"
        "requests after failure: 1\nafter release: 1\n$");
}

TEST_F(SerialDeviceTest, ChosenLinesKeyPttAndRestEachAtItsOwnLevel) {
    // Key on RTS, active low; PTT on DTR, active high.
    ASSERT_TRUE(parse_serial_option("key=rts"));
    ASSERT_TRUE(parse_serial_option("ptt=dtr"));
    ASSERT_TRUE(parse_serial_option("invert=key"));
    test_ports::add(Kind::serial, "ttyUSB0");
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    EXPECT_EQ(
        test_ports::requests("ttyUSB0"),
        (Requests{"open", "fstat", "TIOCMGET", "TIOCMBIS RTS", "TIOCMBIC DTR", "TCSETS -HUPCL"}));
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, TIOCM_RTS);
    test_ports::clear_requests();
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, TIOCM_DTR);
    device_ptt(&serial_device, 0);  // lifts the key first
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"TIOCMBIS DTR", "TIOCMBIC RTS", "TIOCMBIS RTS", "TIOCMBIC DTR"}));
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    test_ports::clear_requests();
    release_current_device();
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"TIOCMBIS RTS", "TIOCMBIS RTS", "TIOCMBIC DTR", "close"}));
    // HUPCL is off: the closed port keeps the key line asserted, at rest.
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, TIOCM_RTS);
}

TEST_F(SerialDeviceTest, PttOnNoLineClearsTheOtherLineAtInitOnly) {
    ASSERT_TRUE(parse_serial_option("ptt=none"));
    test_ports::add(Kind::serial, "ttyUSB0");
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"open", "fstat", "TIOCMGET", "TIOCMBIC DTR", "TIOCMBIC RTS"}));
    test_ports::clear_requests();
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    device_ptt(&serial_device, 0);
    device_reset(&serial_device);
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"TIOCMBIS DTR", "TIOCMBIC DTR", "TIOCMBIC DTR"}));
}

TEST_F(SerialDeviceTest, SignalRestReachesOnlyThePortInUseAndStopsFurtherKeying) {
    ASSERT_TRUE(parse_serial_option("invert=ptt"));
    select_port("ttyUSB0");
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    test_ports::clear_requests();
    rest_device_from_signal();
    EXPECT_EQ(test_ports::requests("ttyUSB0"), (Requests{"TIOCMBIC DTR", "TIOCMBIS RTS"}));
    device_key(&serial_device, 1);  // libcw's next edge
    EXPECT_EQ(test_ports::requests("ttyUSB0").size(), 2u);

    // A port switched away from is not the one a signal rests.
    reset_signal_rest_for_tests();
    ASSERT_TRUE(select_device(current_device, "null"));
    test_ports::clear_requests();
    rest_device_from_signal();
    EXPECT_TRUE(test_ports::requests("ttyUSB0").empty());
}

// A key-down that passed its test just before a fatal signal's rest (on
// another thread: here, between the test and the request) reaches the port
// after that rest; the port is rested again once the request is done.
int (*g_real_set_modem_lines)(int, int) = nullptr;
int set_modem_lines_as_a_signal_rests(int fd, int bits) {
    if (bits == TIOCM_DTR && !device_rested_by_signal()) {
        rest_device_from_signal();
    }
    return g_real_set_modem_lines(fd, bits);
}

TEST_F(SerialDeviceTest, KeyDownUnderWayWhenASignalRestsTheLinesIsRestedAgain) {
    select_port("ttyUSB0");
    device_ptt(&serial_device, 1);
    test_ports::clear_requests();
    g_real_set_modem_lines = serial_port_io.set_modem_lines;
    serial_port_io.set_modem_lines = set_modem_lines_as_a_signal_rests;
    device_key(&serial_device, 1);
    serial_port_io.set_modem_lines = g_real_set_modem_lines;
    const Requests requests = test_ports::requests("ttyUSB0");
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(Requests(requests.begin(), requests.begin() + 2),
              (Requests{"TIOCMBIC DTR", "TIOCMBIC RTS"}));  // the handler's rest
    EXPECT_EQ(Requests(requests.end() - 3, requests.end()),
              (Requests{"TIOCMBIS DTR", "TIOCMBIC DTR", "TIOCMBIC RTS"}));
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, 0);
}

}  // namespace
}  // namespace varkel
