# Installation: the daemon (installed by the root list), its manual page,
# the systemd units (the loopback socket and its service, and the template
# that follows a keying adapter; the user manager's socket and service for
# a daemon in the desktop session), the udev rule for named adapters, the
# defaults file, the system user and the example drop-ins.
#
# For a system-wide install configure with -DCMAKE_INSTALL_PREFIX=/usr, so
# that the units name /usr/sbin/varkel and read /etc/default/varkel. The
# Debian package (debian/, built with dpkg-buildpackage) installs through
# these same rules.

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(VARKEL_PC_UNIT_DIR systemd systemdsystemunitdir)
  pkg_get_variable(VARKEL_PC_USER_UNIT_DIR systemd systemduserunitdir)
  pkg_get_variable(VARKEL_PC_SYSUSERS_DIR systemd sysusersdir)
  pkg_get_variable(VARKEL_PC_UDEV_DIR udev udevdir)
endif()
if(NOT VARKEL_PC_UNIT_DIR)
  set(VARKEL_PC_UNIT_DIR lib/systemd/system)
endif()
# The user manager's units, for a daemon in the desktop session (sidetone).
if(NOT VARKEL_PC_USER_UNIT_DIR)
  set(VARKEL_PC_USER_UNIT_DIR lib/systemd/user)
endif()
if(NOT VARKEL_PC_SYSUSERS_DIR)
  set(VARKEL_PC_SYSUSERS_DIR lib/sysusers.d)
endif()
if(VARKEL_PC_UDEV_DIR)
  set(VARKEL_PC_UDEV_RULES_DIR ${VARKEL_PC_UDEV_DIR}/rules.d)
else()
  set(VARKEL_PC_UDEV_RULES_DIR lib/udev/rules.d)
endif()
set(VARKEL_SYSTEMD_UNIT_DIR "${VARKEL_PC_UNIT_DIR}"
    CACHE STRING "Where the systemd units go (relative paths: below the prefix)")
set(VARKEL_SYSTEMD_USER_UNIT_DIR "${VARKEL_PC_USER_UNIT_DIR}"
    CACHE STRING "Where the systemd user units go (relative paths: below the prefix)")
set(VARKEL_SYSUSERS_DIR "${VARKEL_PC_SYSUSERS_DIR}"
    CACHE STRING "Where the sysusers.d file goes (relative paths: below the prefix)")
set(VARKEL_UDEV_RULES_DIR "${VARKEL_PC_UDEV_RULES_DIR}"
    CACHE STRING "Where the udev rule goes (relative paths: below the prefix)")

set(VARKEL_DAEMON_PATH "${CMAKE_INSTALL_FULL_SBINDIR}/varkel")
set(VARKEL_DEFAULT_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/varkel")
set(VARKEL_EXAMPLES_DIR "${CMAKE_INSTALL_FULL_DOCDIR}/examples")

# Both services share their sandbox and supervision, written once.
file(READ ${CMAKE_CURRENT_LIST_DIR}/service-common.in VARKEL_SERVICE_COMMON)
string(STRIP "${VARKEL_SERVICE_COMMON}" VARKEL_SERVICE_COMMON)
foreach(unit varkel.service varkel@.service)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${unit}.in ${CMAKE_BINARY_DIR}/packaging/${unit} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit} DESTINATION ${VARKEL_SYSTEMD_UNIT_DIR})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varkel.socket ${CMAKE_CURRENT_LIST_DIR}/varkel@.socket
        DESTINATION ${VARKEL_SYSTEMD_UNIT_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/user/varkel.service.in
               ${CMAKE_BINARY_DIR}/packaging/user/varkel.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/user/varkel.service
              ${CMAKE_CURRENT_LIST_DIR}/user/varkel.socket
        DESTINATION ${VARKEL_SYSTEMD_USER_UNIT_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/varkel.default.in
               ${CMAKE_BINARY_DIR}/packaging/varkel.default @ONLY)

install(FILES ${CMAKE_SOURCE_DIR}/varkel.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varkel.sysusers
        DESTINATION ${VARKEL_SYSUSERS_DIR} RENAME varkel.conf)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varkel.rules
        DESTINATION ${VARKEL_UDEV_RULES_DIR} RENAME 70-varkel.rules)
install(FILES ${CMAKE_BINARY_DIR}/packaging/varkel.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME varkel)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/parallel-port.conf ${CMAKE_CURRENT_LIST_DIR}/network.conf
              ${CMAKE_CURRENT_LIST_DIR}/second-radio.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/docs/operating.md ${CMAKE_SOURCE_DIR}/docs/protocol.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
