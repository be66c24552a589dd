// Giving the GUI-subsystem executable a console to write to, and the elevation hop.
#include "app/windows/console_windows.h"

#include <io.h>

#include <cstdint>
#include <cstdio>

#include "app/startup.h"
#include "infra/product.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
// shellapi.h after the gate header: WIN32_LEAN_AND_MEAN leaves it out of windows.h.
#include <shellapi.h>

namespace ostrivel {

namespace {

// The handle the C runtime writes the stream to, which attaching to a console never changes.
StreamKind runtimeHandleKind(std::FILE* stream) {
  const intptr_t raw = _get_osfhandle(_fileno(stream));
  if (raw == -1 || raw == -2 || raw == 0) {
    return StreamKind::none;  // the runtime found no handle at start-up
  }
  switch (GetFileType(reinterpret_cast<HANDLE>(raw))) {
    case FILE_TYPE_CHAR:
      return StreamKind::character;
    case FILE_TYPE_DISK:
      return StreamKind::disk;
    case FILE_TYPE_PIPE:
      return StreamKind::pipe;
    default:
      return StreamKind::none;
  }
}

void reopen(std::FILE* stream, const char* device, const char* mode) {
  std::FILE* ignored = nullptr;
  freopen_s(&ignored, device, mode, stream);
}

void reopenOutputsOnConsole() {
  for (std::FILE* stream : {stdout, stderr}) {
    if (reopensOnConsole(runtimeHandleKind(stream))) {
      reopen(stream, "CONOUT$", "w");
    }
  }
}

}  // namespace

void attachParentConsole() {
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    reopenOutputsOnConsole();
  }
}

bool attachOrCreateConsole() {
  const StreamKind output = runtimeHandleKind(stdout);
  if (output == StreamKind::disk || output == StreamKind::pipe) {
    return false;
  }
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    reopenOutputsOnConsole();
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
  const std::wstring file = utf8ToWide(executablePath);
  const std::wstring wideParameters = utf8ToWide(parameters);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = wideParameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info) || info.hProcess == nullptr) {
    return -1;  // declined at the prompt, or the shell could not start it
  }
  const KernelHandle process(info.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}

}  // namespace ostrivel
