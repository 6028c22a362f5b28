#include "core/JSONValue.h"

#include <utility>

#include "core/JSONText.h"

namespace tvrn {
namespace {

using Json = nlohmann::json;

// An integer literal past the signed 64-bit range is a double, never a wrapped int.
JSONValue fromUnsigned(std::uint64_t value) {
  if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return JSONValue(static_cast<double>(value));
  }
  return JSONValue(static_cast<std::int64_t>(value));
}

std::optional<JSONValue> convert(const Json& value, int depth) {
  switch (value.type()) {
    case Json::value_t::null:
      return JSONValue();
    case Json::value_t::boolean:
      return JSONValue(value.get<bool>());
    case Json::value_t::number_integer:
      return JSONValue(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return fromUnsigned(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return JSONValue(value.get<double>());
    case Json::value_t::string:
      return JSONValue(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      if (depth >= JSONValue::maxDepth) return std::nullopt;
      JSONValue::Array elements;
      elements.reserve(value.size());
      for (const auto& element : value) {
        auto converted = convert(element, depth + 1);
        if (!converted) return std::nullopt;
        elements.push_back(std::move(*converted));
      }
      return JSONValue(std::move(elements));
    }
    case Json::value_t::object: {
      if (depth >= JSONValue::maxDepth) return std::nullopt;
      JSONValue::Object members;
      for (const auto& [name, member] : value.items()) {
        auto converted = convert(member, depth + 1);
        if (!converted) return std::nullopt;
        members.emplace(name, std::move(*converted));
      }
      return JSONValue(std::move(members));
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return std::nullopt;
}

// A string as JSON text; one that is not UTF-8 is left to nlohmann, which writes U+FFFD for its
// ill-formed bytes.
void appendText(std::string& out, const std::string& text) {
  if (!JSONText::appendString(out, text)) {
    out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

}  // namespace

// Builds the tree straight from the parser's events: each value is made where it belongs, in its
// container, and the containers under construction are held by address (an element's address
// stays put while it is open, as nothing is added beside it until it closes). Opening a container
// past the depth limit, or any value past the count limit, stops the parser, so a hostile
// document is abandoned before it costs memory.
class JSONValue::Builder final : public nlohmann::json_sax<Json> {
 public:
  Builder() { open_.reserve(16); }
  // Only the named members of a root object are kept, each in its slot.
  Builder(std::span<const std::string_view> names, std::span<std::optional<JSONValue>> slots)
      : Builder() {
    names_ = names;
    slots_ = slots;
    membersOnly_ = true;
  }

  JSONValue take() { return std::move(root_); }

  bool null() override { return add(JSONValue()); }
  bool boolean(bool value) override { return add(JSONValue(value)); }
  bool number_integer(number_integer_t value) override { return add(JSONValue(value)); }
  // An integer literal past the signed 64-bit range is a double, never a wrapped int.
  bool number_unsigned(number_unsigned_t value) override { return add(fromUnsigned(value)); }
  bool number_float(number_float_t value, const string_t&) override {
    return add(JSONValue(value));
  }
  bool string(string_t& value) override { return add(JSONValue(std::move(value))); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(JSONValue(Object{})); }
  bool key(string_t& name) override {
    key_ = std::move(name);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JSONValue(Array{})); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const Json::exception&) override {
    return false;
  }

 private:
  bool add(JSONValue&& value) {
    if (++count_ > maxValues) return false;
    return place(std::move(value)) != nullptr;
  }

  bool open(JSONValue&& container) {
    if (++count_ > maxValues) return false;
    if (open_.size() >= static_cast<std::size_t>(maxDepth)) return false;
    if (membersOnly_ && open_.empty()) {
      // The root object itself is never built: its members go to their slots.
      if (!container.asObject()) return false;
      open_.push_back(nullptr);
      return true;
    }
    JSONValue* placed = place(std::move(container));
    if (placed == nullptr) return false;
    open_.push_back(placed);
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Puts a value where the text has it; nullptr when it may not be there.
  JSONValue* place(JSONValue&& value) {
    if (open_.empty()) {
      if (membersOnly_) return nullptr;  // a root that is not an object
      root_ = std::move(value);
      return &root_;
    }
    JSONValue* top = open_.back();
    if (top == nullptr) return member(std::move(value));
    if (auto* array = std::get_if<Array>(&top->storage_)) {
      return &array->emplace_back(std::move(value));
    }
    auto& members = std::get<Object>(top->storage_);
    // A repeated key keeps its last value, as the untyped reader does.
    auto [at, added] = members.try_emplace(std::move(key_), std::move(value));
    if (!added) at->second = std::move(value);
    return &at->second;
  }

  JSONValue* member(JSONValue&& value) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == key_) return &slots_[i].emplace(std::move(value));
    }
    dropped_ = std::move(value);
    return &dropped_;
  }

  // The open containers, innermost last; nullptr stands for the root whose members go to slots.
  std::vector<JSONValue*> open_;
  std::string key_;  // the member the next value belongs to, inside an object
  JSONValue root_;
  std::size_t count_ = 0;
  bool membersOnly_ = false;
  std::span<const std::string_view> names_;
  std::span<std::optional<JSONValue>> slots_;
  JSONValue dropped_;  // a member of the root that no slot wants, while it is read
};

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const auto* members = std::get_if<Object>(&storage_);
  if (members == nullptr) return nullptr;
  auto found = members->find(key);
  return found == members->end() ? nullptr : &found->second;
}

const JSONValue* JSONValue::operator[](std::int64_t index) const {
  const auto* elements = std::get_if<Array>(&storage_);
  if (elements == nullptr || index < 0 || static_cast<std::uint64_t>(index) >= elements->size()) {
    return nullptr;
  }
  return &(*elements)[static_cast<std::size_t>(index)];
}

std::optional<std::string> JSONValue::asString() const {
  if (const auto* text = std::get_if<std::string>(&storage_)) return *text;
  return std::nullopt;
}

std::optional<std::int64_t> JSONValue::asInt() const {
  if (const auto* number = std::get_if<std::int64_t>(&storage_)) return *number;
  return std::nullopt;
}

std::optional<bool> JSONValue::asBool() const {
  if (const auto* flag = std::get_if<bool>(&storage_)) return *flag;
  return std::nullopt;
}

const JSONValue::Array* JSONValue::asArray() const { return std::get_if<Array>(&storage_); }

const JSONValue::Object* JSONValue::asObject() const { return std::get_if<Object>(&storage_); }

nlohmann::json JSONValue::rawValue() const {
  return std::visit(
      [](const auto& payload) -> Json {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, Array>) {
          Json list = Json::array();
          for (const auto& element : payload) list.push_back(element.rawValue());
          return list;
        } else if constexpr (std::is_same_v<T, Object>) {
          Json map = Json::object();
          for (const auto& [name, member] : payload) map.emplace(name, member.rawValue());
          return map;
        } else {
          return Json(payload);
        }
      },
      storage_);
}

std::optional<Json> JSONValue::parseUntyped(std::string_view text) {
  bool tooDeep = false;
  const Json::parser_callback_t depthGuard = [&tooDeep](int depth, Json::parse_event_t, Json&) {
    if (depth > maxDepth) tooDeep = true;
    return !tooDeep;
  };
  Json parsed = Json::parse(text, depthGuard, false);
  if (tooDeep || parsed.is_discarded()) return std::nullopt;
  return parsed;
}

std::optional<JSONValue> JSONValue::decode(std::string_view text) {
  Builder builder;
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) return std::nullopt;
  return builder.take();
}

bool JSONValue::decodeMembers(std::string_view text, std::span<const std::string_view> names,
                              std::span<std::optional<JSONValue>> slots) {
  Builder builder(names, slots);
  return Json::sax_parse(text.begin(), text.end(), &builder);
}

std::optional<JSONValue> JSONValue::fromRaw(const nlohmann::json& value) {
  return convert(value, 0);
}

std::string JSONValue::encode() const {
  std::string text;
  encodeTo(text);
  return text;
}

void JSONValue::encodeTo(std::string& out) const {
  std::visit(
      [&out](const auto& payload) {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += payload ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          JSONText::appendInteger(out, payload);
        } else if constexpr (std::is_same_v<T, double>) {
          JSONText::appendDouble(out, payload);
        } else if constexpr (std::is_same_v<T, std::string>) {
          appendText(out, payload);
        } else if constexpr (std::is_same_v<T, Array>) {
          out.push_back('[');
          for (std::size_t i = 0; i < payload.size(); ++i) {
            if (i > 0) out.push_back(',');
            payload[i].encodeTo(out);
          }
          out.push_back(']');
        } else if constexpr (std::is_same_v<T, Object>) {
          out.push_back('{');
          bool first = true;
          for (const auto& [name, member] : payload) {
            if (!first) out.push_back(',');
            first = false;
            appendText(out, name);
            out.push_back(':');
            member.encodeTo(out);
          }
          out.push_back('}');
        } else {
          out += "null";
        }
      },
      storage_);
}

}  // namespace tvrn
