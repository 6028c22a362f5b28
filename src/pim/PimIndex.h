// What the personal-data store knows of the user's vdir folders: one compact entry per item file
// (the records the listings return, the file's identity and the span it covers), found by folder,
// by UID and by time, and kept current item by item from what the kernel reports of the folders.
// Shared by the store's query and write files; nothing outside the store includes it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pim/ICalItem.h"
#include "pim/PimDocument.h"
#include "pim/PimStore.h"
#include "pim/PimWatcher.h"
#include "pim/VCard.h"

namespace tvrn::pimstore {

namespace fs = std::filesystem;

inline constexpr const char* kKindFile = "tavrin-kind";
// A collection's title, colour or kind is a line; a metadata file longer than this is not read.
inline constexpr size_t kMaxMetadataBytes = 64 * 1024;
// Metadata files and the folders made for collections are private.
inline constexpr mode_t kPrivateFile = 0600;
inline constexpr mode_t kPrivateFolder = 0700;
// A new item in a collection without others is made as other programs make theirs: this, less
// the umask (022 when it cannot be read).
inline constexpr mode_t kNewItemFile = 0644;
inline constexpr mode_t kUsualMask = 022;

PimError problem(PimError::Code code, std::string message);
PimError notSaved(const std::string& why);

// Finds text regardless of case (Unicode case folding), as a part or as the whole.
class CaselessText {
 public:
  CaselessText(std::string_view needle, bool whole);
  ~CaselessText();
  CaselessText(const CaselessText&) = delete;
  CaselessText& operator=(const CaselessText&) = delete;
  bool in(std::string_view haystack) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

// What tells a file changed: the same path can be a new file (replaced) or the same one
// rewritten in place.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  bool operator==(const Identity& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

std::optional<Identity> identify(const fs::path& path);

// A series' occurrences that fall in one window, worked out once and kept until the item
// changes: the window's listing is served from it without libical.
struct Expansion {
  PimTime from, to;
  // With the position that orders equal starts of one item: changed occurrences first, then the
  // rule's in order.
  std::vector<std::pair<Event, long>> occurrences;
  bool tooMany = false;  // more than are kept: the window is followed occurrence by occurrence
  bool cut = false;      // its rule was given up before the window's end (see RecurrenceWalk)
};

// A repeating event's parsed file and the last window worked out of it.
class SeriesState {
 public:
  explicit SeriesState(ICalItem item) : item_(std::move(item)) {}
  // Runs `use` on the parsed file: libical's reads move iterators kept inside it, so readers
  // take turns.
  template <typename Use>
  auto with(Use&& use) const {
    std::lock_guard lock(mutex_);
    return use(item_);
  }
  std::shared_ptr<const Expansion> kept(PimTime from, PimTime to) const {
    std::lock_guard lock(mutex_);
    return last_ && last_->from == from && last_->to == to ? last_ : nullptr;
  }
  void keep(std::shared_ptr<const Expansion> made) const {
    std::lock_guard lock(mutex_);
    last_ = std::move(made);
  }
  // The warning a listing gives where it could not follow the rule to the window's end: once for
  // the file as it is, not at every listing.
  std::optional<std::string> cutWarning() const {
    std::lock_guard lock(mutex_);
    if (std::exchange(warned_, true)) return std::nullopt;
    return "Personal data file " + item_.origin().string() +
           ": its repeating rule gives too few occurrences for the work to find them to follow "
           "it further in one listing; the occurrences found until then are listed, and the file "
           "is left as it is";
  }

 private:
  mutable std::mutex mutex_;  // guards item_, last_ and warned_
  ICalItem item_;
  mutable std::shared_ptr<const Expansion> last_;
  mutable bool warned_ = false;
};

// One item file as last read: what the listings return, without the parsed file, except for a
// repeating event, whose occurrences are worked out from it. A file of several cards gives one
// for each; the first holds the others.
struct Entry {
  std::optional<Identity> identity;
  std::optional<std::string> readError;  // "<file> could not be read: ..."; tried again unless
                                         // the identity is kept
  std::optional<std::string> damage;     // why it does not read as an item
  std::string uid;
  long order = 0;  // when the store first saw it: the order of listings
  bool parsed = false;
  bool task = false;
  bool repeats = false;
  Event series;                             // an event item's own record
  std::unique_ptr<Reminder> reminder;       // a task's
  std::unique_ptr<VCard::Decoded> decoded;  // a card's
  size_t card = 0;                          // a card's place among the cards of its file, from 0
  // The cards of the file after the first that serves, each an item of its own (an address book
  // exported into one file).
  std::vector<Entry> moreCards;
  std::shared_ptr<const SeriesState> repeating;  // a repeating event's
  PimTime firstStart{}, lastEnd{};               // what a repeating event can cover
  bool isEvent() const { return parsed && !task && !decoded; }
};

enum class Kind { events, tasks, contacts };

// The item of a file read as `file` that holds its card `card`; nothing when none does.
const Entry* cardIn(const Entry& file, size_t card);

// A calendar, reminder list or address book folder.
struct Collection {
  fs::path folder;
  std::string id;
  std::string account;  // the name of the folder that holds it, which its listings show
  Kind kind = Kind::events;
  std::string title;
  std::optional<std::vector<double>> color;
  std::optional<Identity> identity;
  std::optional<std::string> readError;  // some of it could not be read: looked at again
  std::vector<std::string> problems;     // what of its folder could not be read, as last said
  bool writable = true;
  // Its folder was listed at least once: one never read is not offered, one read before keeps
  // what it held then.
  bool listed = false;
  std::map<std::string, Entry> entries;  // by file name
  long order = 0;                        // when the store first saw it: the order of listings
  std::optional<std::string> marked;     // what its kind file says it is for
  long events = 0, tasks = 0;            // how many items of each it holds
  int watch = -1;                        // the kernel's watch on the folder, if it took one
  // Not marked, and empty (until its first item) or holding events and tasks alike: offered as a
  // calendar and as a reminder list.
  bool both = false;
  // Single events by start; a longer event than kShortSpan is kept apart, with the series.
  std::multimap<PimTime, const Entry*> byStart;
  std::set<const Entry*> wide;
  bool isOf(Kind wanted) const { return kind == wanted || (both && wanted != Kind::contacts); }
};

// An event longer than this is not found by its start alone.
inline constexpr auto kShortSpan = std::chrono::hours(24 * 8);

std::optional<std::vector<double>> colorOf(std::string text);
std::string colorText(const std::vector<double>& color);
std::string trimmed(std::string text);
// A UID as a file name: what a path cannot hold becomes '_'.
std::string fileNameFor(const std::string& uid, const char* extension);
bool isTemporaryOfOurs(const std::string& name);
// Removes a temporary file of ours unless a write of this process is under way: every write
// finishes under the update mutex an index update runs under, so one found then is left from a
// process that ended mid-write.
void removeLeftover(const fs::path& temporary);
std::optional<mode_t> modeOf(const fs::path& path);
// Replaces a file keeping its mode (a new one gets `newMode`). `stillWanted`, when given, is
// asked just before the replacement; nothing is written when it answers false.
bool writeFile(const fs::path& file, const std::string& text, std::string* why,
               mode_t newMode = kPrivateFile, const std::function<bool()>& stillWanted = {});
// Why a file of the user's folders gave no text.
struct Unread {
  bool missing = false;  // nothing is at the path (a link to nothing is something)
  // What is there is no file to read (not a regular one, or too large) until it changes, so it
  // is not tried again meanwhile; any other failure may pass.
  bool lasting = false;
  std::string reason;
};
// An item or metadata file of the user's folders, read so that nothing a folder holds can hang
// or flood the store: only a regular file, links followed, opened without waiting, and at most
// `cap` bytes. A link of another user's is not followed, and a file another user owns in a folder
// of the user's own is not read: both are refused (`lasting`) until they change.
Result<std::string, Unread> readFolderFile(const fs::path& file, size_t cap);
// An item read from `file` to be changed: it is written back into the file's own text, and the
// messages about it name that file. Nothing, and why, when it cannot be.
std::optional<ICalItem> parseItem(const fs::path& file, const std::string& text, std::string* why);

// The configured calendar and contact folders, resolved from the settings handed in.
struct Roots {
  std::vector<fs::path> of[2];  // calendars, contacts
};

class PimIndex {
 public:
  // `beforeReplace` and `beforeRead` (each may be empty) run just before an item file is
  // replaced or read.
  PimIndex(std::shared_mutex& guard, std::function<void(const fs::path&)> beforeReplace,
           std::function<void(const fs::path&)> beforeRead)
      : guard_(guard),
        beforeReplace_(std::move(beforeReplace)),
        beforeRead_(std::move(beforeRead)) {}

  std::map<std::string, Collection> collections;  // by folder path: calendars, lists, books
  long nextOrder = 0;
  fs::path folder;  // the store's own folder
  Roots roots;      // the calendar and contact folders last configured

  fs::path defaultsFile() const { return folder / "defaults.json"; }

  // Whether the folders may have changed since the index was last brought up to date: a change
  // the kernel reported, a folder it does not watch, a file that could not be read.
  bool stale(const fs::path& storeFolder, const std::shared_ptr<const nlohmann::json>& settings);
  // Brings the index up to date, reading only what changed; holds the exclusive lock only while
  // it puts what it read in place. A fresh store's default folders are made only when `makeFresh`
  // and the settings are known (not null).
  void update(const fs::path& storeFolder, const std::shared_ptr<const nlohmann::json>& settings,
              PimWarnings& warnings, bool makeFresh = true);
  // Ends every update, now and later, once the files being read are read (see PimStore::stop).
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }
  // Whether a walk of every folder is under way that has read the folders of `kind`, as these
  // settings name them, and leaves them alone until it ends (under either lock): a call of that
  // kind may take the index as it stands. Calendars and reminder lists are one kind here.
  bool readAlready(Kind kind, const fs::path& storeFolder,
                   const std::shared_ptr<const nlohmann::json>& settings) const;
  // A count that moves on whenever a walk has read the folders of a kind or a turn at the
  // store's update mutex ends (under neither lock), and a wait until it moved on from `seen`.
  unsigned long progress() const;
  void awaitProgress(unsigned long seen) const;
  void noteProgress();

  // ---- finding (under either lock)
  const Collection* collection(std::string_view id, std::optional<Kind> kind = {}) const;
  Collection* collection(std::string_view id, std::optional<Kind> kind = {});
  // The items of a kind (events, tasks or cards) in the collections that serve it that an
  // identifier fits: those whose UID it is, and the one it names in the form idOf gives when
  // items share a UID.
  std::vector<std::pair<Collection*, const Entry*>> items(std::string_view id, Kind kind) const;
  // The identifier of an item: its UID, unless another item of its kind has that UID too; then
  // the UID, '#' and the name of its collection's folder (and '/' and its file's name when that
  // does not tell them apart either; when neither does, the folder's path in place of its name).
  std::string idOf(const Collection& c, const Entry& entry) const;
  // Why the file named for this UID could not be read, when there is one that could not: a
  // lookup that finds nothing names it rather than answering "not found". The other items' files
  // have no say in it.
  std::optional<std::string> unreadableFileOf(std::string_view uid, bool card) const;
  // The collections of a kind in the order the store first saw them.
  std::vector<const Collection*> ofKind(Kind kind) const;
  std::vector<std::pair<const Collection*, const Entry*>> inOrder(Kind kind) const;
  // As a calendar or reminder list: one that serves both is either, as it is asked for.
  Calendar calendarOf(const Collection& c, std::optional<Kind> as = {}) const;
  std::string nameOf(const Collection& c, const Entry& entry) const;
  std::string defaultFor(const char* key) const;
  // Records the default collection for `key`; the reason when the record could not be written.
  Result<void, std::string> setDefault(const char* key, const std::string& id);

  // ---- writing (by the one updater, holding the store's update mutex)

  // Writes an item file and takes it into the index at once. `expected` is what the file was
  // when its contents were read (nothing for a new file, which must not be there yet).
  [[nodiscard]] std::optional<PimError> write(Collection& c, const std::string& name,
                                              const std::string& text,
                                              const std::optional<Identity>& expected,
                                              PimWarnings& warnings);
  // The same for an item, read back before it is written (see itemText).
  [[nodiscard]] std::optional<PimError> write(Collection& c, const std::string& name,
                                              const ICalItem& item,
                                              const std::optional<Identity>& expected,
                                              PimWarnings& warnings);
  [[nodiscard]] std::optional<PimError> remove(Collection& c, const std::string& name,
                                               PimWarnings& warnings);
  // The text an item's `file` is to hold, read back first: a failure names the file the item was
  // read from (for a new item, the folder of `file`) and what is wrong, and nothing is written.
  static Result<std::string, PimError> itemText(const ICalItem& item, const fs::path& file);
  // A file that is left as it is, and why.
  static PimError leftAsItIs(const fs::path& file, const std::string& why);
  // Reads a collection folder again (after its metadata files were written).
  void rescan(const fs::path& folder, PimWarnings& warnings);

  static PimError changedMeanwhile();

  // The file's current contents as an item, for a change to be made to; its identity is what a
  // write checks against.
  template <typename Parsed, typename Parse>
  Result<std::pair<Parsed, std::optional<Identity>>, PimError> fresh(const Collection& c,
                                                                     const std::string& name,
                                                                     Parse parse) const {
    const fs::path file = c.folder / name;
    const auto identity = identify(file);
    auto text = readItemText(file);
    if (!text) return fail(text.error());
    std::string why;
    auto parsed = parse(file, text.value(), &why);
    if (!parsed) return fail(why.empty() ? changedMeanwhile() : leftAsItIs(file, why));
    return std::make_pair(std::move(*parsed), identity);
  }

 private:
  struct Scanned;
  void reset(const fs::path& to);
  void forgetWatches();
  void applyRoots(const std::shared_ptr<const nlohmann::json>& settings, PimWarnings& warnings);
  Roots rootsIn(const nlohmann::json& settings) const;
  // Whether a fresh store's default calendar folders (or contact folders) are still to be made.
  bool freshWanted(bool calendars) const;
  // Under the exclusive lock: every folder is to be walked again.
  void forgetWalk();
  void createFresh(bool calendars, PimWarnings& warnings);
  void walkRoots(PimWarnings& warnings);
  void walkRoot(const fs::path& root, Kind kind, std::set<std::string>& present,
                PimWarnings& warnings);
  void applyWatchReports(PimWarnings& warnings);
  void retryUnreadable(PimWarnings& warnings);
  void rescanFolder(const fs::path& path, Kind kind, PimWarnings& warnings);
  // Says once, while it lasts, why a folder is left out.
  void skipFolder(const fs::path& path, const std::string& why, PimWarnings& warnings);
  Scanned scanFolder(const Collection& c, PimWarnings& warnings);
  void adopt(Collection& c, Scanned&& scanned, PimWarnings& warnings);
  void settleKind(Collection& c);
  void refreshItems(Collection& c, const std::set<std::string>& names, PimWarnings& warnings);
  // An item file to read, and what it gave.
  struct Load {
    std::string name;
    const Entry* before = nullptr;  // what the file gave when last read
    Entry entry;
    PimWarnings warnings;
    bool read = false;
  };
  // Reads the files of a folder, several at once (libical takes most of the time), then gives
  // each new entry its place in the order the store first saw items and says the warnings, all
  // in the order given. Once the index is stopped, what was not read yet is left out of `loads`
  // where `stoppable`.
  void loadAll(const fs::path& folder, bool calendars, std::vector<Load>& loads,
               PimWarnings& warnings, bool stoppable = false);
  Entry load(const fs::path& file, bool calendars, const Entry* before, PimWarnings& warnings);
  // What the file gives, without its place in the order.
  static Entry read(const fs::path& file, bool calendars, const Entry* before,
                    PimWarnings& warnings);
  void put(Collection& c, const std::string& name, Entry&& entry, PimWarnings& warnings);
  void drop(Collection& c, std::map<std::string, Entry>::iterator at);
  void dropCollection(std::map<std::string, Collection>::iterator at);
  void track(Collection& c, const Entry& entry);
  void untrack(Collection& c, const Entry& entry);
  void forgetUid(const Collection& c, const Entry& entry);
  // Every item with this UID, of whichever kind, in the calendars or the address books.
  std::vector<std::pair<Collection*, const Entry*>> holders(std::string_view uid, bool card) const;
  bool watching(const Collection& c) const { return c.watch >= 0 && watcher_ && !overflowed_; }
  static Result<std::string, PimError> readItemText(const fs::path& file);
  // A new item takes the mode of the collection's other items, never writable by everyone.
  static mode_t itemMode(const Collection& c);

  std::shared_mutex& guard_;  // the store's: exclusive while the index changes
  const std::function<void(const fs::path&)> beforeReplace_;
  const std::function<void(const fs::path&)> beforeRead_;
  // Items by UID, in the calendars and in the address books: several may share one.
  std::unordered_multimap<std::string, std::pair<Collection*, Entry*>> byUid_[2];
  // Items that could not be read for a reason that may pass, by collection and name.
  std::set<std::pair<std::string, std::string>> unreadable_;
  std::map<fs::path, std::string> skipped_;  // folders left out and why, as last said
  std::unique_ptr<PimWatcher> watcher_;
  std::map<int, fs::path> rootWatches_;       // watch -> configured root
  std::map<int, std::string> folderWatches_;  // watch -> collection id
  bool overflowed_ = false;                   // reports were lost: every folder is walked once
  bool walked_ = false;  // the roots were walked since the store started or lost reports
  // The calendar and the contact roots, each walked whole since walked_ was last reset: while
  // walked_ is not set, a walk under way has read them.
  bool kindWalked_[2] = {false, false};
  std::atomic<bool> stopped_{false};
  mutable std::mutex progressMutex_;  // guards progress_
  mutable std::condition_variable progressed_;
  unsigned long progress_ = 0;
  std::shared_ptr<const nlohmann::json> settings_;  // the settings the roots were read from
};

}  // namespace tvrn::pimstore
