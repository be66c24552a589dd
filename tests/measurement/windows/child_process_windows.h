// A program of the build started for a test, ended and reaped when the test is done.
#pragma once

#include <algorithm>
#include <string>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"

namespace ostrivel::testing {

// The build's Unix path as Wine shows it: the root file system is drive Z.
inline std::string windowsPathOf(std::string unixPath) {
  std::replace(unixPath.begin(), unixPath.end(), '/', '\\');
  return "Z:" + unixPath;
}

class ChildProcess {
 public:
  // flags: CREATE_SUSPENDED keeps a program that would exit at once alive as a process.
  ChildProcess(const std::string& unixPath, const std::string& arguments, DWORD flags = 0)
      : path(windowsPathOf(unixPath)) {
    std::wstring commandLine = utf8ToWide("\"" + path + "\" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(utf8ToWide(path).c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags | CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &info)) {
      process.reset(info.hProcess);
      KernelHandle thread(info.hThread);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (process) {
      TerminateProcess(process.get(), 0);
      WaitForSingleObject(process.get(), 10000);
    }
  }

  bool started() const { return static_cast<bool>(process); }
  const std::string& windowsPath() const { return path; }

 private:
  std::string path;
  KernelHandle process;
};

}  // namespace ostrivel::testing
