// A fresh folder on the real file system for one test, removed with everything in it afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define OSTRIVEL_GETPID _getpid
#else
#include <unistd.h>
#define OSTRIVEL_GETPID getpid
#endif

namespace ostrivel::testing {

class TempDirectory {
 public:
  TempDirectory() {
    static std::atomic<int> counter{0};
    root = std::filesystem::temp_directory_path() /
           ("ostrivel-test-" + std::to_string(OSTRIVEL_GETPID()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  const std::filesystem::path& path() const { return root; }
  std::string string() const { return root.string(); }

 private:
  std::filesystem::path root;
};

}  // namespace ostrivel::testing
