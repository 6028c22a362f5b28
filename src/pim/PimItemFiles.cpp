#include "pim/PimIndex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <fcntl.h>
#include <pcre2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "base/Strings.h"
#include "platform/FileStore.h"
#include "platform/RegularFile.h"

namespace tvrn::pimstore {

// A repeating event is followed this far when the index is built to find where it ends; one that
// goes on longer counts as endless.
constexpr int kBoundSteps = 2000;
// Item files are read on up to this many threads at once, each given this many at least.
constexpr size_t kMaxLoadThreads = 8;
constexpr size_t kFilesPerThread = 32;

PimError problem(PimError::Code code, std::string message) { return {code, std::move(message)}; }

PimError notSaved(const std::string& why) {
  return problem(PimError::Code::storage, "The change could not be saved: " + why);
}

struct CaselessText::Compiled {
  pcre2_code* code = nullptr;
  pcre2_match_data* match = nullptr;
  ~Compiled() {
    pcre2_match_data_free(match);
    pcre2_code_free(code);
  }
};

CaselessText::CaselessText(std::string_view needle, bool whole)
    : compiled_(std::make_unique<Compiled>()) {
  if (needle.empty()) return;
  uint32_t options = PCRE2_LITERAL | PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
  if (whole) options |= PCRE2_ANCHORED | PCRE2_ENDANCHORED;
  int error = 0;
  PCRE2_SIZE offset = 0;
  compiled_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(needle.data()), needle.size(),
                                  options, &error, &offset, nullptr);
  if (compiled_->code != nullptr) {
    compiled_->match = pcre2_match_data_create_from_pattern(compiled_->code, nullptr);
  }
}

CaselessText::~CaselessText() = default;

bool CaselessText::in(std::string_view haystack) const {
  if (compiled_->code == nullptr || compiled_->match == nullptr) return false;
  return pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(haystack.data()),
                     haystack.size(), 0, 0, compiled_->match, nullptr) >= 0;
}

std::optional<Identity> identify(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

std::optional<std::vector<double>> colorOf(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  unsigned r = 0, g = 0, b = 0;
  if (text.size() < 7 || text[0] != '#' ||
      std::sscanf(text.c_str() + 1, "%2x%2x%2x", &r, &g, &b) != 3) {
    return std::nullopt;
  }
  return std::vector<double>{r / 255.0, g / 255.0, b / 255.0};
}

std::string colorText(const std::vector<double>& color) {
  char out[16];
  auto channel = [&](size_t i) {
    const double v = i < color.size() ? color[i] : 0.0;
    return static_cast<unsigned>(std::clamp(v, 0.0, 1.0) * 255.0);
  };
  std::snprintf(out, sizeof out, "#%02X%02X%02X", channel(0), channel(1), channel(2));
  return out;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

std::string fileNameFor(const std::string& uid, const char* extension) {
  std::string name;
  for (char c : uid) name += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name + extension;
}

bool isTemporaryOfOurs(const std::string& name) {
  // FileStore::writeAtomic writes ".<file>.XXXXXX" beside the file.
  if (name.size() < 12 || name[0] != '.') return false;
  const std::string_view rest(name);
  return rest.find(".ics.") != std::string_view::npos ||
         rest.find(".vcf.") != std::string_view::npos;
}

namespace {

// Writes of ours under way in this process: while one is, a temporary file may be its own.
std::atomic<int> writesInFlight{0};

}  // namespace

void removeLeftover(const fs::path& temporary) {
  if (writesInFlight != 0) return;
  std::error_code ignored;
  fs::remove(temporary, ignored);
}

std::optional<mode_t> modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_mode & 07777;
}

bool writeFile(const fs::path& file, const std::string& text, std::string* why, mode_t newMode,
               const std::function<bool()>& stillWanted) {
  ++writesInFlight;
  const bool written =
      FileStore::writeAtomic(file, text, modeOf(file).value_or(newMode), why, stillWanted);
  --writesInFlight;
  return written;
}

std::optional<ICalItem> parseItem(const fs::path& file, const std::string& text, std::string* why) {
  auto item = ICalItem::parse(text, why);
  if (item) item->setOrigin(file);
  return item;
}

namespace {

PimTime later(PimTime time, PimTime::duration by) {
  return time > PimTime::max() - by ? PimTime::max() : time + by;
}

// The first start and the last end a repeating event's occurrences can have.
std::pair<PimTime, PimTime> spanOf(const ICalItem& item, const Event& series) {
  PimTime first = series.start, last = series.end;
  for (PimTime original : item.changedOriginals()) {
    const Event occurrence = item.occurrenceAt(original);
    first = std::min(first, occurrence.start);
    last = std::max(last, occurrence.end);
  }
  for (const auto& [start, end] : item.periods()) {
    first = std::min(first, start);
    last = std::max(last, end);
  }
  const auto& rule = series.recurrence;
  if (rule && !rule->occurrenceCount && !rule->endDate) return {first, PimTime::max()};
  const auto length = series.end - series.start;
  auto cursor = item.cursor(PimTime::min());
  for (int step = 0; step < kBoundSteps; ++step) {
    const auto original = cursor.next();
    // One that could not be followed to its end may go on past where it was given up.
    if (!original) return {first, cursor.cut() ? PimTime::max() : last};
    first = std::min(first, *original);
    last = std::max(last, later(*original, length));
  }
  return {first, PimTime::max()};
}

// "2", "2 and 5", "2, 5 and 7": cards as a person counts them.
std::string cardNumbers(const std::vector<size_t>& cards) {
  std::string text;
  for (size_t i = 0; i < cards.size(); ++i) {
    if (i > 0) text += i + 1 == cards.size() ? " and " : ", ";
    text += std::to_string(cards[i] + 1);
  }
  return text;
}

// Every card of the file with a UID is an item: the first into `entry`, the others into its
// moreCards. The cards that cannot be items are named in one warning, or, when none can, in `why`.
void readCards(const fs::path& file, const std::string& text, Entry& entry, std::string& why,
               PimWarnings& warnings) {
  bool unfinished = false;
  auto cards = VCard::parseAll(text, &unfinished);
  std::vector<size_t> withoutUid;
  for (size_t i = 0; i < cards.size(); ++i) {
    auto decoded = std::make_unique<VCard::Decoded>(VCard::decode(cards[i]));
    if (decoded->contact.id.empty()) {
      withoutUid.push_back(i);
      continue;
    }
    Entry& item = entry.parsed ? entry.moreCards.emplace_back() : entry;
    item.parsed = true;
    item.identity = entry.identity;
    item.uid = decoded->contact.id;
    item.card = i;
    item.decoded = std::move(decoded);
  }
  if (!entry.parsed) {
    if (cards.empty()) {
      why = unfinished ? "its card has no END:VCARD" : "it holds no vCard";
    } else {
      why =
          cards.size() == 1 && !unfinished ? "its card has no UID" : "none of its cards has a UID";
    }
    return;
  }
  std::vector<std::string> skipped;
  if (!withoutUid.empty()) {
    skipped.push_back(std::string(withoutUid.size() == 1 ? "card " : "cards ") +
                      cardNumbers(withoutUid) + " of " +
                      std::to_string(cards.size() + (unfinished ? 1 : 0)) +
                      (withoutUid.size() == 1 ? " has" : " have") + " no UID");
  }
  if (unfinished) skipped.push_back("its last card has no END:VCARD");
  if (skipped.empty()) return;
  warnings.push_back("Personal data file " + file.string() + ": " + Strings::joined(skipped, "; ") +
                     "; those cards are skipped, the others listed, and the file is left as it "
                     "is");
}

}  // namespace

const Entry* cardIn(const Entry& file, size_t card) {
  if (file.decoded && file.card == card) return &file;
  for (const Entry& other : file.moreCards) {
    if (other.card == card) return &other;
  }
  return nullptr;
}

Entry PimIndex::load(const fs::path& file, bool calendars, const Entry* before,
                     PimWarnings& warnings) {
  std::vector<Load> one(1);
  one.front().name = file.filename().string();
  one.front().before = before;
  loadAll(file.parent_path(), calendars, one, warnings);
  return std::move(one.front().entry);
}

void PimIndex::loadAll(const fs::path& folder, bool calendars, std::vector<Load>& loads,
                       PimWarnings& warnings, bool stoppable) {
  const size_t threads = std::clamp<size_t>(
      std::min<size_t>(std::thread::hardware_concurrency(), loads.size() / kFilesPerThread), 1,
      kMaxLoadThreads);
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < loads.size(); i = next++) {
      if (stoppable && stopped_) return;
      Load& load = loads[i];
      load.read = true;
      if (beforeRead_) beforeRead_(folder / load.name);
      try {
        load.entry = read(folder / load.name, calendars, load.before, load.warnings);
      } catch (const std::exception& e) {  // no memory left for it: tried again at the next use
        load.entry = Entry{};
        load.entry.readError = (folder / load.name).string() + " could not be read: " + e.what();
      }
    }
  };
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < threads; ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();
  std::erase_if(loads, [](const Load& load) { return !load.read; });
  // A card keeps its place when the card in the same place of its file had one.
  const auto orderOf = [&](const Entry* before) {
    return before && before->order != 0 ? before->order : ++nextOrder;
  };
  for (auto& load : loads) {
    load.entry.order = orderOf(load.before);
    for (size_t i = 0; i < load.entry.moreCards.size(); ++i) {
      const bool had = load.before && i < load.before->moreCards.size();
      load.entry.moreCards[i].order = orderOf(had ? &load.before->moreCards[i] : nullptr);
    }
    for (auto& warning : load.warnings) warnings.push_back(std::move(warning));
  }
}

Entry PimIndex::read(const fs::path& file, bool calendars, const Entry* before,
                     PimWarnings& warnings) {
  Entry entry;
  entry.identity = identify(file);
  auto text = readFolderFile(file, kMaxItemBytes);
  if (!text) {
    if (!text.error().lasting) entry.identity.reset();  // tried again at the next use
    entry.readError = file.string() + " could not be read: " + text.error().reason;
    // One gone since the folder was listed is dropped at the next look, unsaid.
    if (!text.error().missing && (!before || before->readError != entry.readError)) {
      warnings.push_back("Personal data file " + *entry.readError + "; it is skipped");
    }
    return entry;
  }
  std::string why;
  if (calendars) {
    std::vector<std::string> leftOut;
    if (auto item = ICalItem::parse(text.value(), &why, ICalItem::Use::reading, &leftOut)) {
      for (const auto& occurrence : leftOut) {
        warnings.push_back("Personal data file " + file.string() + ": " + occurrence +
                           "; the rest is listed, and the file is left as it is");
      }
      for (const auto& rule : item->misplacedRuleParts()) {
        warnings.push_back("Personal data file " + file.string() + ": " + rule +
                           "; its occurrences are listed so, and the file is left as it is");
      }
      entry.parsed = true;
      entry.uid = item->uid();
      entry.task = item->isTask();
      entry.repeats = !entry.task && item->repeats();
      if (entry.task) {
        entry.reminder = std::make_unique<Reminder>(item->reminder());
      } else {
        entry.series = item->event();
      }
      if (entry.repeats) {
        std::tie(entry.firstStart, entry.lastEnd) = spanOf(*item, entry.series);
        item->setOrigin(file);  // for the warnings about it
        entry.repeating = std::make_shared<const SeriesState>(std::move(*item));
      }
    }
  } else {
    readCards(file, text.value(), entry, why, warnings);
  }
  if (!entry.parsed) {
    entry.damage = why;
    warnings.push_back("Personal data file " + file.string() + " is skipped (" + why +
                       "); it is left as it is");
  }
  return entry;
}

namespace {

// Why `file` is not read as the user's: it is reached through a link of another user's, which is
// not followed, or is a file of another user's in a folder of the user's own, which they may have
// put there while it was open to them (in another user's folder, a calendar they share, it is
// theirs to keep). Otherwise the file opened.
Result<RegularFile, Unread> openAsUsers(const fs::path& file) {
  fs::path at = file;
  struct stat info {};
  if (::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    auto target = FileStore::throughLinks(file);
    if (!target) return fail(Unread{false, true, target.error()});
    at = std::move(target).value();
  }
  // A link put in place of what was looked at is not followed either.
  auto opened = RegularFile::openInFolder(AT_FDCWD, at.string());
  if (!opened) return fail(Unread{false, false, opened.error()});
  struct stat folder {};
  if (::fstat(opened.value().fd(), &info) != 0 || FileStore::trusted(info.st_uid) ||
      ::stat(at.parent_path().c_str(), &folder) != 0 || folder.st_uid != ::geteuid()) {
    return std::move(opened).value();
  }
  return fail(Unread{false, true,
                     "a file owned by " + FileStore::ownerName(info.st_uid) +
                         ", not by this user or root, in a folder of this user's; not read"});
}

}  // namespace

Result<std::string, Unread> readFolderFile(const fs::path& file, size_t cap) {
  auto opened = openAsUsers(file);
  if (!opened && opened.error().lasting) return fail(opened.error());
  auto text = opened ? opened.value().readAll(cap)
                     : Result<std::string, std::string>(fail(opened.error().reason));
  if (text) return std::move(text.value());
  Unread error{false, false, text.error()};
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0) {
    error.lasting = !S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(cap);
    return fail(std::move(error));
  }
  const int code = errno;
  if (::lstat(file.c_str(), &info) != 0) {
    error.missing = errno == ENOENT || errno == ENOTDIR;
  } else if (S_ISLNK(info.st_mode) && code == ENOENT) {
    error.reason = "what it links to is missing";
  }
  return fail(std::move(error));
}

Result<std::string, PimError> PimIndex::readItemText(const fs::path& file) {
  auto text = readFolderFile(file, kMaxItemBytes);
  if (text) return std::move(text.value());
  if (text.error().missing) return fail(changedMeanwhile());
  return fail(notSaved(file.string() + " could not be read: " + text.error().reason));
}

}  // namespace tvrn::pimstore
