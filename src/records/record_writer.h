// Serialises records and writes them atomically as "<name>.json" into a folder.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "infra/data.h"
#include "infra/file_system.h"

namespace ostrivel {

// One tab per level, non-ASCII as raw UTF-8, bytes that are not UTF-8 replaced by U+FFFD.
std::string serialiseRecord(const nlohmann::json& payload);

// Creates the folder with its parents, then writes the payload as <folder>\<name>.json through
// writeAtomic; false when either step fails (the record is then lost to the caller).
bool writeRecord(FileSystem& fileSystem, const Data& data, const std::string& outboxDir);

// writeRecord for the outbox, where a record never replaces one still queued: when a file of the
// record's name is there, it is written as <name>_2.json, <name>_3.json and so on. The suffix
// keeps kind and time in front, so it sorts after the first file of the name and is aged by the
// same day.
bool queueRecord(FileSystem& fileSystem, const Data& data, const std::string& outboxDir);

}  // namespace ostrivel
