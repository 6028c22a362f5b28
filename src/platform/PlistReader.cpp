#include "platform/PlistReader.h"

#include <openssl/evp.h>
#include <plist/plist.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "base/Timestamp.h"
#include "platform/FileStore.h"

namespace tvrn::PlistReader {
namespace {

using json = nlohmann::json;

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateOffset = 978307200;
// Deeper nesting than any real preferences file is refused rather than recursed into.
constexpr int kMaxDepth = 256;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::string base64(const char* bytes, std::uint64_t length) {
  std::string out(4 * ((length + 2) / 3), '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes), static_cast<int>(length));
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::string dateText(plist_t node) {
  std::int32_t seconds = 0;
  std::int32_t micros = 0;
  plist_get_date_val(node, &seconds, &micros);
  const auto when =
      std::chrono::system_clock::time_point(std::chrono::seconds(kReferenceDateOffset + seconds));
  return Timestamp::iso8601UTC(when);
}

std::optional<json> convert(plist_t node, int depth);

std::optional<json> convertDictionary(plist_t node, int depth) {
  json object = json::object();
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  if (iter == nullptr) return object;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iter, &key, &value);
    if (value == nullptr) {
      std::free(key);
      break;
    }
    auto converted = convert(value, depth + 1);
    if (key != nullptr && converted) object[key] = *std::move(converted);
    std::free(key);
    if (!converted) {
      std::free(iter);
      return std::nullopt;
    }
  }
  std::free(iter);
  return object;
}

std::optional<json> convertArray(plist_t node, int depth) {
  json array = json::array();
  const std::uint32_t size = plist_array_get_size(node);
  for (std::uint32_t i = 0; i < size; ++i) {
    auto converted = convert(plist_array_get_item(node, i), depth + 1);
    if (!converted) return std::nullopt;
    array.push_back(*std::move(converted));
  }
  return array;
}

std::optional<json> convert(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_DICT:
      return convertDictionary(node, depth);
    case PLIST_ARRAY:
      return convertArray(node, depth);
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return json(value != 0);
    }
    case PLIST_UINT: {
      // The library keeps every integer in 64 unsigned bits; negative ones come back as their
      // two's complement.
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return json(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return json(value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return json(text == nullptr ? std::string() : std::string(text, length));
    }
    case PLIST_DATE:
      return json(dateText(node));
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      return json(base64(bytes, bytes == nullptr ? 0 : length));
    }
    case PLIST_UID: {
      std::uint64_t value = 0;
      plist_get_uid_val(node, &value);
      return json(value);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<json> parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  if (plist_is_binary(bytes.data(), length)) {
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  PlistPtr owned(root);
  auto converted = convert(root, 0);
  // Text that is not a property list must not read as one; it is refused, not coerced.
  if (!converted) return std::nullopt;
  return converted;
}

std::optional<json> readFile(const std::filesystem::path& file) {
  auto bytes = FileStore::read(file);
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

}  // namespace tvrn::PlistReader
