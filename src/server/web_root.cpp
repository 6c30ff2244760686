#include "server/web_root.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

namespace geomuxer {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

/// True when a step of `relative`, split at either separator, starts with '.': self and parent
/// steps and hidden names.
bool hasForbiddenStep(std::string_view relative) {
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !isSeparator(relative[end])) ++end;
    const std::string_view step = relative.substr(start, end - start);
    if (!step.empty() && step.front() == '.') return true;  // ".", "..", dot-files
    start = end + 1;
  }
  return false;
}

}  // namespace

WebRoot::WebRoot(const std::filesystem::path& folder) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(folder, ec);
  if (!ec && std::filesystem::is_directory(canonical, ec)) m_root = std::move(canonical);
}

std::optional<std::filesystem::path> WebRoot::resolve(std::string_view document) const {
  if (m_root.empty()) return std::nullopt;
  if (document.find('\0') != std::string_view::npos) return std::nullopt;
  std::string relative(document);
  if (!relative.empty() && relative.back() == '/') relative += "index.html";
  // Both separators count: a client must not reach out with "..\".
  while (!relative.empty() && isSeparator(relative.front())) relative.erase(0, 1);
  if (relative.empty() || hasForbiddenStep(relative)) return std::nullopt;

  std::error_code ec;
  const auto file = std::filesystem::canonical(m_root / relative, ec);
  if (ec || !std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  // Symbolic links may point anywhere; what counts is where the file really is.
  const auto [rootEnd, fileIt] = std::mismatch(m_root.begin(), m_root.end(), file.begin(), file.end());
  if (rootEnd != m_root.end()) return std::nullopt;
  for (auto it = fileIt; it != file.end(); ++it) {
    const std::string step = it->string();
    if (step.empty() || step.front() == '.') return std::nullopt;
  }
  return file;
}

std::string_view contentTypeOfFile(const std::filesystem::path& file) {
  struct Type {
    std::string_view extension;
    std::string_view contentType;
  };
  static constexpr Type kTypes[] = {
      {".html", "text/html"},        {".htm", "text/html"},         {".css", "text/css"},
      {".js", "text/javascript"},    {".mjs", "text/javascript"},   {".json", "application/json"},
      {".xml", "text/xml"},          {".gpx", "application/gpx+xml"}, {".txt", "text/plain"},
      {".png", "image/png"},         {".jpg", "image/jpeg"},        {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},         {".svg", "image/svg+xml"},     {".ico", "image/x-icon"},
      {".webp", "image/webp"},       {".woff", "font/woff"},        {".woff2", "font/woff2"},
      {".pdf", "application/pdf"},   {".map", "application/json"},
  };
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& t : kTypes) {
    if (t.extension == extension) return t.contentType;
  }
  return "application/octet-stream";
}

}  // namespace geomuxer
