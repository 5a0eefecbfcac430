#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include <initializer_list>
#include <memory>
#include <system_error>

#include "base/platform.hpp"

namespace qmr::platform {

namespace {

// Set once, before any thread but the first runs: whether standard output is a console that
// interprets colour sequences.
bool colour_console = false;

// Returns `text` (UTF-8) in UTF-16, as the wide calls take a path.
std::wstring widen(const std::string& text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// Returns the SID of the user this process runs as, in `buffer`; null when it cannot be read.
PSID process_user(std::unique_ptr<unsigned char[]>& buffer) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer = std::make_unique<unsigned char[]>(size);
  const bool read = GetTokenInformation(token, TokenUser, buffer.get(), size, &size);
  CloseHandle(token);
  return read ? reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid : nullptr;
}

// True when `sid` may read or write the file without making it "readable by other users" or
// "writable by other users": its owner, this process's user, the system and the administrators
// (who can take any file anyway).
bool may_access(PSID sid, PSID owner, PSID user) {
  return (owner != nullptr && EqualSid(sid, owner)) || (user != nullptr && EqualSid(sid, user)) ||
         IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid);
}

}  // namespace

void prepare_standard_streams() {
  // Text mode would write every LF as CR LF, which the tool server's hosts take for a broken
  // line, and read CR LF as LF. The program writes through the handles, and the runtime's text
  // mode must not touch them either.
  for (const int fd : {0, 1, 2}) static_cast<void>(_setmode(fd, _O_BINARY));

  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // GetConsoleMode succeeds on a console only: a pipe, a file or NUL (where _isatty would say
  // yes) keep their raw bytes.
  if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return;
  // The program's text is UTF-8 ("₹", "µ", emoji); the console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
  colour_console =
      (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
      SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
}

bool stdout_is_colour_terminal() { return colour_console; }

// A console only, as for standard output: GetConsoleMode fails on a pipe, a file or NUL.
bool stderr_is_terminal() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return error != nullptr && error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode) != 0;
}

// Reserves, uncommitted, what a thread's stack reserves by default (2 MiB for a program linked by
// mingw-w64), and lets it go.
bool thread_stack_fits() {
  void* stack = VirtualAlloc(nullptr, 2 * 1024 * 1024, MEM_RESERVE, PAGE_NOACCESS);
  if (stack == nullptr) return false;
  VirtualFree(stack, 0, MEM_RELEASE);
  return true;
}

// The access list is read from the open handle: what is judged is what is read. Each entry that
// allows reading the data is looked at; an entry that denies does not make another one safe.
Result<std::string> read_private_file(const std::string& path, std::size_t max_bytes) {
  const auto failure = [&path](DWORD error) {
    return Error{"cannot read " + path + ": " +
                 std::system_category().message(static_cast<int>(error))};
  };
  const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failure(GetLastError());
  const std::unique_ptr<void, decltype(&CloseHandle)> closer(file, &CloseHandle);
  if (GetFileType(file) != FILE_TYPE_DISK) return Error{path + " is not a regular file"};

  PSID owner = nullptr;
  PACL access = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD looked =
      GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &access, nullptr, &descriptor);
  if (looked != ERROR_SUCCESS) return failure(looked);
  const std::unique_ptr<void, decltype(&LocalFree)> freer(descriptor, &LocalFree);
  std::unique_ptr<unsigned char[]> user_buffer;
  const PSID user = process_user(user_buffer);
  // Another account that may write the file, or change who may, may choose the token.
  constexpr ACCESS_MASK READS = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  constexpr ACCESS_MASK WRITES =
      FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER;
  bool readable = access == nullptr;  // no list at all lets everyone in
  bool writable = false;
  for (DWORD i = 0; !readable && access != nullptr && i < access->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(access, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & (READS | WRITES)) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (may_access(sid, owner, user)) continue;
    readable = (allowed->Mask & READS) != 0;
    writable = writable || (allowed->Mask & WRITES) != 0;
  }
  if (readable) return Error{path + " is readable by other users: allow only your own account"};
  if (writable) return Error{path + " is writable by other users: allow only your own account"};

  std::string contents(max_bytes, '\0');
  DWORD filled = 0;
  while (filled < max_bytes) {
    DWORD count = 0;
    if (!ReadFile(file, contents.data() + filled, static_cast<DWORD>(max_bytes - filled), &count,
                  nullptr)) {
      return failure(GetLastError());
    }
    if (count == 0) break;
    filled += count;
  }
  contents.resize(filled);
  return contents;
}

void return_free_memory() {}

}  // namespace qmr::platform
