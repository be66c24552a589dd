// Names, listings, moves and day-based pruning of the JSON record files in the outbox and history.
#include "delivery/outbox_files.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace ostrivel {

namespace {

constexpr std::size_t kDayKeyLength = 8;

bool endsWithJson(const std::string& name) {
  return name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
}

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// "<name>.<n>.tmp": a name, a dot, decimal digits, ".tmp".
bool isAtomicWriteLeftover(const std::string& name) {
  constexpr std::size_t kTmp = 4;
  if (name.size() <= kTmp || name.compare(name.size() - kTmp, kTmp, ".tmp") != 0) {
    return false;
  }
  const std::size_t digitsEnd = name.size() - kTmp;
  const std::size_t dot = name.rfind('.', digitsEnd - 1);
  return dot != std::string::npos && dot > 0 && dot + 1 < digitsEnd &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1,
                     name.begin() + static_cast<std::ptrdiff_t>(digitsEnd), isDigit);
}

}  // namespace

std::string fileName(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) {
    return directory + name;
  }
  return directory + "\\" + name;
}

std::vector<std::string> listJson(FileSystem& fs, const std::string& directory) {
  std::vector<std::string> names = fs.list(directory);
  std::erase_if(names, [](const std::string& name) { return !endsWithJson(name); });
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    name = joinPath(directory, name);
  }
  return names;
}

std::string fileDayKey(const std::string& name) {
  const auto first = std::find_if(name.begin(), name.end(), isDigit);
  if (static_cast<std::size_t>(name.end() - first) < kDayKeyLength ||
      !std::all_of(first, first + kDayKeyLength, isDigit)) {
    return {};
  }
  return std::string(first, first + kDayKeyLength);
}

bool moveInto(FileSystem& fs, const std::string& path, const std::string& directory) {
  if (!fs.ensureDirectory(directory)) {
    return false;
  }
  return fs.move(path, joinPath(directory, fileName(path)));
}

std::int32_t purgeOldDays(FileSystem& fs, const std::string& directory, std::int32_t keepDays) {
  if (keepDays < 1) {
    return 0;
  }
  const std::vector<std::string> files = listJson(fs, directory);
  std::set<std::string> days;
  for (const auto& file : files) {
    if (std::string day = fileDayKey(fileName(file)); !day.empty()) {
      days.insert(std::move(day));
    }
  }
  if (days.size() <= static_cast<std::size_t>(keepDays)) {
    return 0;
  }
  // The oldest of the newest keepDays days: everything dated before it goes.
  const std::string cutoff = *std::next(days.begin(), static_cast<std::ptrdiff_t>(days.size()) - keepDays);
  std::int32_t removed = 0;
  for (const auto& file : files) {
    const std::string day = fileDayKey(fileName(file));
    if (!day.empty() && day < cutoff && fs.remove(file)) {
      ++removed;
    }
  }
  return removed;
}

std::int32_t removeStaleTemporaries(FileSystem& fs, const std::string& directory, std::int64_t nowMs) {
  constexpr std::int64_t kStaleAfterMs = 60'000;
  std::int32_t removed = 0;
  for (const TemporaryFile& file : fs.listTemporary(directory)) {
    if (isAtomicWriteLeftover(file.name) && nowMs - file.writtenAtMs >= kStaleAfterMs &&
        fs.remove(joinPath(directory, file.name))) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace ostrivel
