#pragma once
// The settings object: one SML document whose nodes are addressed by backslash paths
// ("general\tracker"), read from and written to the settings file. The controller owns one and
// passes it to whoever needs settings; there is no global instance.

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings_keys.h"
#include "settings/sml_node.h"

namespace geomuxer {

/// The settings file cannot be read or written.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The key every stored password is combined with.
inline constexpr std::string_view kPasswordKey = "{6C41E0A7-32D9-48be-A1F5-7E09B3C2D84A}";

/// Each byte of `plain` combined by exclusive-or with the key's byte at the same place (the key
/// repeating), as two lowercase hex digits. An empty key leaves the bytes as they are.
[[nodiscard]] std::string encodePassword(std::string_view key, std::string_view plain);
/// The reverse of encodePassword. An odd last character is ignored; a pair that is not hex counts
/// as 32.
[[nodiscard]] std::string decodePassword(std::string_view key, std::string_view stored);

/// A window's place in whole pixels.
struct WindowRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

/// Messages of a failed load.
inline constexpr std::string_view kSettingsParseErrorText =
    "Error parsing Settings file, using defaults.\r\n\r\n%s (near Line %d, Col %d):\r\n%s";
inline constexpr std::string_view kSettingsInvalidText = "Invalid Settings file, using defaults.";

/// Used from the main thread only.
class Settings {
 public:
  /// A settings object for `fileName` holding the default document; load() reads the file.
  /// `webRoot` is the default of the web-root key (defaultWebRoot() of the program's folder).
  explicit Settings(std::filesystem::path fileName, std::string webRoot = {});
  Settings(Settings&&) noexcept;
  Settings& operator=(Settings&&) noexcept;
  ~Settings();

  struct LoadResult {
    enum class Status { loaded, missing, parseError, invalid };
    Status status = Status::loaded;
    std::string message;           ///< for the user when the defaults had to be taken; empty otherwise
    std::filesystem::path keptAs;  ///< where a broken file was moved so that saving keeps it
    [[nodiscard]] bool ok() const { return status == Status::loaded || status == Status::missing; }
  };

  /// Reads the file. A missing file gives the defaults quietly. A file that does not parse, is too
  /// large, or is not a settings document (root "settings", version "1.0") gives the defaults, a
  /// message, and is renamed with the suffix ".bad" so that the next save does not overwrite it.
  /// Throws SettingsError when an existing file cannot be read at all.
  [[nodiscard]] LoadResult load();
  /// Writes the document to the file through a temporary file in the same folder, so that a
  /// failure leaves the old file whole. Throws SettingsError naming the file and the reason.
  void save() const;
  /// The default document: root "settings" with version "1.0" and the warning text.
  void setDefaults();

  [[nodiscard]] const std::filesystem::path& fileName() const { return m_fileName; }
  [[nodiscard]] const std::string& webRoot() const { return m_webRoot; }
  [[nodiscard]] SmlNode& root() { return *m_root; }
  [[nodiscard]] const SmlNode& root() const { return *m_root; }

  // --- by path, each caller giving its default ----------------------------------------------
  /// The node's text, or `def` when the node is missing; an existing empty node gives "".
  [[nodiscard]] std::string readString(std::string_view path, std::string_view def) const;
  /// Throw ConversionError when the node's text (an empty one too) is not a number.
  [[nodiscard]] int readInteger(std::string_view path, int def) const;
  [[nodiscard]] double readFloat(std::string_view path, double def) const;
  [[nodiscard]] bool readBool(std::string_view path, bool def) const;
  /// Writes create the missing nodes of the path.
  void writeString(std::string_view path, std::string_view value);
  void writeInteger(std::string_view path, long long value);
  void writeFloat(std::string_view path, double value);
  void writeBool(std::string_view path, bool value);

  // --- through the key table, with its defaults ----------------------------------------------
  /// String and password keys; passwords come back decoded. Throws std::logic_error when the
  /// key is of another type. Numbers that cannot be read throw ConversionError naming the key.
  [[nodiscard]] std::string readString(const SettingKey& key) const;
  [[nodiscard]] int readInteger(const SettingKey& key) const;
  [[nodiscard]] double readFloat(const SettingKey& key) const;
  [[nodiscard]] bool readBool(const SettingKey& key) const;
  /// Passwords are stored encoded.
  void writeString(const SettingKey& key, std::string_view value);
  void writeInteger(const SettingKey& key, long long value);
  void writeFloat(const SettingKey& key, double value);
  void writeBool(const SettingKey& key, bool value);

  // --- window places ------------------------------------------------------------------------
  /// Stores `rect` below the node named after the window ("MainForm"): left, top, width, height.
  void saveWindowRect(std::string_view windowName, const WindowRect& rect);
  /// The stored place, or nothing when the window has no node. A missing or unreadable item keeps
  /// the value of `current`.
  [[nodiscard]] std::optional<WindowRect> loadWindowRect(std::string_view windowName,
                                                         const WindowRect& current) const;

 private:
  [[nodiscard]] std::string defaultOf(const SettingKey& key) const;
  LoadResult rejectFile(LoadResult::Status status, std::string message);

  std::filesystem::path m_fileName;
  std::string m_webRoot;
  std::unique_ptr<SmlNode> m_root;
};

/// A stored value that cannot be used, and the default used in its place.
struct SettingFault {
  std::string key;       ///< "log\\maxlines"
  std::string value;     ///< the stored text
  std::string fallback;  ///< the default taken instead, in stored form
  std::string reason;    ///< "'lots' is not a valid integer value"
  /// "Setting log\maxlines: 'lots' is not a valid integer value; the default 100 is used"
  [[nodiscard]] std::string message() const;
};

/// Reads keys through the table as Settings does, but a stored number that cannot be read (or lies
/// outside the range its reader allows) gives the key's default and a fault instead of an
/// exception, so that one bad value never keeps the others from being used.
class TolerantReader {
 public:
  /// `settings` must outlive the reader.
  explicit TolerantReader(const Settings& settings) : m_settings(settings) {}

  [[nodiscard]] int integer(const SettingKey& key, int min = INT_MIN, int max = INT_MAX);
  /// 0 to 65535.
  [[nodiscard]] std::uint16_t port(const SettingKey& key);
  [[nodiscard]] double floating(const SettingKey& key);
  [[nodiscard]] bool boolean(const SettingKey& key) const { return m_settings.readBool(key); }
  [[nodiscard]] std::string string(const SettingKey& key) const { return m_settings.readString(key); }

  /// Records that the value of `key` could not be used and its default is taken instead, for
  /// readers that check a value themselves.
  void reject(const SettingKey& key, std::string reason) { addFault(key, std::move(reason)); }

  /// Every value that could not be used, in reading order.
  [[nodiscard]] const std::vector<SettingFault>& faults() const { return m_faults; }

 private:
  void addFault(const SettingKey& key, std::string reason);

  const Settings& m_settings;
  std::vector<SettingFault> m_faults;
};

}  // namespace geomuxer
