# Installation and Debian package: the daemon (installed by the root list),
# its manual page, the systemd unit with its defaults file, the system user
# and the parallel-port drop-in as an example.
#
# For a package or a system-wide install configure with
# -DCMAKE_INSTALL_PREFIX=/usr, so that the unit names /usr/sbin/varkel and
# reads /etc/default/varkel.

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(VARKEL_PC_UNIT_DIR systemd systemdsystemunitdir)
  pkg_get_variable(VARKEL_PC_SYSUSERS_DIR systemd sysusersdir)
endif()
if(NOT VARKEL_PC_UNIT_DIR)
  set(VARKEL_PC_UNIT_DIR lib/systemd/system)
endif()
if(NOT VARKEL_PC_SYSUSERS_DIR)
  set(VARKEL_PC_SYSUSERS_DIR lib/sysusers.d)
endif()
set(VARKEL_SYSTEMD_UNIT_DIR "${VARKEL_PC_UNIT_DIR}"
    CACHE STRING "Where the systemd unit goes (relative paths: below the prefix)")
set(VARKEL_SYSUSERS_DIR "${VARKEL_PC_SYSUSERS_DIR}"
    CACHE STRING "Where the sysusers.d file goes (relative paths: below the prefix)")

set(VARKEL_DAEMON_PATH "${CMAKE_INSTALL_FULL_SBINDIR}/varkel")
set(VARKEL_DEFAULT_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/varkel")
set(VARKEL_EXAMPLES_DIR "${CMAKE_INSTALL_FULL_DOCDIR}/examples")

configure_file(${CMAKE_CURRENT_LIST_DIR}/varkel.service.in
               ${CMAKE_BINARY_DIR}/packaging/varkel.service @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/varkel.default.in
               ${CMAKE_BINARY_DIR}/packaging/varkel.default @ONLY)

install(FILES ${CMAKE_SOURCE_DIR}/varkel.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/varkel.service
        DESTINATION ${VARKEL_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varkel.sysusers
        DESTINATION ${VARKEL_SYSUSERS_DIR} RENAME varkel.conf)
install(FILES ${CMAKE_BINARY_DIR}/packaging/varkel.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME varkel)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/parallel-port.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/docs/operating.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package: cmake --build build --target package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varkel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morse code keying daemon driven over UDP")
set(CPACK_PACKAGE_CONTACT "varkel maintainers <varkel@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcw7, libc6, libstdc++6")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Plays text received over UDP as Morse through libcw and keys a\n transmitter through a serial or parallel port.")
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${VARKEL_DEFAULT_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
