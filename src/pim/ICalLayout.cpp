#include "pim/ICalLayout.h"

#include <libical/ical.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "base/TextLines.h"
#include "base/Utf8.h"
#include "pim/ICalZones.h"

namespace tvrn {
namespace {

// Put after each line of a block read on its own, so that what libical makes of the block is
// told apart line by line.
constexpr const char* kLineMark = "X-TAVRIN-LINE-END";

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// What RFC 5545 allows a VEVENT or VTODO once, by group (see groupOf).
const std::set<std::string> kOnceOnly = {
    "CLASS",         "COMPLETED",         "CREATED",  "DESCRIPTION", "DTSTAMP",          "DTSTART",
    "GEO",           "LAST-MODIFIED",     "LOCATION", "ORGANIZER",   "PERCENT-COMPLETE", "PRIORITY",
    "RECURRENCE-ID", "SEQUENCE",          "STATUS",   "SUMMARY",     "TRANSP",           "UID",
    "URL",           "DTEND/DUE/DURATION"};

std::string nameOf(std::string_view line) {
  return upper(line.substr(0, line.find_first_of(";:")));
}

// Properties of which a component holds one between them (the ends of an event or a task) go
// by one name.
std::string groupOf(const std::string& name) {
  return name == "DTEND" || name == "DUE" || name == "DURATION" ? "DTEND/DUE/DURATION" : name;
}

// A line's value without the blanks around it, as libical reads it.
std::string trimmedValue(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  return std::string(value);
}

// The component's name; empty for one libical has no name for.
std::string kindName(icalcomponent* comp) {
  const char* name = icalcomponent_kind_to_string(icalcomponent_isa(comp));
  return name != nullptr ? name : "";
}

// Stands in a TZID parameter for one that must be quoted: libical quotes a value only for a ; : or
// , in it, so it would write a TZID with a blank at an end bare, and read that back without it.
constexpr const char* kQuotedTzid = "X-TAVRIN,QUOTED";

// The TZID of `prop`, when libical would not quote it but its reading needs the quotes; else empty.
std::string tzidToQuote(icalproperty* prop) {
  icalparameter* param = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER);
  const char* tzid = param != nullptr ? icalparameter_get_tzid(param) : nullptr;
  if (tzid == nullptr) return {};
  const std::string_view value(tzid);
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool plain = std::none_of(value.begin(), value.end(), [](char c) {
    return c == ';' || c == ':' || c == ',' || c == '"' || (c >= 0 && c < ' ' && c != '\t');
  });
  return plain && !value.empty() && (blank(value.front()) || blank(value.back())) ? tzid : "";
}

// The TZIDs `line` gives unquoted with blanks at an end ("TZID=Customized Time Zone :"), which
// libical reads without them.
std::vector<std::string> blankEndedTzids(std::string_view line) {
  std::vector<std::string> found;
  constexpr std::string_view kName = ";TZID=";
  bool quoted = false;  // within a parameter's quotes, where a colon does not begin the value
  for (size_t at = 0; at + kName.size() < line.size(); ++at) {
    if (line[at] == '"') quoted = !quoted;
    if (line[at] == ':' && !quoted) break;
    if (quoted || line[at] != ';' ||
        ::strncasecmp(line.data() + at, kName.data(), kName.size()) != 0) {
      continue;
    }
    const size_t from = at + kName.size();
    const size_t to = line.find_first_of(";:\"", from);
    if (to == std::string_view::npos || to == from || line[to] == '"') continue;
    const std::string_view value = line.substr(from, to - from);
    if (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
        value.back() == '\t') {
      found.emplace_back(value);
    }
  }
  return found;
}

// Gives the TZID parameter of `prop` the blanks at its ends that one of `spellings` has and
// libical left out, so that a time written beside it names the zone as the file does.
void keepTzidBlanks(icalproperty* prop, const std::vector<std::string>& spellings) {
  icalparameter* param = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER);
  const char* tzid = param != nullptr ? icalparameter_get_tzid(param) : nullptr;
  if (tzid == nullptr) return;
  for (const std::string& spelled : spellings) {
    if (ICalZones::withoutBlanks(spelled) == tzid) {
      icalparameter_set_tzid(param, spelled.c_str());
      return;
    }
  }
}

// A property as libical writes it on its own, the one spelling a change writes and read-backs
// are compared by: within its tree libical leaves a comma of an X- value or of a list (RESOURCES,
// CATEGORIES) unescaped, which a list then reads back as two values, while a copy's is escaped. A
// TZID with a blank at an end is quoted, so that it reads back as the file has it.
std::string spelled(icalproperty* prop) {
  icalproperty* alone = icalproperty_new_clone(prop);
  const std::string tzid = tzidToQuote(alone);
  if (!tzid.empty()) icalproperty_set_parameter(alone, icalparameter_new_tzid(kQuotedTzid));
  char* text = icalproperty_as_ical_string_r(alone);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  icalproperty_free(alone);
  if (tzid.empty()) return out;
  const std::string mark = std::string("TZID=\"") + kQuotedTzid + "\"";
  std::string line = TextLines::unfolded(out, 0, out.size());
  if (const size_t at = line.find(mark); at != std::string::npos) {
    line.replace(at, mark.size(), "TZID=\"" + tzid + "\"");
  }
  out.clear();
  TextLines::foldInto(out, line, "\r\n");
  return out;
}

std::vector<icalcomponent*> childrenOf(icalcomponent* comp) {
  std::vector<icalcomponent*> children;
  for (icalcomponent* c = icalcomponent_get_first_component(comp, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(comp, ICAL_ANY_COMPONENT)) {
    children.push_back(c);
  }
  return children;
}

// The TZID a VTIMEZONE defines; empty for any other component.
std::string tzidOf(icalcomponent* comp) {
  if (icalcomponent_isa(comp) != ICAL_VTIMEZONE_COMPONENT) return {};
  icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_TZID_PROPERTY);
  const char* tzid = prop != nullptr ? icalproperty_get_tzid(prop) : nullptr;
  return tzid != nullptr ? tzid : "";
}

// libical puts each VTIMEZONE it is given in front of the calendar's components, so a calendar
// it read, and a copy of one, hold them in the reverse of the order they came in: they are told
// apart by their TZIDs, every other component by its place among those of its kind.
struct Kin {
  icalcomponent_kind kind;
  std::string tzid;
  bool operator==(const Kin&) const = default;
};
Kin kinOf(icalcomponent* comp) { return {icalcomponent_isa(comp), tzidOf(comp)}; }

// Calls `pair` for each component of `a` and its own in `b`, a copy of `a`.
template <typename Pair>
void walkTogether(icalcomponent* a, icalcomponent* b, Pair&& pair) {
  pair(a, b);
  const auto theirs = childrenOf(b);
  std::vector<Kin> kins;
  for (icalcomponent* child : theirs) kins.push_back(kinOf(child));
  std::vector<bool> taken(theirs.size());
  for (icalcomponent* child : childrenOf(a)) {
    const Kin kin = kinOf(child);
    for (size_t i = 0; i < theirs.size(); ++i) {
      if (!taken[i] && kins[i] == kin) {
        taken[i] = true;
        walkTogether(child, theirs[i], pair);
        break;
      }
    }
  }
}

// What libical reads from each line of the block on its own (nothing for a line it cannot
// read, or reads only as an error note), each spelled as `spelled` spells it.
std::vector<std::vector<std::string>> readLines(
    const ICalBlocks& blocks, size_t index, const std::vector<std::pair<size_t, size_t>>& lines) {
  std::vector<std::vector<std::string>> read(lines.size());
  const std::string& name = blocks.blocks[index].name;
  const bool outermost = index == 0;
  std::string wrapped = "BEGIN:VCALENDAR\r\n";
  if (!outermost) wrapped += "BEGIN:" + name + "\r\n";
  for (const auto& [from, to] : lines) {
    wrapped += blocks.unfolded(from, to);
    wrapped += "\r\n";
    wrapped += kLineMark;
    wrapped += ":1\r\n";
  }
  if (!outermost) wrapped += "END:" + name + "\r\n";
  wrapped += "END:VCALENDAR\r\n";
  icalcomponent* root = icalparser_parse_string(wrapped.c_str());
  if (root == nullptr) return read;
  icalcomponent* comp = outermost ? root
                                  : icalcomponent_get_first_component(
                                        root, icalcomponent_string_to_kind(name.c_str()));
  size_t line = 0;
  for (icalproperty* prop =
           comp != nullptr ? icalcomponent_get_first_property(comp, ICAL_ANY_PROPERTY) : nullptr;
       prop != nullptr && line < lines.size();
       prop = icalcomponent_get_next_property(comp, ICAL_ANY_PROPERTY)) {
    const icalproperty_kind kind = icalproperty_isa(prop);
    if (kind == ICAL_X_PROPERTY && std::strcmp(icalproperty_get_x_name(prop), kLineMark) == 0) {
      ++line;
    } else if (kind != ICAL_XLICERROR_PROPERTY) {
      const auto& [from, to] = lines[line];
      keepTzidBlanks(prop, blankEndedTzids(blocks.unfolded(from, to)));
      read[line].push_back(spelled(prop));
    }
  }
  icalcomponent_free(root);
  return read;
}

}  // namespace

std::optional<ICalBlocks> ICalBlocks::split(std::string text, std::string* why) {
  ICalBlocks out;
  std::vector<size_t> open;
  const auto lineAt = [&](size_t at) { return std::to_string(TextLines::numberAt(text, at)); };
  const auto refuse = [&](const std::string& what) -> std::optional<ICalBlocks> {
    if (why == nullptr) return std::nullopt;
    *why = "its BEGIN and END lines do not nest: " + what;
    for (const size_t block : open) {
      if (out.blocks[block].name == "VTIMEZONE") {
        *why = "its VTIMEZONE of line " + lineAt(out.blocks[block].begin) + " is damaged: " + *why;
        break;
      }
    }
    return std::nullopt;
  };
  bool ended = false;  // the outermost block is closed
  // A byte order mark stays before the calendar.
  for (size_t from = TextLines::bomLength(text); from < text.size();) {
    const size_t to = TextLines::contentEnd(text, from);
    const char first = static_cast<char>(text[from] | 0x20);
    if (first == 'b' || first == 'e') {
      const std::string content = TextLines::unfolded(text, from, to);
      const std::string name = nameOf(content);
      if (name == "BEGIN") {
        if (ended) return refuse("line " + lineAt(from) + " begins a second calendar");
        Block block;
        block.name = upper(trimmedValue(content));
        block.begin = from;
        block.body = to;
        if (!open.empty()) out.blocks[open.back()].children.push_back(out.blocks.size());
        open.push_back(out.blocks.size());
        out.blocks.push_back(std::move(block));
      } else if (name == "END") {
        const std::string closes = upper(trimmedValue(content));
        if (open.empty())
          return refuse("line " + lineAt(from) + " ends " + closes + ", never begun");
        Block& block = out.blocks[open.back()];
        if (block.name != closes) {
          return refuse("line " + lineAt(from) + " ends " + closes + " while BEGIN:" + block.name +
                        " of line " + lineAt(block.begin) + " is still open");
        }
        block.close = from;
        block.end = to;
        open.pop_back();
        ended = open.empty();
      }
    }
    from = to;
  }
  if (out.blocks.empty()) return refuse("it has no BEGIN line");
  if (!open.empty()) {
    const Block& unclosed = out.blocks[open.back()];
    return refuse("BEGIN:" + unclosed.name + " of line " + lineAt(unclosed.begin) +
                  " is never ended");
  }
  out.newline = TextLines::firstEnd(text);
  out.text = std::move(text);
  return out;
}

std::vector<std::pair<size_t, size_t>> ICalBlocks::ownLines(size_t index) const {
  std::vector<std::pair<size_t, size_t>> lines;
  const Block& block = blocks[index];
  size_t child = 0;
  for (size_t at = block.body; at < block.close;) {
    if (child < block.children.size() && blocks[block.children[child]].begin == at) {
      at = blocks[block.children[child++]].end;
      continue;
    }
    const size_t to = std::min(TextLines::contentEnd(text, at), block.close);
    lines.emplace_back(at, to);
    at = to;
  }
  return lines;
}

std::string ICalBlocks::tzidOf(size_t index) const {
  for (const auto& [from, to] : ownLines(index)) {
    const std::string line = unfolded(from, to);
    if (nameOf(line) == "TZID") return trimmedValue(line);
  }
  return {};
}

std::string ICalBlocks::unfolded(size_t from, size_t to) const {
  return TextLines::unfolded(text, from, to);
}

std::map<std::string, std::string> ICalBlocks::repeatedOnceOnly() const {
  std::map<std::string, std::string> found;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const std::string& kind = blocks[i].name;
    if (kind != "VEVENT" && kind != "VTODO") continue;
    std::map<std::string, int> seen;
    for (const auto& [from, to] : ownLines(i)) {
      const std::string name = nameOf(unfolded(from, to));
      if (kOnceOnly.count(groupOf(name)) != 0 && ++seen[groupOf(name)] == 2) {
        found.emplace(kind + " " + groupOf(name),
                      "line " + std::to_string(TextLines::numberAt(text, from)) + ", " + name +
                          ", a second time in its " + kind);
      }
    }
  }
  return found;
}

std::unique_ptr<ICalLayout> ICalLayout::of(ICalBlocks blocks, icalcomponent* root,
                                           std::string* why) {
  const std::string& outermost = blocks.blocks.front().name;
  if (root == nullptr || outermost != kindName(root)) {
    if (why != nullptr) *why = "libical does not read its BEGIN:" + outermost + " block as one";
    return nullptr;
  }
  auto layout = std::make_unique<ICalLayout>();
  layout->map(root, 0, blocks);
  // The tree names the zones as the lines it was read from do (see readLines).
  for (const auto& [comp, place] : layout->places_) {
    if (!place.block) continue;
    std::vector<std::string> spellings;
    for (const auto& [from, to] : blocks.ownLines(*place.block)) {
      for (std::string& tzid : blankEndedTzids(blocks.unfolded(from, to))) {
        layout->unquoted_.insert(tzid);
        spellings.push_back(std::move(tzid));
      }
    }
    if (spellings.empty()) continue;
    for (icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_ANY_PROPERTY);
         prop != nullptr; prop = icalcomponent_get_next_property(comp, ICAL_ANY_PROPERTY)) {
      keepTzidBlanks(prop, spellings);
    }
  }
  layout->blocks_ = std::make_shared<const ICalBlocks>(std::move(blocks));
  return layout;
}

// Pairs the components with the blocks they were read from: libical keeps its components in
// the order of the text but may put one kind before another (zones first), and drops or makes
// up some, so each block takes the next component of its own kind.
void ICalLayout::map(icalcomponent* comp, size_t index, ICalBlocks& blocks) {
  places_[comp] = Place{index, false};
  blocks.blocks[index].read = true;
  const auto children = childrenOf(comp);
  std::vector<Kin> kins;
  for (icalcomponent* c : children) kins.push_back(kinOf(c));
  std::vector<bool> taken(children.size());
  for (const size_t child : blocks.blocks[index].children) {
    const icalcomponent_kind kind = icalcomponent_string_to_kind(blocks.blocks[child].name.c_str());
    // libical cannot write a component it has no name for (RFC 9073's VLOCATION, an X-
    // component): its block is always written as it is.
    if (kind == ICAL_NO_COMPONENT || kind == ICAL_X_COMPONENT) continue;
    const Kin kin{kind, kind == ICAL_VTIMEZONE_COMPONENT ? blocks.tzidOf(child) : ""};
    // Else (a TZID libical read otherwise) the next one of its kind.
    for (const bool byTzid : {true, false}) {
      size_t i = 0;
      while (i < children.size() &&
             (taken[i] || (byTzid ? kins[i] != kin : kins[i].kind != kind))) {
        ++i;
      }
      if (i == children.size()) continue;
      taken[i] = true;
      map(children[i], child, blocks);
      break;
    }
  }
  for (size_t i = 0; i < children.size(); ++i) {
    if (!taken[i]) markUnplaced(children[i]);
  }
}

void ICalLayout::markUnplaced(icalcomponent* comp) {
  places_[comp] = Place{};
  for (icalcomponent* child : childrenOf(comp)) markUnplaced(child);
}

std::unique_ptr<ICalLayout> ICalLayout::cloned(icalcomponent* root, icalcomponent* clone) const {
  auto out = std::make_unique<ICalLayout>();
  out->blocks_ = blocks_;
  out->unquoted_ = unquoted_;
  walkTogether(root, clone, [&](icalcomponent* a, icalcomponent* b) {
    if (auto at = places_.find(a); at != places_.end()) out->places_[b] = at->second;
  });
  return out;
}

void ICalLayout::derive(icalcomponent* from, icalcomponent* clone) {
  const auto at = places_.find(from);
  if (at == places_.end() || !at->second.block) return;  // written as libical writes it
  walkTogether(from, clone, [&](icalcomponent* a, icalcomponent* b) {
    if (auto place = places_.find(a); place != places_.end()) places_[b] = place->second;
  });
  places_[clone].derived = true;
}

void ICalLayout::forget(icalcomponent* comp) {
  places_.erase(comp);
  for (icalcomponent* child : childrenOf(comp)) forget(child);
}

// Writes a component into the lines of its block: a line stays as it is while the tree still
// holds what libical reads from it (or libical reads nothing from it), the other lines go, and
// what the tree holds beyond the lines that stay is written where lines of its name were.
class ICalLayout::Writer {
 public:
  Writer(const ICalBlocks& blocks, const std::unordered_map<icalcomponent*, Place>& places,
         const std::set<std::string>& unquoted)
      : blocks_(blocks), places_(places), unquoted_(unquoted) {}

  std::string component(icalcomponent* comp, size_t index) const {
    const ICalBlocks::Block& block = blocks_.blocks[index];
    const auto lines = blocks_.ownLines(index);
    const Plan plan = planLines(comp, index, lines);
    const auto& added = plan.added;
    std::vector<Piece> pieces{{"", raw(block.begin, block.body)}};
    for (const auto& text : added[0]) pieces.push_back({"", text});
    const auto children = childrenOf(comp);
    std::vector<bool> written(children.size());
    size_t line = 0;
    for (size_t next = 0; line < lines.size() || next < block.children.size();) {
      const bool lineFirst =
          next >= block.children.size() ||
          (line < lines.size() && lines[line].first < blocks_.blocks[block.children[next]].begin);
      if (lineFirst) {
        if (plan.keep[line]) pieces.push_back({"", raw(lines[line].first, lines[line].second)});
        for (const auto& text : added[line + 1]) pieces.push_back({"", text});
        ++line;
        continue;
      }
      const size_t child = block.children[next++];
      const ICalBlocks::Block& inner = blocks_.blocks[child];
      if (!inner.read) {
        pieces.push_back({inner.name, raw(inner.begin, inner.end)});
        continue;
      }
      for (size_t i = 0; i < children.size(); ++i) {
        const auto place = places_.find(children[i]);
        if (!written[i] && place != places_.end() && place->second.block == child &&
            !place->second.derived) {
          written[i] = true;
          pieces.push_back({inner.name, component(children[i], child)});
          break;
        }
      }  // none: the component was taken out
    }
    for (size_t i = 0; i < children.size(); ++i) {
      if (!written[i]) addComponent(pieces, children[i]);
    }
    std::string out;
    for (const auto& piece : pieces) out += piece.text;
    return out + raw(block.close, block.end);
  }

 private:
  struct Piece {
    std::string kind;  // of a component; empty for a line
    std::string text;
  };
  // Which own lines of a block stay, and the properties to add after each line: [0] right after
  // BEGIN, [i + 1] after line i.
  struct Plan {
    std::vector<bool> keep;
    std::vector<std::vector<std::string>> added;
  };

  std::string raw(size_t from, size_t to) const { return blocks_.text.substr(from, to - from); }

  // Text libical wrote, with the file's line ends.
  std::string fresh(std::string text) const {
    if (blocks_.newline == "\r\n") return text;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        out += blocks_.newline;
        ++i;
      } else {
        out += text[i];
      }
    }
    return out;
  }

  // A line stays while the tree still holds what libical reads from it. A line it reads nothing
  // from stays too, unless the change wrote its property: then every line of that property goes,
  // so the block never says it twice (an empty LOCATION beside the new one, an unreadable
  // DURATION beside a new DTEND).
  Plan planLines(icalcomponent* comp, size_t index,
                 const std::vector<std::pair<size_t, size_t>>& lines) const {
    std::vector<std::string> current;
    std::unordered_map<std::string, int> unclaimed;
    for (icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_ANY_PROPERTY);
         prop != nullptr; prop = icalcomponent_get_next_property(comp, ICAL_ANY_PROPERTY)) {
      // libical's notes on what it could not read are not the file's.
      if (icalproperty_isa(prop) == ICAL_XLICERROR_PROPERTY) continue;
      current.push_back(spelled(prop));
      ++unclaimed[current.back()];
    }
    const auto read = readLines(blocks_, index, lines);
    Plan plan;
    plan.keep.assign(lines.size(), false);
    std::vector<std::string> names(lines.size());
    std::set<std::string> written;  // the groups of the properties the change wrote
    for (size_t i = 0; i < lines.size(); ++i) {
      names[i] = nameOf(blocks_.unfolded(lines[i].first, lines[i].second));
      std::unordered_map<std::string, int> needed;
      for (const auto& text : read[i]) ++needed[text];
      bool held = true;
      for (const auto& [text, count] : needed) held = held && unclaimed[text] >= count;
      plan.keep[i] = held;
      if (held) {
        for (const auto& [text, count] : needed) unclaimed[text] -= count;
      } else {
        written.insert(groupOf(names[i]));
      }
    }
    std::vector<std::string> adding;
    for (const auto& text : current) {
      auto left = unclaimed.find(text);
      if (left->second <= 0) continue;
      --left->second;
      adding.push_back(text);
      written.insert(groupOf(nameOf(text)));
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      if (read[i].empty() && written.count(groupOf(names[i])) != 0) plan.keep[i] = false;
    }
    plan.added.resize(lines.size() + 1);
    for (const auto& text : adding) {
      plan.added[anchorFor(nameOf(text), names, plan.keep) + 1].push_back(
          fresh(asTheFileSpells(text)));
    }
    return plan;
  }

  // Where a new property goes: in place of the first line of its group that went, else after the
  // last one that stays, else after the block's last line (as the line index; -1 right after
  // BEGIN).
  static long anchorFor(const std::string& name, const std::vector<std::string>& names,
                        const std::vector<bool>& keep) {
    const std::string group = groupOf(name);
    for (size_t i = 0; i < names.size(); ++i) {
      if (!keep[i] && groupOf(names[i]) == group) return static_cast<long>(i);
    }
    for (size_t i = names.size(); i-- > 0;) {
      if (keep[i] && groupOf(names[i]) == group) return static_cast<long>(i);
    }
    return static_cast<long>(names.size()) - 1;
  }

  // A component without a place of its own among the blocks: one made as a copy of another
  // (written from that one's block) or a new one (written as libical writes it).
  void addComponent(std::vector<Piece>& pieces, icalcomponent* comp) const {
    const std::string kind = kindName(comp);
    std::string text;
    const auto place = places_.find(comp);
    if (place == places_.end()) {
      icalcomponent* alone = icalcomponent_new_clone(comp);  // spelled as `spelled` spells it
      char* written = icalcomponent_as_ical_string_r(alone);
      text = fresh(written != nullptr ? written : "");
      std::free(written);
      icalcomponent_free(alone);
    } else if (place->second.block) {
      text = component(comp, *place->second.block);
    } else {
      return;  // libical made it up: it stands for no text
    }
    pieces.insert(pieces.begin() + static_cast<long>(placeFor(pieces, kind)),
                  Piece{kind, std::move(text)});
  }

  // After the last component of its kind; a VTIMEZONE before the first other component, where
  // every reader finds it before a TZID names it (khal knows only the zones it has read).
  static size_t placeFor(const std::vector<Piece>& pieces, const std::string& kind) {
    if (kind == "VTIMEZONE") {
      for (size_t i = 1; i < pieces.size(); ++i) {
        if (!pieces[i].kind.empty() && pieces[i].kind != kind) return i;
      }
    }
    for (size_t i = pieces.size(); i-- > 1;) {
      if (pieces[i].kind == kind) return i + 1;
    }
    return pieces.size();
  }

  // A TZID the file spells without quotes, blanks at its ends and all, is written so again:
  // libical reads it without them and finds the VTIMEZONE, whose own TZID it reads so too. In
  // quotes, it would keep them, and name no zone it knows.
  std::string asTheFileSpells(const std::string& text) const {
    if (unquoted_.empty() || text.find("TZID=\"") == std::string::npos) return text;
    std::string line = TextLines::unfolded(text, 0, text.size());
    for (const std::string& tzid : unquoted_) {
      const std::string quoted = "TZID=\"" + tzid + "\"";
      for (size_t at = line.find(quoted); at != std::string::npos; at = line.find(quoted, at)) {
        line.replace(at, quoted.size(), "TZID=" + tzid);
      }
    }
    std::string out;
    TextLines::foldInto(out, line, "\r\n");
    return out;
  }

  const ICalBlocks& blocks_;
  const std::unordered_map<icalcomponent*, Place>& places_;
  const std::set<std::string>& unquoted_;
};

namespace {

// What a tree states, whatever the order of its properties and components (libical's notes on
// what it could not read left out).
std::string meaningOf(icalcomponent* comp) {
  std::vector<std::string> parts;
  for (icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_ANY_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(comp, ICAL_ANY_PROPERTY)) {
    if (icalproperty_isa(prop) != ICAL_XLICERROR_PROPERTY) parts.push_back(spelled(prop));
  }
  for (icalcomponent* child : childrenOf(comp)) parts.push_back(meaningOf(child));
  std::sort(parts.begin(), parts.end());
  std::string out = "BEGIN:" + kindName(comp) + "\n";
  for (const auto& part : parts) out += part;
  return out + "END:" + kindName(comp) + "\n";
}

// One property of a tree and where it stands.
struct Stated {
  std::string where;  // the kinds of the components around it, "VCALENDAR VEVENT VALARM"
  std::string text;   // as `spelled` spells it
  icalcomponent* comp;
};

void statedIn(icalcomponent* comp, const std::string& around, std::vector<Stated>& out) {
  const std::string where = around.empty() ? kindName(comp) : around + " " + kindName(comp);
  for (icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_ANY_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(comp, ICAL_ANY_PROPERTY)) {
    if (icalproperty_isa(prop) != ICAL_XLICERROR_PROPERTY) {
      out.push_back({where, spelled(prop), comp});
    }
  }
  for (icalcomponent* child : childrenOf(comp)) statedIn(child, where, out);
}

// A property for a message: on one line, cut short when it is long.
std::string shown(const std::string& text) {
  constexpr size_t kLongest = 80;
  std::string line = TextLines::unfolded(text, 0, text.size());
  if (Utf8::characterCount(line) > kLongest) line = Utf8::firstCharacters(line, kLongest) + "…";
  return line;
}

}  // namespace

std::string ICalLayout::misreading(icalcomponent* meant, icalcomponent* back) const {
  if (meaningOf(meant) == meaningOf(back)) return {};
  std::vector<Stated> said, read;
  statedIn(meant, "", said);
  statedIn(back, "", read);
  std::multiset<std::pair<std::string, std::string>> unread;  // what `meant` says, `back` not
  for (const auto& stated : said) unread.emplace(stated.where, stated.text);
  std::vector<const Stated*> misread;  // what `back` says, `meant` not
  for (const auto& stated : read) {
    if (auto at = unread.find({stated.where, stated.text}); at != unread.end()) {
      unread.erase(at);
    } else {
      misread.push_back(&stated);
    }
  }
  const auto isUnread = [&](const Stated& stated) {
    return unread.count({stated.where, stated.text}) != 0;
  };
  if (!misread.empty()) {
    const Stated& wrong = *misread.front();
    const std::string name = nameOf(wrong.text);
    std::string how =
        lineOf(wrong.comp, wrong.text) + ", " + name + ", would read back as " + shown(wrong.text);
    for (const auto& stated : said) {
      if (stated.where == wrong.where && nameOf(stated.text) == name && isUnread(stated)) {
        return how + " instead of " + shown(stated.text);
      }
    }
    return how + ", which the change did not write";
  }
  for (const auto& stated : said) {
    if (isUnread(stated)) {
      return shown(stated.text) + " of its " + stated.where.substr(stated.where.rfind(' ') + 1) +
             " would be lost";
    }
  }
  return "its components would not read back as they were";
}

std::string ICalLayout::lineOf(icalcomponent* comp, const std::string& text) const {
  const auto place = places_.find(comp);
  if (place == places_.end() || !place->second.block) return "a line";
  const size_t index = *place->second.block;
  const auto lines = blocks_->ownLines(index);
  const auto read = readLines(*blocks_, index, lines);
  size_t at = blocks_->blocks[index].begin;  // without a line of its own, its BEGIN line
  for (size_t i = 0; i < lines.size(); ++i) {
    if (std::find(read[i].begin(), read[i].end(), text) != read[i].end()) {
      at = lines[i].first;
      break;
    }
  }
  return "line " + std::to_string(TextLines::numberAt(blocks_->text, at));
}

std::string ICalLayout::lineOf(icalcomponent* comp, icalproperty* prop) const {
  return lineOf(comp, spelled(prop));
}

std::string ICalLayout::write(icalcomponent* root) const {
  const ICalBlocks& blocks = *blocks_;
  const ICalBlocks::Block& outer = blocks.blocks.front();
  return blocks.text.substr(0, outer.begin) +
         Writer(blocks, places_, unquoted_).component(root, 0) + blocks.text.substr(outer.end);
}

}  // namespace tvrn
