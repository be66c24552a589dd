// A fresh folder on the real file system for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace ostrivel::testing {

class TempDirectory {
 public:
  TempDirectory()
      : root(std::filesystem::temp_directory_path() / ("ostrivel-test-" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(root);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  std::string string() const { return root.string(); }

 private:
  std::filesystem::path root;
};

}  // namespace ostrivel::testing
