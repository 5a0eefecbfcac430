# Cross-builds for 64-bit Windows with Debian's mingw-w64 cross compiler (g++-mingw-w64-x86-64-posix,
# the POSIX thread model that std::thread needs) against the libraries scripts/mingw-root.sh lays
# out (ICU, GoogleTest and links to the header-only ones). ctest runs the test executables, and the
# process tests the program, under Wine.
#   scripts/mingw-root.sh
#   cmake -S . -B build/windows --toolchain cmake/x86_64-w64-mingw32.cmake -DQMR_WINE_COMMAND=… \
#     -DQMR_WINDOWS_VERSION=…
# (scripts/check-windows.sh does both.)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The command that runs a Windows program here, Wine with its prefix, and the oldest Windows the
# programs run on (cmake/windows.cmake): scripts/lib.sh names them and passes them
# (configure_arch windows).
set(QMR_WINE_COMMAND "" CACHE STRING "Command that runs a Windows program under Wine (scripts/lib.sh)")
set(QMR_WINDOWS_VERSION "" CACHE STRING "_WIN32_WINNT of the oldest Windows supported (scripts/lib.sh)")
if(NOT QMR_WINE_COMMAND OR NOT QMR_WINDOWS_VERSION)
  message(FATAL_ERROR "QMR_WINE_COMMAND or QMR_WINDOWS_VERSION is not set: configure the Windows "
                      "build with scripts/check-windows.sh, or pass scripts/lib.sh's "
                      "WINDOWS_TOOLCHAIN to cmake")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QMR_WINE_COMMAND QMR_WINDOWS_VERSION)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QMR_WINE_COMMAND})

get_filename_component(QMR_DEFAULT_MINGW_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build/mingw-root" ABSOLUTE)
set(QMR_MINGW_ROOT "${QMR_DEFAULT_MINGW_ROOT}" CACHE PATH "Root of the Windows build's libraries")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QMR_MINGW_ROOT})
# Libraries, headers and packages of the target only (never glibc's /usr/include); programs
# (node, wine) of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
