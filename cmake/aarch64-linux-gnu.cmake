# Cross-builds for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and the
# arm64 libraries installed beside the native ones (multiarch: libicu-dev:arm64, libgtest-dev:arm64
# under /usr/lib/aarch64-linux-gnu). ctest runs the test executables, and the process tests the
# program, under qemu's user-mode emulator.
#   cmake -S . -B build/aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# Libraries and headers of the target only; programs (node) of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
