#include "server/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace geomuxer {

namespace {

// Two passes over 19 MiB: the cost OWASP names for argon2id, about 30 ms here. The costs are part
// of every stored string, so raising them later re-hashes each account at its next login.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimit = 19 * 1024 * 1024;

void initSodium() {
  // Safe to call from several threads and more than once.
  if (sodium_init() < 0) throw std::runtime_error("The password hashing library cannot start");
}

bool isHexDigest(std::string_view stored) {
  return stored.size() == 32 && std::all_of(stored.begin(), stored.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

bool isArgon2id(std::string_view stored) {
  return stored.size() < crypto_pwhash_argon2id_STRBYTES &&
         stored.substr(0, std::string_view(crypto_pwhash_argon2id_STRPREFIX).size()) ==
             crypto_pwhash_argon2id_STRPREFIX;
}

PasswordCheck checkLegacy(std::string_view stored, std::string_view password) {
  std::string lower(stored);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
  const std::string digest = legacyPasswordDigest(password);
  const bool same = CRYPTO_memcmp(lower.data(), digest.data(), digest.size()) == 0;
  return {same, same};
}

PasswordCheck checkArgon2id(std::string_view stored, std::string_view password) {
  initSodium();
  const std::string text(stored);  // the library reads a terminated string
  if (crypto_pwhash_argon2id_str_verify(text.c_str(), password.data(), password.size()) != 0) return {};
  return {true, crypto_pwhash_argon2id_str_needs_rehash(text.c_str(), kOpsLimit, kMemLimit) != 0};
}

}  // namespace

std::string hashPassword(std::string_view password) {
  initSodium();
  std::array<char, crypto_pwhash_argon2id_STRBYTES> out{};
  if (crypto_pwhash_argon2id_str(out.data(), password.data(), password.size(), kOpsLimit, kMemLimit) != 0)
    throw std::runtime_error("Not enough memory to hash a password");
  return out.data();
}

std::string legacyPasswordDigest(std::string_view password) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(password.data(), password.size(), digest.data(), &size, EVP_md5(), nullptr) != 1)
    throw std::runtime_error("MD5 digest is not available");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

PasswordCheck checkPassword(std::string_view stored, std::string_view password) {
  if (isHexDigest(stored)) return checkLegacy(stored, password);
  if (isArgon2id(stored)) return checkArgon2id(stored, password);
  return {};
}

// --- PasswordVerifier ----------------------------------------------------------------------------

PasswordVerifier::PasswordVerifier() {
  initSodium();
  randombytes_buf(m_key, sizeof m_key);
}

std::string PasswordVerifier::fingerprint(std::string_view stored, std::string_view password) const {
  crypto_generichash_state state;
  crypto_generichash_init(&state, m_key, sizeof m_key, crypto_generichash_BYTES);
  // The length first, so that no other split of the same bytes gives the same fingerprint.
  const unsigned long long storedSize = stored.size();
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&storedSize), sizeof storedSize);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(stored.data()), stored.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()), password.size());
  std::string out(crypto_generichash_BYTES, '\0');
  crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(out.data()), out.size());
  return out;
}

PasswordCheck PasswordVerifier::check(std::string_view stored, std::string_view password) {
  // Old digests are cheap to check and are replaced at this login anyway.
  if (!isArgon2id(stored)) return checkPassword(stored, password);
  const std::string key = fingerprint(stored, password);
  {
    std::unique_lock lock(m_mutex);
    if (m_remembered.count(key) != 0) return {true, false};
    m_slotFree.wait(lock, [this] { return m_running < kMaxConcurrentHashes; });
    ++m_running;
  }
  PasswordCheck result;
  {
    // Gives the slot back on every way out.
    struct Slot {
      PasswordVerifier& verifier;
      ~Slot() {
        std::lock_guard lock(verifier.m_mutex);
        --verifier.m_running;
        verifier.m_slotFree.notify_one();
      }
    } slot{*this};
    result = checkArgon2id(stored, password);
  }
  std::lock_guard lock(m_mutex);
  if (result.matches && !result.needsRehash) {
    if (m_remembered.size() >= kMaxRemembered) m_remembered.clear();
    m_remembered.insert(key);
  }
  return result;
}

}  // namespace geomuxer
