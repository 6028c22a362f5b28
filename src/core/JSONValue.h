// The typed JSON tree that crosses every boundary inside the server: request params, tool
// arguments and results. nlohmann::json reads and writes the text; this type fixes which of seven
// cases a value is. It is a plain value: copies share nothing and may go to any thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tvrn {

class JSONValue {
 public:
  using Array = std::vector<JSONValue>;
  using Object = std::map<std::string, JSONValue, std::less<>>;
  // The alternatives are in the same order as Kind, so storage().index() names the case.
  using Storage =
      std::variant<bool, std::int64_t, double, std::string, Array, Object, std::nullptr_t>;
  enum class Kind {
    boolValue,
    intValue,
    doubleValue,
    stringValue,
    arrayValue,
    objectValue,
    nullValue
  };

  // Containers nested deeper than this do not decode, so one hostile message cannot exhaust the
  // process's memory or stack.
  static constexpr int maxDepth = 512;
  // Values one decoded text may hold; a request of millions of tiny values would otherwise cost
  // gigabytes while it is built.
  static constexpr std::size_t maxValues = 1'000'000;

  JSONValue() : storage_(nullptr) {}
  JSONValue(std::nullptr_t) : storage_(nullptr) {}
  JSONValue(bool value) : storage_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) JSONValue(T value) : storage_(fromInteger(value)) {}
  JSONValue(double value) : storage_(value) {}
  JSONValue(const char* value) : storage_(std::string(value)) {}
  JSONValue(std::string_view value) : storage_(std::string(value)) {}
  JSONValue(std::string value) : storage_(std::move(value)) {}
  JSONValue(Array value) : storage_(std::move(value)) {}
  JSONValue(Object value) : storage_(std::move(value)) {}

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  // For switching on the case, e.g. to read a double payload (there is no accessor for it).
  const Storage& storage() const& { return storage_; }
  Storage&& storage() && { return std::move(storage_); }

  // The member of that name of an object; nullptr for a missing key or any other case.
  const JSONValue* operator[](std::string_view key) const;
  // The element of an array when 0 <= index < size; nullptr otherwise.
  const JSONValue* operator[](std::int64_t index) const;

  // Each gives the payload of its own case only; nothing converts between cases.
  std::optional<std::string> asString() const;
  std::optional<std::int64_t> asInt() const;
  std::optional<bool> asBool() const;
  const Array* asArray() const;
  const Object* asObject() const;

  // The untyped form: the same tree as nlohmann::json.
  nlohmann::json rawValue() const;

  // Untyped JSON from text; nothing when the text is not exactly one JSON value or nests deeper
  // than maxDepth (so converting it recursively afterwards cannot exhaust the stack).
  static std::optional<nlohmann::json> parseUntyped(std::string_view text);
  // One JSON value from text, in the decode order null, bool, int, double, string, array,
  // object; nothing when the text is not exactly one JSON value, nests too deep or holds more
  // than maxValues values.
  static std::optional<JSONValue> decode(std::string_view text);
  // The members of one JSON object that `names` lists, decoded as above, each into the slot at
  // the same position in `slots` (left as it was when the text does not hold it), without
  // building the object itself; other members are read, counted and dropped. A repeated name
  // keeps its last value. False, with the slots in no particular state, when the text is not
  // exactly one JSON object or breaks the limits decode keeps.
  static bool decodeMembers(std::string_view text, std::span<const std::string_view> names,
                            std::span<std::optional<JSONValue>> slots);
  // The same decode order applied to an untyped value.
  static std::optional<JSONValue> fromRaw(const nlohmann::json& value);

  // Compact JSON text. Bytes of strings that are not valid UTF-8 become U+FFFD, so the result is
  // always valid JSON.
  std::string encode() const;
  // The same text appended to `out`.
  void encodeTo(std::string& out) const;

 private:
  class Builder;

  template <typename T>
  static Storage fromInteger(T value) {
    // Only unsigned types as wide as int64 can hold values past its range.
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<double>(value);
      }
    }
    return static_cast<std::int64_t>(value);
  }

  Storage storage_;
};

}  // namespace tvrn
