// A file that many threads append whole lines to (the server log, the audit log). One lock makes
// each append whole and also covers the cut made when the file is configured, so no line is lost
// to the cut's rename.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

namespace tvrn {

class LineLog {
 public:
  using Cut = std::function<void(const std::filesystem::path&)>;

  // `recreate`: whether an append brings back a file removed while the process runs.
  explicit LineLog(bool recreate) : recreate_(recreate) {}

  // Points the log at `file`: its folder is made 0700 and the file 0600 (empty when missing),
  // then `cut` shortens it.
  void configure(const std::filesystem::path& file, const Cut& cut);

  // Does nothing until configured; a failed append is silent and the line is lost.
  void append(std::string_view line);

  // The file, once configured.
  std::optional<std::filesystem::path> file() const;

 private:
  const bool recreate_;
  mutable std::mutex lock_;  // guards file_ and every change to the file
  std::optional<std::filesystem::path> file_;
};

}  // namespace tvrn
