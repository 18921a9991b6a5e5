# The baseline x86-64 (SSE2 at most: no SSE3, SSE4, AVX or carry-less
# multiply), built with the native compiler and run under qemu-user with
# that processor model, so every run-time choice of instructions (in our
# code and in the C library) takes its oldest path. Naming the system makes
# CMake treat this as a cross build and put the emulator in front of the
# test programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_FLAGS_INIT "-march=x86-64 -mtune=generic")
set(TEV_QEMU_CPU "qemu64,-sse3,-cx16,-lahf-lm")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-x86_64-static;-cpu;${TEV_QEMU_CPU})
