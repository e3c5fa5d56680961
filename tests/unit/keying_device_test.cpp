// Selection of the keying device by name, its descriptions, the device lock
// wrappers and band switching.
#include <dirent.h>
#include <sys/ioctl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.h"
#include "devices/keying_device.h"
#include "support/test_support_ports.h"

namespace varkel {
namespace {

using test_ports::Kind;
using Requests = std::vector<std::string>;

int open_real_descriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class KeyingDeviceTest : public test_ports::DeviceTest {};

TEST_F(KeyingDeviceTest, EmptyOrAbsentTextIsRefusedAndChangesNothing) {
    set_default_descriptions();
    EXPECT_FALSE(select_device(current_device, ""));
    EXPECT_FALSE(select_device(current_device, nullptr));
    EXPECT_EQ(log(),
              "varkel:EE: invalid device description \"\"\n"
              "varkel:EE: invalid device description \"(null)\"\n");
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(null_device.description, "null");
}

TEST_F(KeyingDeviceTest, NullIsLookedUpOnTheRealDevNullOpenedByNeitherProbeThenSelected) {
    const int before = open_real_descriptors();
    EXPECT_TRUE(select_device(current_device, "null"));
    EXPECT_EQ(open_real_descriptors(), before);
    EXPECT_EQ(log(), "varkel:II: keying device used: \"null\"\n");
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(null_device.fd, 0);
}

TEST_F(KeyingDeviceTest, UnknownNameEndsOnNullDeviceWithoutDescriptor) {
    EXPECT_TRUE(select_device(current_device, "ttyNOTHERE9"));
    EXPECT_EQ(log(),
              "varkel:EE: no valid device found, setting cwdevice to null device\n"
              "varkel:II: keying device used: \"ttyNOTHERE9\"\n");
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(null_device.fd, -1);
    EXPECT_EQ(null_device.description, "ttyNOTHERE9");
}

TEST_F(KeyingDeviceTest, FullPathIsProbedWithASecondDevPrefix) {
    test_ports::add(Kind::serial, "ttyUSB7");
    EXPECT_TRUE(select_device(current_device, "/dev/ttyUSB7"));
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(null_device.fd, -1);
    EXPECT_TRUE(test_ports::requests("ttyUSB7").empty());
}

TEST_F(KeyingDeviceTest, NamesThatMakeOverlongPathsAreNeverOpened) {
    const std::string fits(1018, 'x');  // "/dev/" + 1018 = 1023 characters
    const std::string too_long(1019, 'y');
    test_ports::add(Kind::serial, fits);
    test_ports::add(Kind::serial, too_long);
    EXPECT_TRUE(select_device(current_device, too_long.c_str()));
    EXPECT_TRUE(test_ports::requests(too_long).empty());
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(null_device.fd, -1);
    EXPECT_TRUE(select_device(current_device, fits.c_str()));
    EXPECT_EQ(current_device.load(), &serial_device);
}

TEST_F(KeyingDeviceTest, NamesOfOtherDevicesOrOutsideDevAreNeverOpened) {
    // Each would answer TIOCMGET: only the node's class keeps it closed.
    test_ports::add_decoy("watchdog", "misc", false);
    test_ports::add_decoy("console", "tty", false);
    test_ports::add_decoy("tty1", "tty", false);
    const char* const names[] = {"watchdog", "console", "tty1", "../etc/passwd", "../../etc/passwd",
                                 "kmsg",     "mem",     "zero", "tty",           "ptmx",
                                 "pts/0",    "shm",     ".",    "serial/../null"};
    for (const char* name : names) {
        EXPECT_TRUE(select_device(current_device, name)) << name;
        EXPECT_EQ(current_device.load(), &null_device) << name;
        EXPECT_EQ(null_device.fd, -1) << name;
        EXPECT_EQ(null_device.description, name);
    }
    EXPECT_EQ(test_ports::opened_paths(), Requests{});
    size_t refusals = 0;
    for (size_t at = 0; (at = log().find("no valid device found", at)) != std::string::npos; ++at) {
        ++refusals;
    }
    EXPECT_EQ(refusals, std::size(names));
}

TEST_F(KeyingDeviceTest, LinksToPortsSelectThePortTheyName) {
    test_ports::add(Kind::serial, "ttyUSB0");
    test_ports::add(Kind::parallel, "parport0");
    test_ports::add_link("serial/by-id/usb-FTDI_FT232R_A1-if00-port0", "ttyUSB0");
    test_ports::add_link("parallel/by-path/pci-0000:00:1f.0-parport", "parport0");
    ASSERT_TRUE(select_device(current_device, "serial/by-id/usb-FTDI_FT232R_A1-if00-port0"));
    EXPECT_EQ(current_device.load(), &serial_device);
    EXPECT_EQ(serial_device.description, "serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"open", "fstat", "TIOCMGET", "TIOCMBIC DTR", "TIOCMBIC RTS"}));
    ASSERT_TRUE(select_device(current_device, "parallel/by-path/pci-0000:00:1f.0-parport"));
    EXPECT_EQ(current_device.load(), &parallel_device);
    EXPECT_EQ(test_ports::opened_paths(), (Requests{"/dev/ttyUSB0", "/dev/parport0"}));
}

TEST_F(KeyingDeviceTest, SerialProbeComesFirstThenParallel) {
    test_ports::add(Kind::serial, "ttyS3");
    test_ports::add(Kind::parallel, "parport0");
    EXPECT_TRUE(select_device(current_device, "ttyS3"));
    EXPECT_EQ(current_device.load(), &serial_device);
    EXPECT_EQ(serial_device.description, "ttyS3");
    EXPECT_TRUE(select_device(current_device, "parport0"));
    EXPECT_EQ(current_device.load(), &parallel_device);
    EXPECT_EQ(parallel_device.description, "parport0");
    // The serial probe sees a ppdev node and leaves it unopened.
    const Requests parallel = test_ports::requests("parport0");
    ASSERT_GE(parallel.size(), 3u);
    EXPECT_EQ(Requests(parallel.begin(), parallel.begin() + 3),
              (Requests{"open", "fstat", "PPCLAIM"}));
}

TEST_F(KeyingDeviceTest, ParallelPortForOrdinaryUserIsRefusedAndItsDescriptorClosed) {
    set_default_descriptions();
    test_ports::add(Kind::serial, "ttyS0");
    test_ports::add(Kind::parallel, "parport0");
    ASSERT_TRUE(select_device(current_device, "ttyS0"));
    test_ports::run_as_ordinary_user();
    EXPECT_FALSE(select_device(current_device, "parport0"));
    EXPECT_TRUE(contains(log(),
                         "varkel:EE: you must run this program as root to use parallel "
                         "port\n"));
    EXPECT_EQ(current_device.load(), &serial_device);
    EXPECT_EQ(parallel_device.description, "ppi0");
    EXPECT_EQ(test_ports::port("parport0").open_descriptors, 0);
    EXPECT_FALSE(test_ports::port("parport0").claimed);
}

TEST_F(KeyingDeviceTest, UnopenableParallelPortIsNoValidDeviceNotARootMatter) {
    test_ports::add(Kind::parallel, "parport0");
    test_ports::deny_open();
    test_ports::run_as_ordinary_user();
    EXPECT_TRUE(select_device(current_device, "parport0"));
    EXPECT_TRUE(contains(log(), "no valid device found"));
    EXPECT_FALSE(contains(log(), "root"));
}

// A port the user may not open is told with its remedy before the daemon
// settles on the null device: the usual first fault of a new station.
TEST_F(KeyingDeviceTest, SerialPortRefusedForPermissionPointsToTheDialoutGroup) {
    test_ports::add(Kind::serial, "ttyUSB0");
    test_ports::deny_open();
    EXPECT_TRUE(select_device(current_device, "ttyUSB0"));
    EXPECT_EQ(log(),
              "varkel:WW: serial port /dev/ttyUSB0: Permission denied; its group is dialout: sudo "
              "adduser $USER dialout, then log in again\n"
              "varkel:EE: no valid device found, setting cwdevice to null device\n"
              "varkel:II: keying device used: \"ttyUSB0\"\n");
}

TEST_F(KeyingDeviceTest, ReplacedDeviceIsBroughtToRestAndReleased) {
    test_ports::add(Kind::serial, "ttyUSB0");
    test_ports::add(Kind::parallel, "parport0");
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    test_ports::clear_requests();
    ASSERT_TRUE(select_device(current_device, "parport0"));
    EXPECT_EQ(test_ports::requests("ttyUSB0"),
              (Requests{"TIOCMBIC DTR", "TIOCMBIC RTS", "TIOCMBIC DTR", "TIOCMBIC RTS", "close"}));
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, 0);
    EXPECT_EQ(test_ports::open_descriptors(), 1);
    EXPECT_FALSE(device_key_is_down());
    // The old device is no longer driven, even if a late caller still holds it.
    device_key(&serial_device, 1);
    EXPECT_EQ(test_ports::requests("ttyUSB0").size(), 5u);
}

TEST_F(KeyingDeviceTest, RepeatedSelectionsNeverLeakDescriptors) {
    test_ports::add(Kind::serial, "ttyUSB0");
    test_ports::add(Kind::serial, "ttyUSB1");
    for (int round = 0; round <= 100; ++round) {  // ends on ttyUSB0
        ASSERT_TRUE(select_device(current_device, round % 3 == 0 ? "ttyUSB1" : "ttyUSB0"));
    }
    EXPECT_EQ(test_ports::open_descriptors(), 1);
    EXPECT_EQ(serial_device.description, "ttyUSB0");
    EXPECT_EQ(test_ports::port("ttyUSB0").open_descriptors, 1);
    EXPECT_EQ(test_ports::port("ttyUSB0").modem, 0);
}

TEST_F(KeyingDeviceTest, ReselectingTheParallelPortInUseLetsTheOldClaimGoFirst) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    const int first_fd = parallel_device.fd;
    EXPECT_TRUE(select_device(current_device, "parport0"));
    EXPECT_EQ(current_device.load(), &parallel_device);
    EXPECT_NE(parallel_device.fd, first_fd);
    EXPECT_FALSE(contains(log(), "no valid device"));
    EXPECT_EQ(test_ports::port("parport0").open_descriptors, 1);
    EXPECT_TRUE(test_ports::port("parport0").claimed);
    EXPECT_EQ(test_ports::port("parport0").control, 0x09);
}

TEST_F(KeyingDeviceTest, FailedCopyKeepsThePreviousDeviceAndClosesTheProbe) {
    test_ports::add(Kind::serial, "ttyUSB0");
    set_default_descriptions();
    test_ports::fail_next_description_copy();
    EXPECT_FALSE(select_device(current_device, "ttyUSB0"));
    EXPECT_EQ(log(), "varkel:EE: memory allocation error\n");
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(serial_device.description, "ttyd0");
    EXPECT_EQ(test_ports::open_descriptors(), 0);
}

TEST_F(KeyingDeviceTest, DefaultDescriptionsAreSetAndFreed) {
    set_default_descriptions();
    EXPECT_EQ(parallel_device.description, "ppi0");
    EXPECT_EQ(serial_device.description, "ttyd0");
    EXPECT_EQ(null_device.description, "null");
    free_descriptions();
    EXPECT_FALSE(parallel_device.description);
    EXPECT_FALSE(serial_device.description);
    EXPECT_FALSE(null_device.description);
}

TEST_F(KeyingDeviceTest, DefaultDescriptionsThatCannotBeCopiedEndTheProcess) {
    test_ports::fail_next_description_copy();
    EXPECT_EXIT(
        {
            set_debug_output(stderr);
            set_default_descriptions();
        },
        ::testing::ExitedWithCode(1), "^varkel:EE: memory allocation error\n$");
}

TEST_F(KeyingDeviceTest, ReleaseAtExitLiftsAKeyLeftDownAndHappensOnce) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    device_key(&parallel_device, 1);
    ASSERT_EQ(test_ports::port("parport0").control, 0x01);
    release_current_device();
    EXPECT_EQ(test_ports::port("parport0").control, 0x08);
    EXPECT_FALSE(test_ports::port("parport0").claimed);
    test_ports::clear_requests();
    release_current_device();
    device_key(&parallel_device, 1);
    EXPECT_TRUE(test_ports::requests("parport0").empty());
}

TEST_F(KeyingDeviceTest, DetachingParentLeavesThePortToTheChild) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    device_ptt(&parallel_device, 1);
    test_ports::clear_requests();
    forget_current_device_in_parent();
    release_current_device();
    EXPECT_TRUE(test_ports::requests("parport0").empty());
    EXPECT_TRUE(test_ports::port("parport0").claimed);
    EXPECT_EQ(test_ports::port("parport0").control, 0x0D);
}

TEST_F(KeyingDeviceTest, PttNeverFallsWhileTheKeyIsDown) {
    test_ports::add(Kind::serial, "ttyUSB0");
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    test_ports::clear_requests();
    device_ptt(&serial_device, 1);
    device_key(&serial_device, 1);
    EXPECT_TRUE(device_key_is_down());
    device_ptt(&serial_device, 0);
    EXPECT_FALSE(device_key_is_down());
    device_key(&serial_device, 0);  // libcw's late key-up
    EXPECT_EQ(
        test_ports::requests("ttyUSB0"),
        (Requests{"TIOCMBIS RTS", "TIOCMBIS DTR", "TIOCMBIC DTR", "TIOCMBIC RTS", "TIOCMBIC DTR"}));
}

TEST_F(KeyingDeviceTest, PttOffRepeatedWhilePttIsOffLeavesTheKeyDown) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    device_key(&parallel_device, 1);
    device_ptt(&parallel_device, 0);  // the foot-switch poll, switch open
    EXPECT_TRUE(device_key_is_down());
    EXPECT_EQ(test_ports::port("parport0").control, 0x01);
}

TEST_F(KeyingDeviceTest, OperationsOnADeviceThatIsNotCurrentAreSkipped) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    ASSERT_TRUE(select_device(current_device, "null"));
    test_ports::clear_requests();
    device_key(&parallel_device, 1);
    device_ptt(&parallel_device, 1);
    device_reset(&parallel_device);
    device_ssb_way(&parallel_device, 1);
    device_band_switch(&parallel_device, 0xA0);
    EXPECT_EQ(device_read_ptt_switch(&parallel_device), 1);
    EXPECT_TRUE(test_ports::requests("parport0").empty());
}

TEST_F(KeyingDeviceTest, BandCodesSpreadBandBitsOneToThreeOntoBitsFiveToSeven) {
    const std::vector<std::pair<int, uint8_t>> expected = {
        {0, 0x00}, {1, 0x01}, {2, 0x20}, {3, 0x21}, {7, 0x61}, {10, 0xA0}, {15, 0xE1}};
    for (const auto& [band, code] : expected) {
        EXPECT_EQ(band_switch_code(band), code) << "band " << band;
    }
}

TEST_F(KeyingDeviceTest, BandSwitchWritesTheCodeAndLogsTheBand) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    test_ports::clear_requests();
    switch_band(current_device.load(), 10);
    EXPECT_EQ(test_ports::port("parport0").data, 0xA0);
    switch_band(current_device.load(), 15);
    EXPECT_EQ(test_ports::port("parport0").data, 0xE1);
    switch_band(current_device.load(), 2);
    EXPECT_EQ(test_ports::requests("parport0"),
              (Requests{"PPWDATA 0xa0", "PPWDATA 0xe1", "PPWDATA 0x20"}));
    EXPECT_TRUE(contains(log(),
                         "varkel:II: set band switch to a\n"
                         "varkel:II: set band switch to f\n"
                         "varkel:II: set band switch to 2\n"));
}

TEST_F(KeyingDeviceTest, BandSwitchOnDevicesWithoutOutputOnlyLogsAnError) {
    test_ports::add(Kind::serial, "ttyUSB0");
    switch_band(&null_device, 3);
    ASSERT_TRUE(select_device(current_device, "ttyUSB0"));
    test_ports::clear_requests();
    switch_band(&serial_device, 3);
    EXPECT_TRUE(test_ports::requests("ttyUSB0").empty());
    const std::string text = log();
    EXPECT_TRUE(contains(text,
                         "varkel:EE: band switch output not implemented\n"
                         "varkel:II: keying device used"));
    EXPECT_TRUE(text.ends_with("varkel:EE: band switch output not implemented\n"));
    EXPECT_FALSE(contains(text, "set band switch"));
}

TEST_F(KeyingDeviceTest, KeyEdgesFromAnotherThreadAndAudioRouteChangesAreBothKept) {
    test_ports::add(Kind::parallel, "parport0", 0x00);
    ASSERT_TRUE(select_device(current_device, "parport0"));
    test_ports::slow_control_reads();
    constexpr int kChanges = 500;
    std::atomic<bool> done{false};
    std::thread keyer([&done] {
        for (int edge = 0; !done.load(); ++edge) {
            device_key(&parallel_device, edge % 2 == 0 ? 1 : 0);
        }
        device_key(&parallel_device, 0);
    });
    int lost = 0;
    for (int change = 0; change < kChanges; ++change) {
        const int route = change % 2;
        device_ssb_way(&parallel_device, route);
        // A key edge written over a stale read would take the route back.
        if (((test_ports::port("parport0").control & 0x02) != 0) != (route == 1)) {
            ++lost;
        }
    }
    done.store(true);
    keyer.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(test_ports::port("parport0").control, 0x0B);  // in use, soundcard, key up
}

}  // namespace
}  // namespace varkel
