# Every way the Windows build (cmake/x86_64-w64-mingw32.cmake: mingw-w64, tested under Wine) differs
# from the Linux one. Included by the top-level CMakeLists.txt for a Windows target, once the
# interface targets qmr_options and asio_headers exist and the Linux values of the names below are
# set; the other CMake files read those names.

# The sources written once per system: NAME_windows.cpp.
set(QMR_SYSTEM windows)

# Every executable, tests included, carries its C and C++ runtimes and its thread library: Wine and
# Windows then need no mingw DLL beside it, and the program imports Windows' own DLLs only. The
# stand-alone link adds nothing (static-pie and packed relocations are ELF's).
target_link_options(qmr_options INTERFACE -static)
set(QMR_STANDALONE_COMPILE_OPTIONS "")
set(QMR_STANDALONE_LINK_OPTIONS "")

# ICU is the static common library of scripts/mingw-root.sh, without data: nothing is imported
# from a DLL, and with no full ICU every executable links ICU as the program does.
add_compile_definitions(U_STATIC_IMPLEMENTATION)
set(QMR_FULL_ICU OFF)

# The Windows API of the oldest Windows supported (scripts/lib.sh's WINDOWS_VERSION: Windows 10, and
# so 11); asio's sockets are Winsock's.
target_compile_definitions(asio_headers INTERFACE _WIN32_WINNT=${QMR_WINDOWS_VERSION}
                                                  WIN32_LEAN_AND_MEAN)
target_link_libraries(asio_headers INTERFACE ws2_32 mswsock)

# Not built: the tests written on POSIX calls. The server's own suite talks to it through a client
# on POSIX sockets (the process tests drive the Windows server instead), and the helper that hands
# a stream over non-blocking has no use on Windows, which hands over none.
set(QMR_POSIX_TESTS OFF)
