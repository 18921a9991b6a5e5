# Cross build for IBM Z (Debian s390x), the big-endian target.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TEV_TRIPLE s390x-linux-gnu)
set(TEV_DEB_ARCH s390x)
set(TEV_QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
