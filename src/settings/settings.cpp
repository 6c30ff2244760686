#include "settings/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/number_text.h"

namespace geomuxer {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRootName = "settings";
constexpr std::string_view kVersion = "1.0";
constexpr std::string_view kWarningText = "Geomuxer Settings file, do not edit!";
// Far beyond any real settings file; a larger one is damaged or not ours, and reading it whole
// would only cost memory.
constexpr std::uintmax_t kMaxFileSize = 8u * 1024 * 1024;

constexpr std::string_view kHex = "0123456789abcdef";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void requireType(const SettingKey& key, SettingType a, SettingType b) {
  if (key.type != a && key.type != b) {
    throw std::logic_error("settings key " + std::string(key.path) + " read or written as another type");
  }
}
void requireType(const SettingKey& key, SettingType t) { requireType(key, t, t); }

// kSettingsParseErrorText with its four places filled in order: file, line, column, message.
std::string parseErrorMessage(const fs::path& file, const SmlPosError& e) {
  const std::array<std::string, 4> args{file.string(), std::to_string(e.line()), std::to_string(e.column()),
                                        e.what()};
  std::string out;
  std::size_t next = 0;
  const std::string_view text = kSettingsParseErrorText;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 's' || text[i + 1] == 'd') && next < args.size()) {
      out += args[next++];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string systemMessage(int err) { return std::error_code(err, std::generic_category()).message(); }

// The reasons read like those of toInt and toDouble; the key goes in front.
std::string invalidInteger(std::string_view text) { return "'" + std::string(text) + "' is not a valid integer value"; }
std::string invalidFloat(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid floating point value";
}
std::string keyMessage(const SettingKey& key, const std::string& reason) {
  return "Setting " + std::string(key.path) + ": " + reason;
}

}  // namespace

std::string encodePassword(std::string_view key, std::string_view plain) {
  std::string out;
  out.reserve(plain.size() * 2);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    auto b = static_cast<unsigned char>(plain[i]);
    if (!key.empty()) b ^= static_cast<unsigned char>(key[i % key.size()]);
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
  return out;
}

std::string decodePassword(std::string_view key, std::string_view stored) {
  std::string out;
  out.reserve(stored.size() / 2);
  for (std::size_t i = 0; i + 1 < stored.size(); i += 2) {
    const int hi = hexDigit(stored[i]);
    const int lo = hexDigit(stored[i + 1]);
    auto b = static_cast<unsigned char>(hi < 0 || lo < 0 ? 32 : hi * 16 + lo);
    const std::size_t index = i / 2;
    if (!key.empty()) b ^= static_cast<unsigned char>(key[index % key.size()]);
    out += static_cast<char>(b);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------

Settings::Settings(fs::path fileName, std::string webRoot)
    : m_fileName(std::move(fileName)), m_webRoot(std::move(webRoot)), m_root(std::make_unique<SmlNode>()) {
  setDefaults();
}

Settings::Settings(Settings&&) noexcept = default;
Settings& Settings::operator=(Settings&&) noexcept = default;
Settings::~Settings() = default;

void Settings::setDefaults() {
  m_root->clear();
  m_root->setName(kRootName);
  m_root->setHeader({});
  m_root->setDocType({});
  m_root->setAttribute("version", kVersion);
  m_root->addChild("WARNING", kWarningText);
}

Settings::LoadResult Settings::rejectFile(LoadResult::Status status, std::string message) {
  setDefaults();
  LoadResult result{status, std::move(message), {}};
  fs::path bad = m_fileName;
  bad += ".bad";
  std::error_code ec;
  fs::rename(m_fileName, bad, ec);
  if (!ec) result.keptAs = bad;
  return result;
}

Settings::LoadResult Settings::load() {
  std::error_code ec;
  const auto status = fs::status(m_fileName, ec);
  if (!fs::exists(status)) {
    setDefaults();
    return {LoadResult::Status::missing, {}, {}};
  }
  const std::uintmax_t size = fs::is_regular_file(status) ? fs::file_size(m_fileName, ec) : 0;
  if (!ec && size > kMaxFileSize) {
    return rejectFile(LoadResult::Status::parseError,
                      parseErrorMessage(m_fileName, SmlParseError("The file is too large.", 1, 1, 0)));
  }

  std::ifstream in(m_fileName, std::ios::binary);
  if (!in) {
    throw SettingsError("Cannot read the settings file \"" + m_fileName.string() + "\": " + systemMessage(errno));
  }
  std::string data;
  data.reserve(static_cast<std::size_t>(size));
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    throw SettingsError("Cannot read the settings file \"" + m_fileName.string() + "\".");
  }

  try {
    m_root->parse(data);
  } catch (const SmlPosError& e) {
    return rejectFile(LoadResult::Status::parseError, parseErrorMessage(m_fileName, e));
  }
  const SmlAttribute* version = m_root->findAttribute("version");
  if (m_root->name() != kRootName || version == nullptr || version->value != kVersion) {
    return rejectFile(LoadResult::Status::invalid, std::string(kSettingsInvalidText));
  }
  return {LoadResult::Status::loaded, {}, {}};
}

void Settings::save() const {
  const std::string text = m_root->asText();
  // A unique name in the same folder: the rename then replaces the file in one step, and two
  // running instances never write into each other's temporary file.
  std::string tmp = m_fileName.string() + ".XXXXXX";
  auto fail = [&](const std::string& reason, bool created) {
    if (created) ::unlink(tmp.c_str());
    throw SettingsError("Cannot write the settings file \"" + m_fileName.string() + "\": " + reason);
  };

  // mkstemp creates the file owner-only, as it should be: it holds passwords, and their encoding
  // only hides them from a glance.
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) fail(systemMessage(errno), false);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      fail(systemMessage(err), true);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    fail(systemMessage(err), true);
  }
  if (::close(fd) != 0) fail(systemMessage(errno), true);
  if (::rename(tmp.c_str(), m_fileName.c_str()) != 0) fail(systemMessage(errno), true);
}

// ---------------------------------------------------------------------------------------------

std::string Settings::readString(std::string_view path, std::string_view def) const {
  const SmlNode* node = m_root->findNode(path);
  return node != nullptr ? node->value() : std::string(def);
}

int Settings::readInteger(std::string_view path, int def) const {
  const SmlNode* node = m_root->findNode(path);
  return node != nullptr ? toInt(node->value()) : def;
}

double Settings::readFloat(std::string_view path, double def) const {
  const SmlNode* node = m_root->findNode(path);
  return node != nullptr ? toDouble(node->value()) : def;
}

bool Settings::readBool(std::string_view path, bool def) const {
  const SmlNode* node = m_root->findNode(path);
  return node != nullptr ? textToBool(node->value()) : def;
}

void Settings::writeString(std::string_view path, std::string_view value) { m_root->createNode(path).setValue(value); }
void Settings::writeInteger(std::string_view path, long long value) { m_root->createNode(path).setInteger(value); }
void Settings::writeFloat(std::string_view path, double value) { m_root->createNode(path).setFloat(value); }
void Settings::writeBool(std::string_view path, bool value) { m_root->createNode(path).setBool(value); }

std::string Settings::defaultOf(const SettingKey& key) const {
  switch (key.defaultKind) {
    case SettingDefault::webRoot: return m_webRoot;
    case SettingDefault::otherKey: return key.defaultKey != nullptr ? readString(*key.defaultKey) : std::string();
    case SettingDefault::text: break;
  }
  return std::string(key.defaultText);
}

std::string Settings::readString(const SettingKey& key) const {
  requireType(key, SettingType::string, SettingType::password);
  const SmlNode* node = m_root->findNode(key.path);
  if (node == nullptr) return defaultOf(key);
  return key.type == SettingType::password ? decodePassword(kPasswordKey, node->value()) : node->value();
}

int Settings::readInteger(const SettingKey& key) const {
  requireType(key, SettingType::integer);
  const SmlNode* node = m_root->findNode(key.path);
  const std::string_view text = node != nullptr ? std::string_view(node->value()) : key.defaultText;
  if (const auto value = parseInt(text)) return *value;
  throw ConversionError(keyMessage(key, invalidInteger(text)));
}

double Settings::readFloat(const SettingKey& key) const {
  requireType(key, SettingType::floating);
  const SmlNode* node = m_root->findNode(key.path);
  const std::string_view text = node != nullptr ? std::string_view(node->value()) : key.defaultText;
  if (const auto value = parseDouble(text)) return *value;
  throw ConversionError(keyMessage(key, invalidFloat(text)));
}

bool Settings::readBool(const SettingKey& key) const {
  requireType(key, SettingType::boolean);
  const SmlNode* node = m_root->findNode(key.path);
  return textToBool(node != nullptr ? std::string_view(node->value()) : key.defaultText);
}

void Settings::writeString(const SettingKey& key, std::string_view value) {
  requireType(key, SettingType::string, SettingType::password);
  writeString(key.path, key.type == SettingType::password ? encodePassword(kPasswordKey, value) : std::string(value));
}

void Settings::writeInteger(const SettingKey& key, long long value) {
  requireType(key, SettingType::integer);
  writeInteger(key.path, value);
}

void Settings::writeFloat(const SettingKey& key, double value) {
  requireType(key, SettingType::floating);
  writeFloat(key.path, value);
}

void Settings::writeBool(const SettingKey& key, bool value) {
  requireType(key, SettingType::boolean);
  writeBool(key.path, value);
}

// ---------------------------------------------------------------------------------------------

void Settings::saveWindowRect(std::string_view windowName, const WindowRect& rect) {
  SmlNode& node = m_root->createNode(windowName);
  node.createNode("left").setInteger(rect.left);
  node.createNode("top").setInteger(rect.top);
  node.createNode("width").setInteger(rect.width);
  node.createNode("height").setInteger(rect.height);
}

std::optional<WindowRect> Settings::loadWindowRect(std::string_view windowName, const WindowRect& current) const {
  const SmlNode* node = m_root->findNode(windowName);
  if (node == nullptr) return std::nullopt;
  auto item = [node](std::string_view name, int fallback) {
    const SmlNode* n = node->findNode(name);
    if (n == nullptr) return fallback;
    return parseInt(n->value()).value_or(fallback);
  };
  return WindowRect{item("left", current.left), item("top", current.top), item("width", current.width),
                    item("height", current.height)};
}

// ---------------------------------------------------------------------------------------------

std::string SettingFault::message() const {
  return "Setting " + key + ": " + reason + "; the default " + (fallback.empty() ? "(empty)" : fallback) + " is used";
}

void TolerantReader::addFault(const SettingKey& key, std::string reason) {
  m_faults.push_back({std::string(key.path), m_settings.readString(key.path, key.defaultText),
                      std::string(key.defaultText), std::move(reason)});
}

int TolerantReader::integer(const SettingKey& key, int min, int max) {
  requireType(key, SettingType::integer);
  const int fallback = toInt(key.defaultText);
  const std::string text = m_settings.readString(key.path, key.defaultText);
  const std::optional<int> value = parseInt(text);
  if (!value) {
    addFault(key, invalidInteger(text));
    return fallback;
  }
  if (*value < min || *value > max) {
    addFault(key, min == 0 && max == 65535 ? "'" + text + "' is not a valid port number"
                                           : "'" + text + "' is outside " + std::to_string(min) + " to " +
                                                 std::to_string(max));
    return fallback;
  }
  return *value;
}

std::uint16_t TolerantReader::port(const SettingKey& key) {
  return static_cast<std::uint16_t>(integer(key, 0, 65535));
}

double TolerantReader::floating(const SettingKey& key) {
  requireType(key, SettingType::floating);
  const std::string text = m_settings.readString(key.path, key.defaultText);
  if (const auto value = parseDouble(text)) return *value;
  addFault(key, invalidFloat(text));
  return toDouble(key.defaultText);
}

const SettingKey* findSettingKey(std::string_view path) {
  for (const SettingKey* key : kSettingKeys) {
    if (key->path.size() == path.size() &&
        std::equal(path.begin(), path.end(), key->path.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
      return key;
    }
  }
  return nullptr;
}

}  // namespace geomuxer
