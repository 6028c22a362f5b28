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

// Builds the tree straight from the parser's events, refusing to open a container past the
// depth limit, so a hostile document is abandoned before it costs memory.
class TreeBuilder final : public nlohmann::json_sax<Json> {
 public:
  std::optional<JSONValue> take() { return std::move(root_); }

  bool null() override { return add(JSONValue()); }
  bool boolean(bool value) override { return add(JSONValue(value)); }
  bool number_integer(number_integer_t value) override { return add(JSONValue(value)); }
  bool number_unsigned(number_unsigned_t value) override { return add(fromUnsigned(value)); }
  bool number_float(number_float_t value, const string_t&) override {
    return add(JSONValue(value));
  }
  bool string(string_t& value) override { return add(JSONValue(std::move(value))); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(JSONValue::Object{}); }
  bool key(string_t& name) override {
    open_.back().key = std::move(name);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JSONValue::Array{}); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const Json::exception&) override {
    return false;
  }

 private:
  struct Frame {
    std::variant<JSONValue::Array, JSONValue::Object> container;
    std::string key;  // the member the next value belongs to, inside an object
  };

  bool open(std::variant<JSONValue::Array, JSONValue::Object> container) {
    if (++count_ > JSONValue::maxValues) return false;
    if (open_.size() >= static_cast<std::size_t>(JSONValue::maxDepth)) return false;
    open_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Frame frame = std::move(open_.back());
    open_.pop_back();
    return std::visit([this](auto& container) { return place(JSONValue(std::move(container))); },
                      frame.container);
  }

  // Counts a scalar; containers are counted when opened.
  bool add(JSONValue value) {
    if (!value.asArray() && !value.asObject() && ++count_ > JSONValue::maxValues) return false;
    return place(std::move(value));
  }

  bool place(JSONValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = open_.back();
    if (auto* array = std::get_if<JSONValue::Array>(&top.container)) {
      array->push_back(std::move(value));
    } else {
      // A repeated key keeps its last value, as the untyped reader does.
      std::get<JSONValue::Object>(top.container)
          .insert_or_assign(std::move(top.key), std::move(value));
    }
    return true;
  }

  std::vector<Frame> open_;
  std::optional<JSONValue> root_;
  std::size_t count_ = 0;
};

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
  TreeBuilder builder;
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) return std::nullopt;
  return builder.take();
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
