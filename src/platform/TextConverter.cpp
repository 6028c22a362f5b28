#include "platform/TextConverter.h"

#include <libxml/HTMLparser.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "base/TextDecoding.h"
#include "base/Utf8.h"
#include "platform/RegularFile.h"

namespace tvrn::TextConverter {
namespace {

constexpr const char* kUnsupported = "unsupported document format";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// ---- RTF -------------------------------------------------------------------------------------

// Destinations whose text is not part of the document's body text.
constexpr std::array<std::string_view, 33> kSkippedDestinations = {"fonttbl",
                                                                   "colortbl",
                                                                   "stylesheet",
                                                                   "info",
                                                                   "pict",
                                                                   "header",
                                                                   "headerl",
                                                                   "headerr",
                                                                   "headerf",
                                                                   "footer",
                                                                   "footerl",
                                                                   "footerr",
                                                                   "footerf",
                                                                   "object",
                                                                   "fldinst",
                                                                   "themedata",
                                                                   "colorschememapping",
                                                                   "latentstyles",
                                                                   "datastore",
                                                                   "xmlnsdecl",
                                                                   "listtable",
                                                                   "listoverridetable",
                                                                   "rsidtbl",
                                                                   "generator",
                                                                   "filetbl",
                                                                   "revtbl",
                                                                   "pgdsctbl",
                                                                   "footnote",
                                                                   "private",
                                                                   "mmathPr",
                                                                   "wgrffmtfilter",
                                                                   "listtext",
                                                                   "pntext"};

struct RtfGroup {
  bool skip = false;
  int unicodeSkip = 1;  // characters that stand in for each \uN, per \ucN
};

class RtfReader {
 public:
  explicit RtfReader(std::string_view rtf) : rtf_(rtf) { groups_.push_back({}); }

  std::string read() {
    while (pos_ < rtf_.size()) {
      const char c = rtf_[pos_++];
      if (c == '{') {
        groups_.push_back(groups_.back());
      } else if (c == '}') {
        if (groups_.size() > 1) groups_.pop_back();
      } else if (c == '\\') {
        controlSequence();
      } else if (c != '\r' && c != '\n') {
        character(static_cast<unsigned char>(c));
      }
    }
    return std::move(out_);
  }

 private:
  RtfGroup& group() { return groups_.back(); }

  // A byte of text; the characters standing in for a \uN character are dropped.
  void character(unsigned char byte) {
    if (pendingSkip_ > 0) {
      --pendingSkip_;
      return;
    }
    if (group().skip) return;
    if (byte < 0x80) {
      emit(byte);
    } else if (auto codePoint = TextDecoding::cp1252CodePoint(byte)) {
      emit(*codePoint);
    }
  }

  void emit(char32_t codePoint) {
    if (group().skip) return;
    if (highSurrogate_ != 0) {
      if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
        codePoint = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (codePoint - 0xDC00);
      } else {
        TextDecoding::appendUtf8(out_, 0xFFFD);
      }
      highSurrogate_ = 0;
    }
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      highSurrogate_ = codePoint;
      return;
    }
    TextDecoding::appendUtf8(out_, codePoint);
  }

  void controlSequence() {
    if (pos_ >= rtf_.size()) return;
    const char c = rtf_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c))) return controlWord();
    ++pos_;
    switch (c) {
      case '\\':
      case '{':
      case '}':
        return character(static_cast<unsigned char>(c));
      case '\'':
        return hexCharacter();
      case '*':
        group().skip = true;
        return;
      case '~':
        return emit(0x00A0);
      case '_':
        return emit(0x2011);
      case '\n':
      case '\r':
        return emit('\n');
      default:
        return;  // \- (optional hyphen) and unknown symbols leave nothing
    }
  }

  void hexCharacter() {
    if (pos_ + 2 > rtf_.size()) return;
    const std::string hex(rtf_.substr(pos_, 2));
    pos_ += 2;
    char* end = nullptr;
    const long value = std::strtol(hex.c_str(), &end, 16);
    if (end != hex.c_str() + 2) return;
    character(static_cast<unsigned char>(value));
  }

  void controlWord() {
    const std::size_t start = pos_;
    while (pos_ < rtf_.size() && std::isalpha(static_cast<unsigned char>(rtf_[pos_]))) ++pos_;
    const std::string_view word = rtf_.substr(start, pos_ - start);
    std::optional<long> parameter;
    const std::size_t digits = pos_;
    if (pos_ < rtf_.size() && rtf_[pos_] == '-') ++pos_;
    while (pos_ < rtf_.size() && std::isdigit(static_cast<unsigned char>(rtf_[pos_]))) ++pos_;
    if (pos_ > digits && std::isdigit(static_cast<unsigned char>(rtf_[pos_ - 1]))) {
      parameter = std::strtol(std::string(rtf_.substr(digits, pos_ - digits)).c_str(), nullptr, 10);
    } else {
      pos_ = digits;
    }
    if (pos_ < rtf_.size() && rtf_[pos_] == ' ') ++pos_;
    apply(word, parameter);
  }

  void apply(std::string_view word, std::optional<long> parameter) {
    if (std::find(kSkippedDestinations.begin(), kSkippedDestinations.end(), word) !=
        kSkippedDestinations.end()) {
      group().skip = true;
    } else if (word == "par" || word == "line" || word == "row" || word == "sect" ||
               word == "page") {
      emit('\n');
    } else if (word == "tab" || word == "cell") {
      emit('\t');
    } else if (word == "uc" && parameter) {
      group().unicodeSkip = static_cast<int>(std::max(0L, *parameter));
    } else if (word == "u" && parameter) {
      emit(static_cast<char32_t>(*parameter < 0 ? *parameter + 65536 : *parameter));
      pendingSkip_ = group().unicodeSkip;
      return;
    } else if (auto symbol = namedSymbol(word)) {
      emit(*symbol);
    }
    pendingSkip_ = 0;
  }

  static std::optional<char32_t> namedSymbol(std::string_view word) {
    static constexpr std::array<std::pair<std::string_view, char32_t>, 9> kSymbols = {
        {{"emdash", 0x2014},
         {"endash", 0x2013},
         {"bullet", 0x2022},
         {"lquote", 0x2018},
         {"rquote", 0x2019},
         {"ldblquote", 0x201C},
         {"rdblquote", 0x201D},
         {"emspace", 0x2003},
         {"enspace", 0x2002}}};
    for (const auto& [name, codePoint] : kSymbols) {
      if (name == word) return codePoint;
    }
    return std::nullopt;
  }

  std::string_view rtf_;
  std::size_t pos_ = 0;
  std::vector<RtfGroup> groups_;
  int pendingSkip_ = 0;
  char32_t highSurrogate_ = 0;
  std::string out_;
};

// ---- HTML ------------------------------------------------------------------------------------

struct DocFreer {
  void operator()(htmlDocPtr doc) const { xmlFreeDoc(doc); }
};

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool isBlock(std::string_view name) {
  return isOneOf(name, {"p",          "div", "br",    "li",      "tr",      "h1",     "h2",
                        "h3",         "h4",  "h5",    "h6",      "table",   "ul",     "ol",
                        "blockquote", "pre", "hr",    "section", "article", "header", "footer",
                        "dt",         "dd",  "title", "address", "figure",  "nav"});
}

class HtmlWriter {
 public:
  void walk(xmlNodePtr node, bool preformatted) {
    for (; node != nullptr; node = node->next) {
      if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
        text(reinterpret_cast<const char*>(node->content), preformatted);
      } else if (node->type == XML_ELEMENT_NODE) {
        const std::string name = lowered(reinterpret_cast<const char*>(node->name));
        if (isOneOf(name, {"script", "style", "head", "noscript", "template"})) continue;
        const bool block = isBlock(name);
        if (block) lineBreak(name == "br");
        walk(node->children, preformatted || name == "pre");
        if (block) lineBreak(false);
        if (name == "td" || name == "th") out_ += '\t';
      }
    }
  }

  std::string take() { return std::move(out_); }

 private:
  // Ends the current line; a <br> ends it even when it is empty.
  void lineBreak(bool always) {
    if (always || (!out_.empty() && out_.back() != '\n')) out_ += '\n';
    pendingSpace_ = false;
  }

  void text(const char* content, bool preformatted) {
    if (content == nullptr) return;
    if (preformatted) {
      out_ += content;
      return;
    }
    for (const char* p = content; *p != '\0'; ++p) {
      if (std::isspace(static_cast<unsigned char>(*p))) {
        pendingSpace_ = !out_.empty() && out_.back() != '\n' && out_.back() != '\t';
        continue;
      }
      if (pendingSpace_) out_ += ' ';
      pendingSpace_ = false;
      out_ += *p;
    }
  }

  std::string out_;
  bool pendingSpace_ = false;
};

bool looksLikeHtml(std::string_view bytes, const std::filesystem::path& file) {
  const std::string ext = lowered(file.extension().string());
  if (ext == ".html" || ext == ".htm" || ext == ".xhtml") return true;
  const std::string head = lowered(bytes.substr(0, 4096));
  const auto first = head.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  if (first == std::string::npos || head[first] != '<') return false;
  return head.find("<html") != std::string::npos ||
         head.find("<!doctype html") != std::string::npos ||
         head.find("<body") != std::string::npos;
}

// Plain text in UTF-8 (a byte-order mark dropped) or UTF-16 with a byte-order mark.
std::optional<std::string> plainText(std::string_view bytes) {
  if (startsWith(bytes, "\xFE\xFF") || startsWith(bytes, "\xFF\xFE")) {
    return TextDecoding::decode(bytes, TextDecoding::Encoding::utf16);
  }
  if (startsWith(bytes, "\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (bytes.find('\0') != std::string_view::npos || !Utf8::isValid(bytes)) return std::nullopt;
  return std::string(bytes);
}

}  // namespace

std::string rtfToText(std::string_view rtf) { return RtfReader(rtf).read(); }

std::string htmlToText(std::string_view html) {
  if (html.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
  std::unique_ptr<xmlDoc, DocFreer> doc(htmlReadMemory(
      html.data(), static_cast<int>(html.size()), nullptr, nullptr,
      HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET));
  if (!doc) return {};
  HtmlWriter writer;
  writer.walk(xmlDocGetRootElement(doc.get()), false);
  return writer.take();
}

Result<std::string, std::string> toPlainText(const std::filesystem::path& file) {
  const auto opened = RegularFile::open(file);
  if (!opened) return fail(opened.error());
  return toPlainText(opened.value(), file);
}

Result<std::string, std::string> toPlainText(const RegularFile& file,
                                             const std::filesystem::path& name) {
  const auto read = file.readAll();
  if (!read) return fail(read.error());
  const std::string& bytes = read.value();
  if (startsWith(bytes, "{\\rtf")) return rtfToText(bytes);
  if (looksLikeHtml(bytes, name)) return htmlToText(bytes);
  if (auto text = plainText(bytes)) return std::move(*text);
  return fail(std::string(kUnsupported));
}

}  // namespace tvrn::TextConverter
