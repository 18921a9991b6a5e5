# Shared part of the cross toolchains: the Debian cross compiler for
# TEV_TRIPLE, its sysroot, and qemu-user as the emulator that runs the
# target's programs (test discovery and ctest). The including file sets
# TEV_TRIPLE, TEV_DEB_ARCH (the Debian architecture of the package), TEV_QEMU
# and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TEV_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TEV_TRIPLE}-g++)
set(TEV_SYSROOT /usr/${TEV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${TEV_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -L gives qemu the target's dynamic loader and libraries; processes the
# tests start (the agent, the client) find them through QEMU_LD_PREFIX,
# which tools/test.sh exports together with the binfmt_misc registration.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TEV_QEMU};-L;${TEV_SYSROOT})
