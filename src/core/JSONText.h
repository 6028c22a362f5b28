// JSON text written straight from a value, for the replies sent on every call: the same bytes
// nlohmann::json's dump writes (strings escaped as it escapes them, non-ASCII text left as it
// is), without its byte-by-byte escaping. What this path does not cover (text that is not UTF-8,
// binary values) is left to nlohmann, so the text is always the one it would write.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::JSONText {

// Appends the text as a JSON string, quotes included. False, appending nothing, when the text
// is not valid UTF-8.
bool appendString(std::string& out, std::string_view text);
void appendInteger(std::string& out, std::int64_t value);
void appendInteger(std::string& out, std::uint64_t value);
// The bytes the text takes written inside a JSON string, quotes not counted.
std::size_t escapedSize(std::string_view text);
// As nlohmann writes a double: the shortest form that reads back the same, null when not finite.
void appendDouble(std::string& out, double value);

// value.dump(indent) for indent >= 0, compact for -1; nothing when the value holds text that is
// not UTF-8 or a binary value.
std::optional<std::string> dump(const nlohmann::json& value, int indent = -1);

// Writes the text dump(indent) writes, value by value, for an answer of a fixed shape that needs
// no tree: an object's members are given in the order of their keys, as a tree holds them. A
// string that is not valid UTF-8 is refused (false), and the text is then of no use.
class Writer {
 public:
  // `expected`: about how long the text will be, so it is not copied as it grows.
  explicit Writer(int indent = -1, std::size_t expected = 0) : indent_(indent) {
    text_.reserve(expected);
  }

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  [[nodiscard]] bool key(std::string_view name);
  [[nodiscard]] bool string(std::string_view text);
  void integer(std::int64_t value);
  void boolean(bool value);

  std::string take() && { return std::move(text_); }

 private:
  void beforeValue();
  void open(char bracket);
  void close(char bracket);
  std::size_t& count(std::size_t level);

  int indent_;
  std::string text_;
  // Values written so far in each open container: the first levels kept here, deeper ones in
  // `deeper_`, so the few levels of an answer cost no allocation.
  std::array<std::size_t, 8> shallow_{};
  std::vector<std::size_t> deeper_;
  std::size_t depth_ = 0;            // containers open
  bool keyWritten_ = false;          // the next value is that key's
};

}  // namespace tvrn::JSONText
