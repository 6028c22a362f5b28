// Builds update archives as the back end publishes them: a .tar.gz with the entries a test
// names, and an Ed25519 signature by a key made for the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tvrn::test {

struct ArchiveEntry {
  enum class Kind { file, folder, symlink, hardlink };
  std::string name;
  std::string contents;  // a file's bytes, or a link's target
  Kind kind = Kind::file;
  int mode = 0644;
};

std::string makeTarGz(const std::vector<ArchiveEntry>& entries);

// An Ed25519 key pair: a fresh one, or the one a 32-byte seed gives every time.
class Signer {
 public:
  Signer();
  explicit Signer(const std::string& seed);
  ~Signer();
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  std::string publicKeyBase64() const;  // the raw 32 bytes, as TVRN_UPDATE_PUBLIC_KEY takes it
  std::string signBase64(const std::string& message) const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

}  // namespace tvrn::test
