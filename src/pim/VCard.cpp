#include "pim/VCard.h"

#include <algorithm>
#include <cctype>

#include "base/TextDecoding.h"
#include "base/TextLines.h"
#include "base/Utf8.h"

namespace tvrn::VCard {
namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string quotedPrintable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=' && i + 2 < text.size()) {
      const int high = hexDigit(text[i + 1]);
      const int low = hexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Into UTF-8 from the charset the line names; text that is not UTF-8 and names none was most
// likely written by a Windows exporter.
std::string inUtf8(const std::string& bytes, const std::vector<std::string>& charsets) {
  if (!charsets.empty()) {
    if (auto encoding = TextDecoding::fromName(charsets.front())) {
      if (auto text = TextDecoding::decode(bytes, *encoding)) return *text;
    }
  }
  return TextDecoding::fromLegacy(bytes);
}

// Splits "group.NAME;P=a,b;Q=\"c;d\"" from its value at the first ':' outside quotes.
std::optional<ContentLine> readLine(const std::string& line) {
  bool quoted = false;
  size_t colon = std::string::npos;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  ContentLine out;
  const std::string head = line.substr(0, colon);
  std::vector<std::string> pieces;
  std::string piece;
  quoted = false;
  for (char c : head) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == ';' && !quoted) {
      pieces.push_back(piece);
      piece.clear();
      continue;
    }
    piece += c;
  }
  pieces.push_back(piece);
  std::string name = pieces.front();
  if (auto dot = name.find('.'); dot != std::string::npos) {
    out.group = name.substr(0, dot);
    name = name.substr(dot + 1);
  }
  out.name = upper(name);
  for (size_t i = 1; i < pieces.size(); ++i) {
    Parameter parameter;
    const auto equals = pieces[i].find('=');
    if (equals == std::string::npos) {
      // vCard 2.1 names neither types (";HOME;VOICE") nor encodings (";QUOTED-PRINTABLE").
      const std::string word = upper(pieces[i]);
      const bool encoding =
          word == "QUOTED-PRINTABLE" || word == "BASE64" || word == "8BIT" || word == "7BIT";
      parameter.name = encoding ? "ENCODING" : "TYPE";
      parameter.values.push_back(pieces[i]);
    } else {
      parameter.name = upper(pieces[i].substr(0, equals));
      std::string values = pieces[i].substr(equals + 1);
      size_t start = 0;
      while (true) {
        const auto comma = values.find(',', start);
        parameter.values.push_back(values.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
    out.parameters.push_back(std::move(parameter));
  }
  std::string value = line.substr(colon + 1);
  const auto encodings = out.values("ENCODING");
  if (std::find(encodings.begin(), encodings.end(), "QUOTED-PRINTABLE") != encodings.end()) {
    value = quotedPrintable(value);
  }
  out.value = inUtf8(value, out.values("CHARSET"));
  return out;
}

bool isQuotedPrintable(std::string_view line) {
  const auto colon = line.find(':');
  return upper(line.substr(0, colon)).find("QUOTED-PRINTABLE") != std::string::npos;
}

// A line as it was written, folded again only where it runs past 75 octets (a quoted-printable
// line, which 2.1 readers do not unfold, stays as it is).
void keepInto(std::string& out, std::string_view raw, const std::string& newline) {
  bool overlong = false;
  for (size_t at = 0; at < raw.size() && !overlong;) {
    const TextLines::Line line = TextLines::lineAt(raw, at);
    overlong = line.length > 75;
    at = line.next();
  }
  if (!overlong || isQuotedPrintable(raw)) {
    out += raw;
    return;
  }
  TextLines::foldInto(out, TextLines::unfolded(raw, 0, raw.size()), newline);
}

ContentLine made(std::string name, std::string value, std::string type = {}) {
  ContentLine line;
  line.name = std::move(name);
  line.value = std::move(value);
  if (!type.empty()) line.parameters.push_back({"TYPE", {std::move(type)}});
  return line;
}

// The label a person reads for a property's TYPE: "home", "work", "mobile", "fax"..., or the
// Apple label of its group.
std::string labelOf(const ContentLine& line, const Card& card) {
  if (!line.group.empty()) {
    for (const auto& other : card.lines) {
      if (other.group == line.group && other.name == "X-ABLABEL") {
        std::string label = components(other.value).front();
        if (label.rfind("_$!<", 0) == 0 && label.size() > 8) {
          label = lower(label.substr(4, label.size() - 8));
        }
        return label;
      }
    }
  }
  for (const auto& type : line.values("TYPE")) {
    const std::string word = lower(type);
    if (word == "cell") return "mobile";
    if (word == "pref" || word == "voice" || word == "internet" || word == "x400") continue;
    if (word.rfind("x-", 0) == 0) return word.substr(2);
    return word;
  }
  return {};
}

std::string typeFor(const std::string& label) {
  if (label == "mobile") return "cell";
  return label;
}

bool isDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "1985-04-12", "19850412", "--0412", "--04-12", with any time part after 'T' ignored.
std::optional<DateComponents> birthdayOf(const ContentLine& line) {
  std::string text = line.value.substr(0, line.value.find('T'));
  DateComponents date;
  if (text.rfind("--", 0) == 0) {
    text.erase(0, 2);
  } else {
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    if (text.size() != 8 || !isDigits(text)) return std::nullopt;
    date.year = std::stoi(text.substr(0, 4));
    text.erase(0, 4);
  }
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  if (text.size() != 4 || !isDigits(text)) return std::nullopt;
  date.month = std::stoi(text.substr(0, 2));
  date.day = std::stoi(text.substr(2, 2));
  // Apple writes a birthday without a year as 1604 and says so in a parameter.
  if (!line.values("X-APPLE-OMIT-YEAR").empty()) date.year.reset();
  if (*date.month < 1 || *date.month > 12 || *date.day < 1 || *date.day > 31) return std::nullopt;
  return date;
}

std::string birthdayText(const DateComponents& date) {
  char out[16];
  if (date.year) {
    std::snprintf(out, sizeof out, "%04d-%02d-%02d", *date.year, *date.month, *date.day);
  } else {
    std::snprintf(out, sizeof out, "--%02d%02d", *date.month, *date.day);
  }
  return out;
}

// An e-mail address or a phone number, without the blanks some exporters write around it (a
// blank after the colon, a fold that keeps one), which would keep a search by it from finding it.
std::string address(const ContentLine& line) {
  return std::string(Utf8::trim(components(line.value, '\x01').front(), Utf8::isWhiteSpace));
}

std::string memberId(std::string value) {
  for (const char* prefix : {"urn:uuid:", "URN:UUID:"}) {
    if (value.rfind(prefix, 0) == 0) return value.substr(9);
  }
  return value;
}

// Removes every line of these properties (and what hangs on their groups), then adds the new ones
// before the end of the card.
void replaceLines(Card& card, std::initializer_list<std::string_view> names,
                  std::vector<ContentLine> added) {
  std::vector<std::string> groups;
  for (const auto& line : card.lines) {
    if (!line.group.empty() && std::find(names.begin(), names.end(), line.name) != names.end()) {
      groups.push_back(line.group);
    }
  }
  std::erase_if(card.lines, [&](const ContentLine& line) {
    return std::find(names.begin(), names.end(), line.name) != names.end() ||
           std::find(groups.begin(), groups.end(), line.group) != groups.end();
  });
  for (auto& line : added) card.lines.push_back(std::move(line));
}

std::string nameValue(const Contact& c) {
  return escape(c.familyName) + ";" + escape(c.givenName) + ";" + escape(c.middleName) + ";;";
}

std::string fullNameOf(const Contact& c) {
  if (auto name = formattedFullName(c)) return *name;
  if (!c.organizationName.empty()) return c.organizationName;
  return c.nickname;
}

std::vector<ContentLine> labeled(const char* name, const std::vector<LabeledValue>& values) {
  std::vector<ContentLine> lines;
  for (const auto& value : values) {
    lines.push_back(made(name, escape(value.value), typeFor(value.label)));
  }
  return lines;
}

std::vector<ContentLine> addressLines(const std::vector<PostalAddress>& addresses) {
  std::vector<ContentLine> lines;
  for (const auto& a : addresses) {
    lines.push_back(made("ADR",
                         ";;" + escape(a.street) + ";" + escape(a.city) + ";" + escape(a.state) +
                             ";" + escape(a.postalCode) + ";" + escape(a.country),
                         typeFor(a.label)));
  }
  return lines;
}

std::vector<ContentLine> single(const char* name, const std::string& value) {
  if (value.empty()) return {};
  return {made(name, escape(value))};
}

}  // namespace

std::vector<std::string> ContentLine::values(std::string_view parameter) const {
  std::vector<std::string> out;
  for (const auto& p : parameters) {
    if (p.name != parameter) continue;
    for (const auto& value : p.values) out.push_back(upper(value));
  }
  return out;
}

const ContentLine* Card::first(std::string_view name) const {
  for (const auto& line : lines) {
    if (line.name == name) return &line;
  }
  return nullptr;
}

std::string Card::text(std::string_view name) const {
  const ContentLine* line = first(name);
  if (line == nullptr) return {};
  std::string joined;
  for (const auto& part : components(line->value, '\x01')) joined += part;
  return joined;
}

std::vector<std::string> components(std::string_view value, char separator) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      parts.back() += (next == 'n' || next == 'N') ? '\n' : next;
    } else if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::string escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == ',' || c == ';') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::vector<Card> parseAll(std::string_view bytes, bool* unfinished) {
  std::vector<std::string> unfolded;
  std::vector<size_t> starts;  // where each unfolded line begins in `bytes`
  for (size_t at = TextLines::bomLength(bytes); at < bytes.size();) {
    const TextLines::Line read = TextLines::lineAt(bytes, at);
    const std::string_view line = bytes.substr(read.from, read.length);
    at = read.next();
    // A quoted-printable soft line break goes first: what follows it, blanks too, is its value.
    if (!unfolded.empty() && !unfolded.back().empty() && unfolded.back().back() == '=' &&
        isQuotedPrintable(unfolded.back())) {
      unfolded.back().pop_back();
      unfolded.back().append(line);
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !unfolded.empty()) {
      unfolded.back().append(line.substr(1));
    } else if (!line.empty()) {
      unfolded.emplace_back(line);
      starts.push_back(read.from);
    }
  }
  std::vector<Card> cards;
  std::optional<Card> card;
  for (size_t i = 0; i < unfolded.size(); ++i) {
    // A line as written runs to the next one, so blank lines stay with the line before them.
    const size_t from = starts[i];
    const size_t to = i + 1 < starts.size() ? starts[i + 1] : bytes.size();
    std::string raw(bytes.substr(from, to - from));
    auto line = readLine(unfolded[i]);
    if (line && line->name == "BEGIN" && upper(line->value) == "VCARD" && !card) {
      card.emplace();
      card->from = from;
      card->opening = std::move(raw);
    } else if (line && line->name == "END" && upper(line->value) == "VCARD" && card) {
      card->closing = std::move(raw);
      card->to = to;
      cards.push_back(std::move(*card));
      card.reset();
    } else if (card) {
      if (!line) line.emplace();  // no property: it stays as it was written
      line->raw = std::move(raw);
      card->lines.push_back(std::move(*line));
    }
  }
  if (unfinished != nullptr) *unfinished = card.has_value();
  return cards;
}

std::optional<Card> parse(std::string_view bytes) {
  auto cards = parseAll(bytes);
  if (cards.empty()) return std::nullopt;  // no complete card
  Card& first = cards.front();
  first.before = bytes.substr(0, first.from);
  first.after = bytes.substr(first.to);
  return std::move(first);
}

std::string replaced(std::string_view bytes, const Card& card) {
  Card alone = card;
  alone.before.clear();
  alone.after.clear();
  return std::string(bytes.substr(0, card.from)) + serialize(alone) +
         std::string(bytes.substr(card.to));
}

std::string serialize(const Card& card) {
  // Lines written here end as the card's BEGIN line does.
  const std::string newline(TextLines::firstEnd(card.opening));
  std::string out = card.before;
  out += card.opening.empty() ? std::string("BEGIN:VCARD") + newline : card.opening;
  for (const auto& line : card.lines) {
    if (!line.raw.empty()) {
      keepInto(out, line.raw, newline);
      continue;
    }
    std::string text = line.group.empty() ? line.name : line.group + "." + line.name;
    for (const auto& parameter : line.parameters) {
      text += ";" + parameter.name + "=";
      for (size_t i = 0; i < parameter.values.size(); ++i) {
        if (i > 0) text += ',';
        text += parameter.values[i];
      }
    }
    TextLines::foldInto(out, text + ":" + line.value, newline);
  }
  out += card.closing.empty() ? std::string("END:VCARD") + newline : card.closing;
  return out + card.after;
}

Decoded decode(const Card& card) {
  Decoded out;
  Contact& c = out.contact;
  c.id = card.text("UID");
  if (const auto* n = card.first("N")) {
    auto parts = components(n->value);
    parts.resize(3);
    c.familyName = parts[0];
    c.givenName = parts[1];
    c.middleName = parts[2];
  }
  const std::string kind =
      lower(card.text("KIND").empty() ? card.text("X-ADDRESSBOOKSERVER-KIND") : card.text("KIND"));
  if (const auto* org = card.first("ORG")) c.organizationName = components(org->value).front();
  if (kind == "group") {
    out.isGroup = true;
    out.groupName = card.text("FN");
    for (const auto& line : card.lines) {
      if (line.name == "MEMBER" || line.name == "X-ADDRESSBOOKSERVER-MEMBER") {
        out.memberIds.push_back(memberId(components(line.value, '\x01').front()));
      }
    }
    return out;
  }
  out.fullName = card.text("FN");
  if (c.givenName.empty() && c.familyName.empty() && c.middleName.empty()) {
    if (out.fullName != c.organizationName) c.givenName = out.fullName;
  }
  if (const auto* nick = card.first("NICKNAME")) c.nickname = components(nick->value, ',').front();
  c.jobTitle = card.text("TITLE");
  c.note = card.text("NOTE");
  for (const auto& line : card.lines) {
    if (line.name == "EMAIL") {
      c.emailAddresses.push_back({labelOf(line, card), address(line)});
    } else if (line.name == "TEL") {
      std::string number = address(line);
      if (number.rfind("tel:", 0) == 0) number.erase(0, 4);
      c.phoneNumbers.push_back({labelOf(line, card), number});
    } else if (line.name == "ADR") {
      auto parts = components(line.value);
      parts.resize(7);
      std::string street = parts[2];
      if (!parts[1].empty()) street += (street.empty() ? "" : "\n") + parts[1];
      c.postalAddresses.push_back(
          {labelOf(line, card), street, parts[3], parts[4], parts[5], parts[6]});
    } else if (line.name == "BDAY" && !c.birthday) {
      c.birthday = birthdayOf(line);
    } else if (line.name == "CATEGORIES") {
      for (auto& category : components(line.value, ',')) {
        if (!category.empty()) out.categories.push_back(std::move(category));
      }
    }
  }
  return out;
}

Card encode(const Contact& contact) {
  Card card;
  card.lines.push_back(made("VERSION", "3.0"));
  card.lines.push_back(made("UID", escape(contact.id)));
  applyChanges(card, Contact{}, contact);
  return card;
}

void applyChanges(Card& card, const Contact& before, const Contact& after) {
  const bool nameChanged = before.givenName != after.givenName ||
                           before.middleName != after.middleName ||
                           before.familyName != after.familyName;
  if (nameChanged || before.organizationName != after.organizationName ||
      before.nickname != after.nickname || !card.first("FN")) {
    replaceLines(card, {"FN"}, {made("FN", escape(fullNameOf(after)))});
  }
  if (nameChanged || !card.first("N")) replaceLines(card, {"N"}, {made("N", nameValue(after))});
  if (before.nickname != after.nickname) {
    replaceLines(card, {"NICKNAME"}, single("NICKNAME", after.nickname));
  }
  if (before.organizationName != after.organizationName) {
    replaceLines(card, {"ORG"}, single("ORG", after.organizationName));
  }
  if (before.jobTitle != after.jobTitle) {
    replaceLines(card, {"TITLE"}, single("TITLE", after.jobTitle));
  }
  if (before.note != after.note) replaceLines(card, {"NOTE"}, single("NOTE", after.note));
  if (before.emailAddresses != after.emailAddresses) {
    replaceLines(card, {"EMAIL"}, labeled("EMAIL", after.emailAddresses));
  }
  if (before.phoneNumbers != after.phoneNumbers) {
    replaceLines(card, {"TEL"}, labeled("TEL", after.phoneNumbers));
  }
  if (before.postalAddresses != after.postalAddresses) {
    replaceLines(card, {"ADR"}, addressLines(after.postalAddresses));
  }
  if (before.birthday != after.birthday) {
    replaceLines(card, {"BDAY"},
                 after.birthday
                     ? std::vector<ContentLine>{made("BDAY", birthdayText(*after.birthday))}
                     : std::vector<ContentLine>{});
  }
}

Card encodeGroup(const ContactGroup& group) {
  Card card;
  card.lines.push_back(made("VERSION", "4.0"));
  card.lines.push_back(made("UID", escape(group.id)));
  card.lines.push_back(made("KIND", "group"));
  card.lines.push_back(made("FN", escape(group.name)));
  for (const auto& member : group.memberIds) {
    card.lines.push_back(made("MEMBER", "urn:uuid:" + member));
  }
  return card;
}

}  // namespace tvrn::VCard
