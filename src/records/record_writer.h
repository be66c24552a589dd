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

}  // namespace ostrivel
