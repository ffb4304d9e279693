# Cross-build for the board's 32-bit ARM (Debian armhf: ARMv7, hard-float) with Debian's
# multiarch packages: crossbuild-essential-armhf and the :armhf -dev packages (Qt 5, libgpiod,
# GoogleTest) installed beside the build machine's own; Qt's moc is the build machine's.
# ./scripts/cross armhf installs them, builds in build-armhf and runs the tests under
# qemu-arm-static.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(STM_TRIPLET arm-linux-gnueabihf)
set(STM_PROCESSOR arm)
set(STM_QEMU qemu-arm)
# The Debian architecture of the packages this build makes.
set(STM_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
