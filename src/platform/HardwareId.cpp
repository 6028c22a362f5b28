#include "platform/HardwareId.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cctype>
#include <random>

#include "platform/FileStore.h"

namespace tvrn::HardwareId {
namespace {

// Keys the derivation to this system, so the UUID matches no other program's view of the id.
constexpr std::string_view kLabel = "com.tavrin.platform-uuid";

using Bytes16 = std::array<unsigned char, 16>;

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool isMachineId(const std::string& id) {
  if (id.size() != 32) return false;
  for (unsigned char c : id) {
    if (!std::isxdigit(c)) return false;
  }
  return true;
}

// Marks the bytes as a version-4, RFC 4122 variant UUID and prints them in upper case.
std::string formatUUID(Bytes16 bytes) {
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

std::optional<std::string> platformUUID(const std::filesystem::path& machineIdFile) {
  std::string id = trimmed(FileStore::read(machineIdFile).value_or(""));
  if (!isMachineId(id)) return std::nullopt;
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), id.data(), static_cast<int>(id.size()),
           reinterpret_cast<const unsigned char*>(kLabel.data()), kLabel.size(), digest,
           &length) == nullptr ||
      length < 16) {
    return std::nullopt;
  }
  Bytes16 bytes;
  std::copy(digest, digest + bytes.size(), bytes.begin());
  return formatUUID(bytes);
}

std::string randomUUID() {
  Bytes16 bytes;
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
  }
  return formatUUID(bytes);
}

}  // namespace tvrn::HardwareId
