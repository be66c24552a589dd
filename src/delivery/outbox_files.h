// Names, listings, moves and day-based pruning of the JSON record files in the outbox and history.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "infra/file_system.h"

namespace ostrivel {

// The part after the last "\" or "/"; the whole path when it has neither.
std::string fileName(const std::string& path);
// dir + "\" + name, without a second separator when dir already ends in one.
std::string joinPath(const std::string& directory, const std::string& name);
// The ".json" files of dir (case-sensitive), sorted in plain byte order, joined to dir. Record
// names start with their kind and then the time, so this is every kind oldest first.
std::vector<std::string> listJson(FileSystem& fs, const std::string& directory);
// The eight digits from the first digit of the name on, or empty when fewer follow.
std::string fileDayKey(const std::string& name);
// Ensures dir, then moves the file into it, replacing one of the same name.
bool moveInto(FileSystem& fs, const std::string& path, const std::string& directory);
// Removes the files of all but the newest keepDays distinct days found among the names (not
// calendar days); files without a day key stay. Returns how many were removed.
std::int32_t purgeOldDays(FileSystem& fs, const std::string& directory, std::int32_t keepDays);
// Removes what writeAtomic leaves when its writer dies before the rename ("<name>.<n>.tmp"), once
// it is a minute old: a younger one may be the write of another process at work. Other ".tmp"
// files stay. Returns how many were removed.
std::int32_t removeStaleTemporaries(FileSystem& fs, const std::string& directory, std::int64_t nowMs);

}  // namespace ostrivel
