#include "fakes/support/UpdateArchiveMaker.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <stdexcept>

#include "platform/Base64.h"

namespace tvrn::test {

std::string makeTarGz(const std::vector<ArchiveEntry>& entries) {
  std::string bytes(entries.size() * 4096 + 65536, '\0');
  std::size_t used = 0;
  archive* writer = archive_write_new();
  archive_write_set_format_pax_restricted(writer);
  archive_write_add_filter_gzip(writer);
  archive_write_open_memory(writer, bytes.data(), bytes.size(), &used);
  for (const auto& item : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, item.name.c_str());
    archive_entry_set_perm(entry, item.kind == ArchiveEntry::Kind::folder ? 0755 : item.mode);
    switch (item.kind) {
      case ArchiveEntry::Kind::file:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, static_cast<la_int64_t>(item.contents.size()));
        break;
      case ArchiveEntry::Kind::folder:
        archive_entry_set_filetype(entry, AE_IFDIR);
        break;
      case ArchiveEntry::Kind::symlink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink(entry, item.contents.c_str());
        break;
      case ArchiveEntry::Kind::hardlink:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_hardlink(entry, item.contents.c_str());
        break;
    }
    archive_write_header(writer, entry);
    if (item.kind == ArchiveEntry::Kind::file) {
      archive_write_data(writer, item.contents.data(), item.contents.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  bytes.resize(used);
  return bytes;
}

struct Signer::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

Signer::Signer() : key_(std::make_unique<Key>()) {
  key_->pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (key_->pkey == nullptr) throw std::runtime_error("no Ed25519 key");
}

Signer::Signer(const std::string& seed) : key_(std::make_unique<Key>()) {
  key_->pkey = EVP_PKEY_new_raw_private_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(seed.data()), seed.size());
  if (key_->pkey == nullptr) throw std::runtime_error("not an Ed25519 seed");
}

Signer::~Signer() = default;

std::string Signer::publicKeyBase64() const {
  std::string raw(32, '\0');
  std::size_t length = raw.size();
  EVP_PKEY_get_raw_public_key(key_->pkey, reinterpret_cast<unsigned char*>(raw.data()), &length);
  return Base64::encode(raw);
}

std::string Signer::signBase64(const std::string& message) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::string signature(64, '\0');
  std::size_t length = signature.size();
  EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_->pkey);
  EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                 reinterpret_cast<const unsigned char*>(message.data()), message.size());
  EVP_MD_CTX_free(context);
  return Base64::encode(signature);
}

}  // namespace tvrn::test
