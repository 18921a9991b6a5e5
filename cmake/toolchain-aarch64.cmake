# Cross build for 64-bit Arm (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=...
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TEV_TRIPLE aarch64-linux-gnu)
set(TEV_DEB_ARCH arm64)
set(TEV_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
