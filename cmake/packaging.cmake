# Installation and the Debian package: stm-driver and shield-sim in /usr/bin, their manual
# pages, the README as documentation. In a build folder, `cpack -G DEB` makes
# stm-driver_<version>_<arch>.deb; scripts/package builds and checks the packages.
#
# The package version is the project version, which is the driver's own: `stm-driver -v` prints
# "KVT_STM_Driver: v2.18" for 2.18 (scripts/package fails when the two differ). Cross builds take
# the Debian architecture from their toolchain file (STM_DEB_ARCH).
include(GNUInstallDirs)

install(TARGETS stm-driver shield-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, gzip-compressed as Debian keeps them (-n: no name or time stamp inside, so the
# same page gives the same bytes).
find_program(STM_GZIP gzip)
if(NOT STM_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual pages")
endif()
set(STM_MAN_PAGES stm-driver.1 shield-sim.1)
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

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME stm-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KVT")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "driver process for the line boards (shields) of an apartment intercom")
set(CPACK_PACKAGE_DESCRIPTION
  "stm-driver serves up to six intercom line boards (STM32 boards called shields) on
one SPI bus of an Orange Pi. It reads the host's commands on standard input, reports line
events (dial, pickup, door open, hang-up, keys) on standard output, and carries the line audio
as UDP datagrams on 127.0.0.1. shield-sim plays the shields on a simulated bus, for work
without the hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KVT intercom developers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time libraries (Qt 5 Core and Network, libgpiod, the C++ library) with the versions the
# build linked against, as dpkg-shlibdeps finds them from the binaries' own needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(STM_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${STM_DEB_ARCH})
endif()
include(CPack)
