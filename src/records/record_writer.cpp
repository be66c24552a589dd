// Serialises records and writes them atomically as "<name>.json" into a folder.
#include "records/record_writer.h"

namespace ostrivel {

std::string serialiseRecord(const nlohmann::json& payload) {
  // Application keys come from ANSI image names and may not be UTF-8: replace, never throw.
  return payload.dump(1, '\t', false, nlohmann::json::error_handler_t::replace);
}

bool writeRecord(FileSystem& fileSystem, const Data& data, const std::string& outboxDir) {
  if (!fileSystem.ensureDirectory(outboxDir)) {
    return false;
  }
  std::string path = outboxDir;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') {
    path += '\\';
  }
  path += data.name + ".json";
  return fileSystem.writeAtomic(path, serialiseRecord(data.payload));
}

}  // namespace ostrivel
