// Giving the GUI-subsystem executable a console to write to, and the elevation hop.
#include "app/windows/console_windows.h"

#include <cstdio>

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"
// shellapi.h after the gate header: WIN32_LEAN_AND_MEAN leaves it out of windows.h.
#include <shellapi.h>

namespace ostrivel {

namespace {

DWORD fileTypeOf(DWORD stdHandle) {
  const HANDLE handle = GetStdHandle(stdHandle);
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(handle);
}

void reopen(std::FILE* stream, const char* device, const char* mode) {
  std::FILE* ignored = nullptr;
  freopen_s(&ignored, device, mode, stream);
}

}  // namespace

void attachParentConsole() {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
    return;
  }
  // Only streams without a file behind them go to the console; a redirection wins.
  if (fileTypeOf(STD_OUTPUT_HANDLE) == FILE_TYPE_UNKNOWN) {
    reopen(stdout, "CONOUT$", "w");
  }
  if (fileTypeOf(STD_ERROR_HANDLE) == FILE_TYPE_UNKNOWN) {
    reopen(stderr, "CONOUT$", "w");
  }
}

bool attachOrCreateConsole() {
  const DWORD outputType = fileTypeOf(STD_OUTPUT_HANDLE);
  if (outputType == FILE_TYPE_DISK || outputType == FILE_TYPE_PIPE) {
    return false;
  }
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    reopen(stdout, "CONOUT$", "w");
    reopen(stderr, "CONOUT$", "w");
    return false;
  }
  if (!AllocConsole()) {
    return false;
  }
  reopen(stdout, "CONOUT$", "w");
  reopen(stderr, "CONOUT$", "w");
  reopen(stdin, "CONIN$", "r");
  const std::string title(kProductName);
  SetConsoleTitleA(title.c_str());
  return true;
}

void waitForEnter() {
  std::fputs("\nPress Enter to close...", stdout);
  std::fflush(stdout);
  std::getchar();
}

bool processIsElevated() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return false;
  }
  const KernelHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

int runElevated(const std::string& executablePath, const std::string& parameters) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "runas";
  info.lpFile = executablePath.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExA(&info) || info.hProcess == nullptr) {
    return -1;  // declined at the prompt, or the shell could not start it
  }
  const KernelHandle process(info.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}

}  // namespace ostrivel
