# The part of a cross-build that every Debian multiarch target shares. A toolchain file sets
# STM_TRIPLET (the GNU triplet and multiarch directory), STM_PROCESSOR, STM_QEMU (the qemu-user
# program, found with or without its Debian 12 suffix -static) and STM_DEB_ARCH, then includes this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${STM_PROCESSOR})
set(CMAKE_C_COMPILER ${STM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${STM_TRIPLET}-g++)

# Multiarch keeps the target's libraries, CMake package files (Qt5Core, GTest) and pkg-config
# files under /usr/lib/<triplet>: the system root stays "/", only the library directory changes.
# Qt's package files name moc under /usr/lib/qt5/bin, which is the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${STM_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${STM_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user, for test discovery at build time and under ctest. The
# target's dynamic loader and libraries are in / (libc6:<arch> and the others), so qemu needs no
# library prefix.
find_program(STM_QEMU_USER NAMES ${STM_QEMU}-static ${STM_QEMU})
if(STM_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STM_QEMU_USER})
endif()
