# Cross-build for the board's 32-bit ARM (Debian armhf: ARMv7, hard-float) with Debian's
# multiarch packages: crossbuild-essential-armhf and the :armhf -dev packages (Qt 5, libgpiod,
# GoogleTest) installed beside the build machine's own; Qt's moc is the build machine's.
# ./scripts/cross armhf installs them, builds in build-armhf and runs the tests under
# qemu-arm-static.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch keeps the target's libraries, CMake package files (Qt5Core, GTest) and pkg-config
# files under /usr/lib/arm-linux-gnueabihf: the system root stays "/", only the library directory
# changes. Qt's package files name moc under /usr/lib/qt5/bin, which is the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user, for test discovery at build time and under ctest. The
# target's dynamic loader and libraries are in / (libc6:armhf and the others), so qemu needs no
# library prefix.
find_program(STM_QEMU_USER qemu-arm-static)
if(STM_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STM_QEMU_USER})
endif()

# The Debian architecture of the packages this build makes.
set(STM_DEB_ARCH armhf)
