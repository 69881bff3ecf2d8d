# Debian armhf (32-bit ARM, hard float).
set(K417T_CROSS_TRIPLET arm-linux-gnueabihf)
set(K417T_CROSS_PROCESSOR arm)
set(K417T_CROSS_DEB_ARCH armhf)
set(K417T_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
