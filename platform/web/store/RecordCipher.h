// Session records at rest: sealed with AES-256-GCM under a key ring before they go to the store,
// so that whoever reads the store (a dump, a backup, a shared server) learns nothing and can
// change nothing unnoticed.
//
// A sealed record is: the magic "zk1", one byte with the key id's length, the key id, 12 random
// IV bytes, the ciphertext and the 16-byte tag. The magic, the key id and the session id are
// authenticated data, so a record opens only under the key it names and only for the session
// it was sealed for (it cannot be moved to another session).
//
// Threads: a TKeyRing is not changed after it is made; sealing and opening from many threads at
// once with one ring is safe.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::web::store {

// A key ring read from a file: one key a line, an id, one blank, 64 hexadecimal digits (32
// bytes); a final newline is allowed, nothing else is. An id is 1 to 32 letters, digits, '.',
// '_' or '-', each id listed once. The first line's key seals; every listed key opens (rotation:
// put the new key first and keep the old ones below until their records have expired). Key
// material is wiped from memory (OPENSSL_cleanse) when a ring goes, and never appears in a
// message.
class TKeyRing {
 public:
  static constexpr std::size_t KeySize = 32;
  static constexpr std::size_t MaxIdLength = 32;

  // Raises rtl::Exception naming the file (and the line) when it cannot be read or holds
  // anything but keys as above (no key, a bad id, a short key, a duplicate id...).
  static TKeyRing FromFile(const std::string& Path);
  // The same from text; Name stands for the file in messages.
  static TKeyRing FromText(std::string_view Text, const std::string& Name);

  // The id of the key that seals.
  const std::string& SealingId() const { return FKeys.front().Id; }
  std::size_t Size() const { return FKeys.size(); }

 private:
  struct TKey {
    std::string Id;
    std::array<unsigned char, KeySize> Bytes{};
    TKey() = default;
    TKey(const TKey&) = default;
    TKey& operator=(const TKey&) = default;
    ~TKey();
  };
  TKeyRing() = default;
  const TKey* Find(std::string_view Id) const;
  std::vector<TKey> FKeys;  // never empty; the first seals

  friend std::string SealRecord(const TKeyRing&, std::string_view, std::string_view);
  friend std::optional<std::string> OpenRecord(const TKeyRing&, std::string_view, std::string_view);
};

// Plain sealed for session SessionId under the ring's first key, with a fresh random IV.
// Raises rtl::Exception when no random bytes can be had or the cipher fails.
std::string SealRecord(const TKeyRing& Keys, std::string_view SessionId, std::string_view Plain);
// The plaintext, or none when the record is malformed, names an unknown key or fails
// authentication (altered, truncated, sealed for another session or under another key of the
// same id): the caller counts it as refused and treats the session as absent.
std::optional<std::string> OpenRecord(const TKeyRing& Keys, std::string_view SessionId,
                                      std::string_view Record);

}  // namespace zelk::web::store
