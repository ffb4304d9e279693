# Cross-build for 64-bit ARM boards (Debian arm64) with Debian's multiarch packages:
# crossbuild-essential-arm64 and the :arm64 -dev packages (Qt 5, libgpiod, GoogleTest) installed
# beside the build machine's own; Qt's moc is the build machine's. ./scripts/cross arm64 installs
# them, builds in build-arm64 and runs the tests under qemu-aarch64-static.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(STM_TRIPLET aarch64-linux-gnu)
set(STM_PROCESSOR aarch64)
set(STM_QEMU qemu-aarch64)
# The Debian architecture of the packages this build makes.
set(STM_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
