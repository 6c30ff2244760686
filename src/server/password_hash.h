#pragma once
// How client-account passwords are stored and checked, shared by every store so that they hash
// alike. New passwords are stored as argon2id strings ("$argon2id$v=19$m=...,t=...,p=1$salt$hash",
// libsodium); the 32-digit MD5 hex digests of older databases are still accepted, and a store
// replaces one with an argon2id string at the next successful login.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace geomuxer {

/// A new stored form of `password`: argon2id with a fresh salt. Throws std::runtime_error when
/// the hashing library cannot work (out of memory).
[[nodiscard]] std::string hashPassword(std::string_view password);

/// The lower-case hexadecimal MD5 digest of `password`'s bytes: how older databases stored
/// passwords. Only for reading and writing such rows; new rows use hashPassword().
[[nodiscard]] std::string legacyPasswordDigest(std::string_view password);

struct PasswordCheck {
  bool matches = false;
  /// The stored form is an old digest or used weaker costs than today's: store hashPassword().
  bool needsRehash = false;
};

/// Checks `password` against a stored form (argon2id string, or MD5 hex digest compared without
/// regard to case). Anything else never matches.
[[nodiscard]] PasswordCheck checkPassword(std::string_view stored, std::string_view password);

/// checkPassword() for a store that checks the same accounts over and over (every posted position
/// carries its credentials): it remembers, keyed with a secret of this process, which stored form
/// and password belonged together, so that a repeated login costs a keyed
/// BLAKE2b instead of an argon2id run; and it lets only a few argon2id runs (each takes tens of
/// megabytes) go at once. Failures are never remembered. Thread-safe.
class PasswordVerifier {
 public:
  static constexpr std::size_t kMaxRemembered = 1024;
  static constexpr int kMaxConcurrentHashes = 2;

  PasswordVerifier();
  PasswordVerifier(const PasswordVerifier&) = delete;
  PasswordVerifier& operator=(const PasswordVerifier&) = delete;

  [[nodiscard]] PasswordCheck check(std::string_view stored, std::string_view password);

 private:
  [[nodiscard]] std::string fingerprint(std::string_view stored, std::string_view password) const;

  unsigned char m_key[32];
  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_slotFree;
  int m_running = 0;
  std::unordered_set<std::string> m_remembered;
};

}  // namespace geomuxer
