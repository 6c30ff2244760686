#pragma once
// The static pages of the position server: which file a request names, and only files inside
// the web-root folder.

#include <filesystem>
#include <optional>
#include <string_view>

namespace geomuxer {

class WebRoot {
 public:
  /// `folder` may be missing; then no document resolves to a file.
  explicit WebRoot(const std::filesystem::path& folder);

  [[nodiscard]] const std::filesystem::path& folder() const { return m_root; }

  /// The regular file that serves a decoded request path, or nothing. A path ending in '/' names
  /// that folder's index.html. Refused: ".." or "." steps and names starting with '.' with either
  /// separator, NUL bytes, folders, and anything whose resolved path (symbolic links followed)
  /// leaves the web root or passes a dot-name.
  [[nodiscard]] std::optional<std::filesystem::path> resolve(std::string_view document) const;

 private:
  std::filesystem::path m_root;  // canonical; empty when the folder does not exist
};

/// The content type of a served file, by its extension; "application/octet-stream" when unknown.
[[nodiscard]] std::string_view contentTypeOfFile(const std::filesystem::path& file);

}  // namespace geomuxer
