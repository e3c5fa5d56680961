// A simulated port layer for unit tests: it takes the place of the serial
// and parallel drivers' platform tables and of the look-up of device nodes,
// keeps the registers of simulated ports and records every request made on
// them. Paths that were not added here go to the real system calls, so
// /dev/null is the real one.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace test_ports {

enum class Kind { serial, parallel };

// Puts the simulated layer in place, with no ports and no requests.
void install();
// Puts the real Linux tables back.
void uninstall();

// Adds a simulated port under /dev/<name>. A parallel port's control
// register starts at control; all eight bits are kept (the real ones hold
// only four).
void add(Kind kind, const std::string& name, unsigned char control = 0x00);

// A link /dev/<name> to the simulated port /dev/<target>, as udev makes
// under /dev/serial/by-id.
void add_link(const std::string& name, const std::string& target);

// A device under /dev/<name> that answers like a serial port but whose
// kernel class is subsystem ("misc" for a watchdog, "tty" with no device
// behind it for a console): the probes must not open it.
void add_decoy(const std::string& name, const std::string& subsystem, bool has_device);

struct Port {
    int modem = 0;  // TIOCM_* bits
    unsigned char control = 0;
    unsigned char data = 0;
    unsigned char status = 0;
    bool claimed = false;
    int open_descriptors = 0;
    int open_flags = 0;  // of the last open
    bool hupcl = true;   // the last close drops DTR and RTS
};
Port port(const std::string& name);
void set_control(const std::string& name, unsigned char control);
void set_status(const std::string& name, unsigned char status);

// Every request on a simulated port fails with EIO from now on.
void fail_all_requests();
// Only the named request ("PPWCONTROL", "TIOCMBIS", ...) fails with EIO.
void fail_request(const std::string& request);
// Each control register read pauses before it returns, so that requests
// from two threads interleave unless something keeps them apart.
void slow_control_reads();
// Opening a simulated port fails with EACCES.
void deny_open();
// Selection sees an ordinary user, who may not use a parallel port.
void run_as_ordinary_user();
// The next copy of a device's description fails as if memory ran out.
void fail_next_description_copy();

// The requests made on one port, in order: "open", "fstat", "close",
// "TIOCMGET", "TIOCMBIS DTR", "TIOCMBIC RTS", "PPCLAIM", "PPRCONTROL",
// "PPWCONTROL 0x09", "PPWDATA 0xa0", "PPRSTATUS".
std::vector<std::string> requests(const std::string& name);
void clear_requests();

// Every path either driver asked to open, simulated or not, in order.
std::vector<std::string> opened_paths();

// Simulated descriptors open right now, over all ports.
int open_descriptors();

// For device tests: simulated ports in place, devices and settings reset,
// the debug log at DD captured, error reports on standard output.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Everything the debug log has written since SetUp.
    std::string log();

  private:
    FILE* log_stream_ = nullptr;
};

}  // namespace test_ports
