// A file that many threads append whole lines to (the server log). One lock makes each append
// whole and also covers the cuts, made once cutting starts and whenever the file grows past its
// cap, so no line of this process is lost to a cut's rename.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

namespace tvrn {

class LineLog {
 public:
  using Cut = std::function<void(const std::filesystem::path&)>;

  // `recreate`: whether an append brings back a file removed while the process runs. With a cap,
  // an append that takes the file past `capBytes` has the configured cut shorten it again, so
  // the file stays bounded however long the process runs; the cut must leave it well below.
  explicit LineLog(bool recreate, std::optional<std::uintmax_t> capBytes = std::nullopt)
      : recreate_(recreate), capBytes_(capBytes) {}

  // Points the log at `file`: its folder is made 0700 and the file 0600 (empty when missing);
  // with a `cut`, cutting starts at once (cutWith).
  void configure(const std::filesystem::path& file, Cut cut = {});

  // From now on `cut` shortens the configured file: at once, and whenever it grows past the cap.
  // Without it the file is only appended to. Of the processes that append to one file only one
  // may cut it: a cut renames a shortened copy over the file, so a line another process appends
  // meanwhile goes with the old one.
  void cutWith(Cut cut);

  // Does nothing until configured; a failed append is silent and the line is lost.
  void append(std::string_view line);

  // The file, once configured.
  std::optional<std::filesystem::path> file() const;

 private:
  // Under lock_.
  void startCutting(Cut cut);
  // Cuts the file when it has passed the cap; under lock_.
  void keepUnderCap();

  const bool recreate_;
  const std::optional<std::uintmax_t> capBytes_;
  mutable std::mutex lock_;  // guards the members below and every change to the file
  std::optional<std::filesystem::path> file_;
  Cut cut_;  // empty while this process does not cut the file
  // The file's size as last seen plus what this process appended since; other processes'
  // appends show when it is looked at again, at the cap.
  std::uintmax_t size_ = 0;
  std::uintmax_t lookAt_ = 0;  // the size at which the file is looked at again
};

}  // namespace tvrn
