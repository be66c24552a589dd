// The seam through which the agent touches files: outbox, history, identity file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ostrivel {

// A ".tmp" file of a folder and when it was last written, in ms since the Unix epoch.
struct TemporaryFile {
  std::string name;
  std::int64_t writtenAtMs = 0;
};

// Contract: no operation throws for an ordinary failure; each reports success as a boolean or an
// empty result. Paths are narrow texts. writeAtomic, read, remove, move, list and ensureDirectory
// may be called from any thread; watch and unwatch from one thread only.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Calls back (on a thread of its own) within about a second of a file in dir being created,
  // renamed, deleted or written. Creates dir first when it is missing.
  virtual void watch(const std::string& directory, std::function<void()> callback) = 0;
  // Stops and joins every watch.
  virtual void unwatch() = 0;
  // Creates dir and its missing parents; true when it exists afterwards.
  virtual bool ensureDirectory(const std::string& directory) = 0;
  // Readers see the old content or the whole new one, never a part; true when the file is in
  // place, and then on disk: a power cut after it leaves the new content. The content goes
  // first into "<path>.<n>.tmp" (n numbers the writes of a process), which a killed writer
  // leaves behind.
  virtual bool writeAtomic(const std::string& path, const std::string& content) = 0;
  // The whole file byte for byte; no value when it cannot be opened.
  virtual std::optional<std::string> read(const std::string& path) = 0;
  // True only when a file was removed.
  virtual bool remove(const std::string& path) = 0;
  // Replaces an existing target.
  virtual bool move(const std::string& from, const std::string& to) = 0;
  // Names (not paths) of the regular files in dir, ".tmp" files left out, in no promised order.
  virtual std::vector<std::string> list(const std::string& directory) = 0;
  // Adds content at the end of the file, made when missing; others may append meanwhile. False
  // when nothing was written, among others when the file or its folder is not what its name says.
  virtual bool append(const std::string& path, const std::string& content) = 0;
  // The ".tmp" files that list leaves out, with their last-write times; links are left out too.
  virtual std::vector<TemporaryFile> listTemporary(const std::string& directory) = 0;
};

}  // namespace ostrivel
