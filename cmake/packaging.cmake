# Installation and the Debian package: stm-driver, shield-sim, stm-status and stm-flash in
# /usr/bin, their
# manual pages, the README as documentation, the Debian files of packaging/. In a build folder,
# `cpack -G DEB` makes stm-driver_<version>_<arch>.deb; scripts/package builds and checks the
# packages.
#
# The package version is the project version, which is the driver's own (`stm-driver -v` prints
# "KVT_STM_Driver: v2.18" for 2.18; scripts/package fails when the two differ), with the package
# revision and the Debian release: 2.18-1+deb13. Cross builds take
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
# pages), the udev rule that gives the group stm-driver the SPI and GPIO nodes, and the group's
# real-time limits (a conffile). The changelog's newest entry must carry the project version with
# the package revision.
#
# A package is built for the Debian release of the machine that builds it, and its version says
# which: 2.18-1+deb12 on Debian 12, 2.18-1+deb13 on Debian 13, so that each depends on its own
# release's libraries (libgpiod2 or libgpiod3, that release's Qt: dpkg-shlibdeps below). As in
# Debian's own rebuilds for a release, its changelog starts with an entry for that build.
set(STM_PACKAGE_REVISION 1)
set(STM_PACKAGING ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
file(STRINGS ${STM_PACKAGING}/changelog STM_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT STM_CHANGELOG_TOP MATCHES "^stm-driver \\(${PROJECT_VERSION}-${STM_PACKAGE_REVISION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${STM_CHANGELOG_TOP}\", not with an "
    "entry for version ${PROJECT_VERSION}-${STM_PACKAGE_REVISION}")
endif()
set(STM_DEBIAN_RELEASE "")
set(STM_DEBIAN_CODENAME unstable)
if(EXISTS /etc/os-release)
  file(STRINGS /etc/os-release STM_OS_RELEASE)
  foreach(line ${STM_OS_RELEASE})
    if(line MATCHES "^VERSION_ID=\"?([0-9]+)\"?$")
      set(STM_DEBIAN_RELEASE ${CMAKE_MATCH_1})
    elseif(line MATCHES "^VERSION_CODENAME=(.+)$")
      set(STM_DEBIAN_CODENAME ${CMAKE_MATCH_1})
    endif()
  endforeach()
endif()
set(STM_PACKAGE_RELEASE ${STM_PACKAGE_REVISION})
set(STM_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian)
file(READ ${STM_PACKAGING}/changelog STM_CHANGELOG_TEXT)
if(STM_DEBIAN_RELEASE)
  string(APPEND STM_PACKAGE_RELEASE "+deb${STM_DEBIAN_RELEASE}")
  # The maintainer of the entry below it; the time of the build (SOURCE_DATE_EPOCH when set).
  string(REGEX MATCH "\n -- [^>]+>" STM_CHANGELOG_MAINTAINER "${STM_CHANGELOG_TEXT}")
  string(TIMESTAMP STM_BUILD_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  string(PREPEND STM_CHANGELOG_TEXT "stm-driver (${PROJECT_VERSION}-${STM_PACKAGE_RELEASE}) "
    "${STM_DEBIAN_CODENAME}; urgency=medium\n\n  * Built for Debian ${STM_DEBIAN_RELEASE} "
    "(${STM_DEBIAN_CODENAME}).\n${STM_CHANGELOG_MAINTAINER}  ${STM_BUILD_DATE}\n\n")
endif()
file(WRITE ${STM_CHANGELOG} "${STM_CHANGELOG_TEXT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${STM_PACKAGING}/changelog)
add_custom_command(OUTPUT ${STM_CHANGELOG}.gz
  COMMAND ${STM_GZIP} -9nkf ${STM_CHANGELOG}
  DEPENDS ${STM_CHANGELOG}
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${STM_CHANGELOG}.gz)
install(FILES ${STM_CHANGELOG}.gz ${STM_PACKAGING}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian 12 keeps udev rules and systemd units in /lib (udev's and systemd's own place there);
# from Debian 13 on /lib is only an alias of /usr/lib, where they belong.
set(STM_SYSTEM_LIB /usr/lib)
if(STM_DEBIAN_RELEASE AND STM_DEBIAN_RELEASE LESS 13)
  set(STM_SYSTEM_LIB /lib)
endif()
install(FILES ${STM_PACKAGING}/60-stm-driver.rules DESTINATION ${STM_SYSTEM_LIB}/udev/rules.d)
install(FILES ${STM_PACKAGING}/limits.conf DESTINATION /etc/security/limits.d
  RENAME stm-driver.conf)
# The figures for node_exporter's textfile collector: a service and its 15 s timer, disabled.
install(FILES ${STM_PACKAGING}/stm-driver-metrics.service ${STM_PACKAGING}/stm-driver-metrics.timer
  DESTINATION ${STM_SYSTEM_LIB}/systemd/system)
# Alerting rules on those figures, for Prometheus' rule_files.
install(FILES ${STM_PACKAGING}/stm-driver.rules.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/stm-driver/prometheus)

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME stm-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${STM_PACKAGE_RELEASE})
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
