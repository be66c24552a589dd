// A browser opener that keeps every link it was handed, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "companion/url_opener.h"

namespace ostrivel::testing {

class RecordingUrlOpener : public UrlOpener {
 public:
  void open(const std::string& link) override {
    std::lock_guard lock(mutex);
    opened.push_back(link);
  }

  std::vector<std::string> links() const {
    std::lock_guard lock(mutex);
    return opened;
  }

  void clear() {
    std::lock_guard lock(mutex);
    opened.clear();
  }

 private:
  mutable std::mutex mutex;
  std::vector<std::string> opened;
};

}  // namespace ostrivel::testing
