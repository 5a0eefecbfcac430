// A handle handed over on Windows is never non-blocking, so nothing here waits.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <utility>

#include "base/descriptor_io.hpp"

namespace qmr::descriptor_io {

namespace {

// Each Windows error and the errno value of the same cause; any other is EIO. The reader has gone
// when the pipe is closing (ERROR_NO_DATA, what Windows says), closed, or no longer connected (what
// Wine says of a pipe whose reader has gone).
constexpr std::pair<DWORD, int> ERRNO_VALUES[] = {
    {ERROR_BROKEN_PIPE, EPIPE},        {ERROR_NO_DATA, EPIPE},
    {ERROR_PIPE_NOT_CONNECTED, EPIPE}, {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},  {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_ACCESS_DENIED, EACCES},     {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM}};

int errno_of(DWORD code) {
  const auto* found = std::ranges::find(ERRNO_VALUES, code, &std::pair<DWORD, int>::first);
  return found == std::end(ERRNO_VALUES) ? EIO : found->second;
}

// Returns the handle behind descriptor `fd`, or null when it has none (a closed standard stream).
HANDLE handle_of(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// The most one ReadFile or WriteFile takes: its count is 32 bits wide.
constexpr std::size_t MAX_TRANSFER = 1U << 30;

}  // namespace

int read_some(int fd, char* data, std::size_t size, std::size_t& count) {
  count = 0;
  const HANDLE handle = handle_of(fd);
  if (handle == nullptr) return EBADF;
  DWORD got = 0;
  const auto wanted = static_cast<DWORD>(std::min(size, MAX_TRANSFER));
  if (!ReadFile(handle, data, wanted, &got, nullptr)) {
    const DWORD code = GetLastError();
    // A pipe whose writer has closed its end reads as the end of input.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
    return errno_of(code);
  }
  count = got;
  return 0;
}

int write_all(int fd, std::string_view bytes) {
  // Nothing to write succeeds whatever the descriptor, as write(2) of nothing does.
  if (bytes.empty()) return 0;
  const HANDLE handle = handle_of(fd);
  if (handle == nullptr) return EBADF;
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto wanted = static_cast<DWORD>(std::min(bytes.size(), MAX_TRANSFER));
    if (!WriteFile(handle, bytes.data(), wanted, &written, nullptr)) {
      return errno_of(GetLastError());
    }
    if (written == 0) return EIO;
    bytes.remove_prefix(written);
  }
  return 0;
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) _close(fd_);
}

}  // namespace qmr::descriptor_io
