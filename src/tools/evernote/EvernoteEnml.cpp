#include "tools/evernote/EvernoteEnml.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdlib>

#include "base/Utf8.h"
#include "tools/evernote/EvernoteTexts.h"

namespace tvrn::EvernoteTools {
namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Every match of the pattern replaced by a literal; the patterns are constants of this file.
std::string substituted(const std::string& text, std::string_view pattern,
                        std::string_view replacement) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  if (code == nullptr) std::abort();
  std::string output(text.size() + 64, '\0');
  for (int round = 0; round < 2; ++round) {
    PCRE2_SIZE length = output.size();
    const int result = pcre2_substitute(
        code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
        PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_LITERAL | PCRE2_SUBSTITUTE_OVERFLOW_LENGTH,
        nullptr, nullptr, reinterpret_cast<PCRE2_SPTR>(replacement.data()), replacement.size(),
        reinterpret_cast<PCRE2_UCHAR*>(output.data()), &length);
    if (result >= 0) {
      output.resize(length);
      break;
    }
    if (result != PCRE2_ERROR_NOMEMORY) {
      output = text;
      break;
    }
    output.assign(length, '\0');  // the length needed, as OVERFLOW_LENGTH reports it
  }
  pcre2_code_free(code);
  return output;
}

bool isWhiteSpace(char32_t codePoint) { return Utf8::isWhiteSpace(codePoint); }

}  // namespace

std::string enmlWrap(std::string_view text) {
  std::string body(text);
  replaceAll(body, "&", "&amp;");
  replaceAll(body, "<", "&lt;");
  replaceAll(body, ">", "&gt;");
  replaceAll(body, "\n", "</p><p>");
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE en-note SYSTEM \"" +
         std::string(EvernoteTexts::kEnmlDTD) + "\"><en-note><p>" + body + "</p></en-note>";
}

std::string enmlToText(std::string_view enml) {
  std::string text = substituted(Utf8::replaceInvalid(enml), "<[^>]+>", " ");
  // One after the other over the whole text, so a doubly escaped "<" ends as a plain one.
  replaceAll(text, "&amp;", "&");
  replaceAll(text, "&lt;", "<");
  replaceAll(text, "&gt;", ">");
  replaceAll(text, "&nbsp;", " ");
  replaceAll(text, "&quot;", "\"");
  text = substituted(text, "\\s{2,}", "\n");
  return std::string(Utf8::trim(text, isWhiteSpace));
}

}  // namespace tvrn::EvernoteTools
