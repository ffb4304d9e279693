# Installation and the Debian package: stm-driver, shield-sim, stm-status and stm-flash in
# /usr/bin, their
# manual pages, the README as documentation, the Debian files of packaging/. In a build folder,
# `cpack -G DEB` makes stm-driver_<version>_<arch>.deb; scripts/package builds and checks the
# packages.
#
# The package version is the project version, which is the driver's own: `stm-driver -v` prints
# "KVT_STM_Driver: v2.18" for 2.18 (scripts/package fails when the two differ). Cross builds take
# the Debian architecture from their toolchain file (STM_DEB_ARCH).
include(GNUInstallDirs)

install(TARGETS stm-driver shield-sim stm-status-tool stm-flash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, gzip-compressed as Debian keeps them (-n: no name or time stamp inside, so the
# same page gives the same bytes).
find_program(STM_GZIP gzip)
if(NOT STM_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual pages")
endif()
set(STM_MAN_PAGES stm-driver.1 shield-sim.1 stm-status.1 stm-flash.1)
set(STM_MAN_OUTPUTS)
foreach(page ${STM_MAN_PAGES})
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/man/${page})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${STM_GZIP} -9nf ${copy}
    DEPENDS ${source}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND STM_MAN_OUTPUTS ${copy}.gz)
endforeach()
add_custom_target(man-pages ALL DEPENDS ${STM_MAN_OUTPUTS})
install(FILES ${STM_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Wireshark dissector of stm-status --capture files, for a technician's laptop.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tools/wireshark/stmspi.lua
  DESTINATION ${CMAKE_INSTALL_DATADIR}/stm-driver/wireshark)

# The Debian parts (packaging/): the copyright file, the changelog (compressed like the manual
# pages; changelog.gz, as the package is native: KVT makes the software and its package, so the
# version has no Debian revision), the udev rule that gives the group stm-driver the SPI and GPIO nodes, and the group's
# real-time limits (a conffile). The changelog's newest entry must carry the project version.
set(STM_PACKAGING ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
file(STRINGS ${STM_PACKAGING}/changelog STM_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT STM_CHANGELOG_TOP MATCHES "^stm-driver \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${STM_CHANGELOG_TOP}\", not with an "
    "entry for version ${PROJECT_VERSION}")
endif()
set(STM_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
add_custom_command(OUTPUT ${STM_CHANGELOG}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E copy ${STM_PACKAGING}/changelog ${STM_CHANGELOG}
  COMMAND ${STM_GZIP} -9nf ${STM_CHANGELOG}
  DEPENDS ${STM_PACKAGING}/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${STM_CHANGELOG}.gz)
install(FILES ${STM_CHANGELOG}.gz ${STM_PACKAGING}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian 12 keeps udev rules in /lib/udev/rules.d (udev's own place there).
install(FILES ${STM_PACKAGING}/60-stm-driver.rules DESTINATION /lib/udev/rules.d)
install(FILES ${STM_PACKAGING}/limits.conf DESTINATION /etc/security/limits.d
  RENAME stm-driver.conf)
# The figures for node_exporter's textfile collector: a service and its 15 s timer, disabled.
install(FILES ${STM_PACKAGING}/stm-driver-metrics.service ${STM_PACKAGING}/stm-driver-metrics.timer
  DESTINATION /lib/systemd/system)
# Alerting rules on those figures, for Prometheus' rule_files.
install(FILES ${STM_PACKAGING}/stm-driver.rules.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/stm-driver/prometheus)

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME stm-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KVT")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "driver process for the line boards (shields) of an apartment intercom")
# Lines of at most 79 columns (with the leading space Debian adds, 80).
set(CPACK_PACKAGE_DESCRIPTION
  "stm-driver serves up to six intercom line boards (STM32 boards called
shields) on one SPI bus of an Orange Pi. It reads the host's commands on
standard input, reports line events (dial, pickup, door open, hang-up, keys)
on standard output, and carries the line audio as UDP datagrams on 127.0.0.1.
Members of the system group stm-driver may use the SPI and GPIO nodes.
shield-sim plays the shields on a simulated bus, for work without the
hardware; stm-status shows the running driver's shields to a technician, or
as Prometheus figures, which a timer (disabled until enabled) can keep fresh
for node_exporter's textfile collector, or captures the driver's exchanges
with its shields for Wireshark, whose dissector the package carries;
stm-flash writes a shield's firmware through its STM32 bootloader.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KVT intercom developers <intercom-dev@kvt-intercom.ru>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (Qt 5 Core and Network, libgpiod, libpcap, the C++ library) with the
# versions the build linked against, as dpkg-shlibdeps finds them from the binaries' own needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The postinst creates the group with addgroup; the maintainer scripts keep systemd's view of
# the units with deb-systemd-helper.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${STM_PACKAGING}/postinst ${STM_PACKAGING}/prerm
  ${STM_PACKAGING}/postrm ${STM_PACKAGING}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(STM_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${STM_DEB_ARCH})
endif()
include(CPack)
