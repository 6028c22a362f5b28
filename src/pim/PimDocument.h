// One JSON file of the personal-data store, kept in memory while it is unchanged on disk. A file
// that does not hold a usable document is never written over: it is moved aside, with a warning,
// before a change replaces it. A file that is there but cannot be read at all (no descriptor
// left, an I/O error) is tried again at every use and never changed meanwhile.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tvrn {

using PimWarnings = std::vector<std::string>;

// Where a store or a privacy gate reports files it could not read or had to move aside, handed
// in by whoever builds it (the server hands in its log).
using PimWarningHandler = std::function<void(const std::string&)>;
// Hands each line to `handler`; without one the lines go to standard error.
void emitPimWarnings(const PimWarnings& warnings, const PimWarningHandler& handler);

class PimDocument {
 public:
  // Checks a parsed document (always an object); answers why it is unusable, or nothing.
  using Check = std::function<std::optional<std::string>(const nlohmann::json&)>;

  PimDocument(std::string fileName, Check check);

  // The document in `folder`, reread when the file changed; an empty object when the file is
  // missing, unusable (reported once in `warnings`) or could not be read (see readError()).
  const nlohmann::json& read(const std::filesystem::path& folder, PimWarnings& warnings);

  // Replaces the file with `document`, moving an unusable one aside first; a file that cannot be
  // read is left as it is. Answers the reason when nothing was written.
  std::optional<std::string> write(const std::filesystem::path& folder,
                                   const nlohmann::json& document, PimWarnings& warnings);

  // Has the next use read the file again, whatever its identity says.
  void forget() { path_.clear(); }

  const std::string& fileName() const { return fileName_; }
  // Why the file last read is unusable, or nothing.
  const std::optional<std::string>& problem() const { return problem_; }
  // Why the file could not be read at the last try, or nothing: its contents are unknown, so
  // what read() gave is no answer about them.
  const std::optional<std::string>& readError() const { return readError_; }

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const Identity& other) const;
  };

  static std::optional<Identity> identify(const std::filesystem::path& file);
  void load(const std::filesystem::path& file, PimWarnings& warnings);
  std::optional<std::string> moveAside(const std::filesystem::path& file, PimWarnings& warnings);

  std::string fileName_;
  Check check_;
  // Not guarded here: the owning store calls under its own mutex.
  std::filesystem::path path_;
  std::optional<Identity> identity_;
  nlohmann::json content_ = nlohmann::json::object();
  std::optional<std::string> problem_;
  std::optional<std::string> readError_;
  std::optional<std::string> reportedReadError_;  // said once until the file reads again
};

}  // namespace tvrn
