// vCard files (3.0 and 4.0, and the 2.1 forms older exporters still write) as the contact store
// reads and changes them: a card is kept as its content lines, so a change rewrites only the
// properties it touches and every other line stays as the file had it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pim/PimTypes.h"

namespace tvrn::VCard {

struct Parameter {
  std::string name;                 // upper case
  std::vector<std::string> values;  // as written, quotes removed
};

// One property after unfolding. `value` is still escaped (see components()), but decoded from
// quoted-printable and from its charset into UTF-8.
struct ContentLine {
  std::string group;  // "item1" in "item1.EMAIL", else empty
  std::string name;   // upper case
  std::vector<Parameter> parameters;
  std::string value;
  // The line as read, with its folds and line break; empty for a line made here. A line that
  // names no property is kept with only this.
  std::string raw;

  // Every value of the parameter, upper case; bare 2.1 parameters count as TYPE (";HOME"), or as
  // ENCODING when they name one (";QUOTED-PRINTABLE").
  std::vector<std::string> values(std::string_view parameter) const;
};

struct Card {
  std::vector<ContentLine> lines;  // between BEGIN:VCARD and END:VCARD
  // The file's text around the lines, as read: what comes before the card, its BEGIN and END
  // lines, and the rest of the file.
  std::string before, opening, closing, after;
  // Where its BEGIN line starts and its END line (with any blank lines after it) ends in the text
  // read.
  size_t from = 0, to = 0;

  const ContentLine* first(std::string_view name) const;
  // The value of the first such property, unescaped.
  std::string text(std::string_view name) const;
};

// The first card in the file, or nothing when there is none that reads.
std::optional<Card> parse(std::string_view bytes);
// Every card in the file, in order, without the text around them (see `from` and `to`).
// `unfinished` is set when the file ends inside a card, which is then left out.
std::vector<Card> parseAll(std::string_view bytes, bool* unfinished = nullptr);
std::string serialize(const Card& card);
// The file's text with `card`, one parseAll read from it, written in its place; every byte around
// it stays as it was.
std::string replaced(std::string_view bytes, const Card& card);

// A structured value split at unescaped `separator` (';' for N and ADR, ',' for lists), each
// part unescaped.
std::vector<std::string> components(std::string_view value, char separator = ';');
std::string escape(std::string_view text);

// What the contact store keeps of a card. A group card (vCard 4 KIND:group, or the
// X-ADDRESSBOOKSERVER form) lists its members' UIDs.
struct Decoded {
  Contact contact;       // id is the UID
  std::string fullName;  // FN: the name shown, which may differ from N
  std::vector<std::string> categories;
  bool isGroup = false;
  std::string groupName;
  std::vector<std::string> memberIds;
};
Decoded decode(const Card& card);

// A new card for the contact (UID is its id).
Card encode(const Contact& contact);
// Puts the fields that differ between `before` and `after` into the card, leaving every other
// line as it is.
void applyChanges(Card& card, const Contact& before, const Contact& after);
// A group card with these members.
Card encodeGroup(const ContactGroup& group);

}  // namespace tvrn::VCard
