#include "bridges/ScriptText.h"

#include "base/Utf8.h"

namespace tvrn::ScriptText {

std::string decodeTrimmed(std::string_view bytes) {
  if (!Utf8::isValid(bytes)) return {};
  return std::string(Utf8::trim(bytes, Utf8::isWhiteSpace));
}

}  // namespace tvrn::ScriptText
