# Debian arm64 (64-bit ARM).
set(K417T_CROSS_TRIPLET aarch64-linux-gnu)
set(K417T_CROSS_PROCESSOR aarch64)
set(K417T_CROSS_DEB_ARCH arm64)
set(K417T_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
