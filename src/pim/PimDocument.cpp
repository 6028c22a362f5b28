#include "pim/PimDocument.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/FileStore.h"

namespace tvrn {
void emitPimWarnings(const PimWarnings& warnings, const PimWarningHandler& handler) {
  for (const auto& line : warnings) {
    if (handler) {
      handler(line);
    } else {
      std::fprintf(stderr, "WARN  [pim] %s\n", line.c_str());
    }
  }
}

bool PimDocument::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

PimDocument::PimDocument(std::string fileName, Check check)
    : fileName_(std::move(fileName)), check_(std::move(check)) {}

std::optional<PimDocument::Identity> PimDocument::identify(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

const nlohmann::json& PimDocument::read(const std::filesystem::path& folder,
                                        PimWarnings& warnings) {
  const auto file = folder / fileName_;
  if (file != path_ || readError_ || identify(file) != identity_) load(file, warnings);
  return content_;
}

void PimDocument::load(const std::filesystem::path& file, PimWarnings& warnings) {
  path_ = file;
  content_ = nlohmann::json::object();
  problem_.reset();
  readError_.reset();
  // Taken before the read, so a change made while reading is seen at the next use.
  identity_ = identify(file);

  FileStore::ReadError error;
  auto text = FileStore::read(file, &error);
  if (!text && !error.missing) {
    // Not remembered with the file's identity: the next use tries again.
    identity_.reset();
    readError_ = file.string() + " could not be read: " + error.reason;
    if (reportedReadError_ != readError_) {
      reportedReadError_ = readError_;
      warnings.push_back("Personal data file " + file.string() + " could not be read (" +
                         error.reason +
                         "); it reads as empty and is not changed until it can be "
                         "read");
    }
    return;
  }
  reportedReadError_.reset();
  if (!text) return;
  auto parsed = nlohmann::json::parse(*text, nullptr, false);
  if (parsed.is_discarded()) {
    problem_ = "it is not valid JSON";
  } else if (!parsed.is_object()) {
    problem_ = "it does not hold a JSON object";
  } else if (auto why = check_(parsed)) {
    problem_ = *why;
  } else {
    content_ = std::move(parsed);
  }
  if (problem_) {
    warnings.push_back("Personal data file " + file.string() + " is unusable (" + *problem_ +
                       "); it reads as empty and is moved aside before the next change");
  }
}

std::optional<std::string> PimDocument::moveAside(const std::filesystem::path& file,
                                                  PimWarnings& warnings) {
  std::string reason;
  const auto target = FileStore::moveAside(file, &reason);
  if (!target) return "cannot move the unusable " + file.string() + " aside: " + reason;
  warnings.push_back("Personal data file " + file.string() + " was unusable (" +
                     problem_.value_or("unknown") + "); moved aside as " + target->string());
  return std::nullopt;
}

std::optional<std::string> PimDocument::write(const std::filesystem::path& folder,
                                              const nlohmann::json& document,
                                              PimWarnings& warnings) {
  const auto file = folder / fileName_;
  // A document made from the empty stand-in for an unread file would replace all it holds, even
  // when the file could be read by now.
  if (readError_ && file == path_) return *readError_;
  if (file != path_ || identify(file) != identity_) load(file, warnings);
  if (readError_) return *readError_;
  // A link (into a folder of the user's own) stays one: the file it leads to is replaced.
  const auto target = FileStore::throughLinks(file);
  if (!target) return target.error();
  if (problem_) {
    if (auto failure = moveAside(target.value(), warnings)) return failure;
  }
  std::string error;
  const std::string bytes =
      document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (!FileStore::writeAtomic(target.value(), bytes, 0600, &error)) return error;
  content_ = document;
  identity_ = identify(file);
  problem_.reset();
  return std::nullopt;
}

}  // namespace tvrn
