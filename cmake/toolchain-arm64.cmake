# Cross-build for 64-bit ARM boards (Debian arm64) with Debian's multiarch packages:
# crossbuild-essential-arm64 and the :arm64 -dev packages (Qt 5, libgpiod, GoogleTest) installed
# beside the build machine's own; Qt's moc is the build machine's. ./scripts/cross arm64 installs
# them, builds in build-arm64 and runs the tests under qemu-aarch64-static.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the target's libraries, CMake package files (Qt5Core, GTest) and pkg-config
# files under /usr/lib/aarch64-linux-gnu: the system root stays "/", only the library directory
# changes. Qt's package files name moc under /usr/lib/qt5/bin, which is the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user, for test discovery at build time and under ctest. The
# target's dynamic loader and libraries are in / (libc6:arm64 and the others), so qemu needs no
# library prefix.
find_program(STM_QEMU_USER qemu-aarch64-static)
if(STM_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STM_QEMU_USER})
endif()

# The Debian architecture of the packages this build makes.
set(STM_DEB_ARCH arm64)
