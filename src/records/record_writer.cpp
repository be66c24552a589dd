// Serialises records and writes them atomically as "<name>.json" into a folder.
#include "records/record_writer.h"

#include <cstdint>
#include <set>
#include <vector>

namespace ostrivel {

std::string serialiseRecord(const nlohmann::json& payload) {
  // Application keys come from ANSI image names and may not be UTF-8: replace, never throw.
  return payload.dump(1, '\t', false, nlohmann::json::error_handler_t::replace);
}

namespace {

bool writeNamed(FileSystem& fileSystem, const nlohmann::json& payload, const std::string& name,
                const std::string& outboxDir) {
  if (!fileSystem.ensureDirectory(outboxDir)) {
    return false;
  }
  std::string path = outboxDir;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') {
    path += '\\';
  }
  path += name + ".json";
  return fileSystem.writeAtomic(path, serialiseRecord(payload));
}

}  // namespace

bool writeRecord(FileSystem& fileSystem, const Data& data, const std::string& outboxDir) {
  return writeNamed(fileSystem, data.payload, data.name, outboxDir);
}

bool queueRecord(FileSystem& fileSystem, const Data& data, const std::string& outboxDir) {
  const std::vector<std::string> listed = fileSystem.list(outboxDir);
  const std::set<std::string> taken(listed.begin(), listed.end());
  std::string name = data.name;
  for (std::uint64_t n = 2; taken.count(name + ".json") > 0; ++n) {
    name = data.name + "_" + std::to_string(n);
  }
  return writeNamed(fileSystem, data.payload, name, outboxDir);
}

}  // namespace ostrivel
