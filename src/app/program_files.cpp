#include "app/program_files.h"

#include <system_error>

namespace geomuxer {

namespace fs = std::filesystem;

fs::path programDir(const char* argv0) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self.parent_path();
  if (argv0 == nullptr || *argv0 == '\0') return fs::current_path(ec);
  return fs::absolute(fs::path(argv0), ec).parent_path();
}

fs::path locateDataDir(const fs::path& programDir) {
  std::error_code ec;
  if (fs::is_directory(programDir / "dbshema", ec)) return programDir;
  const fs::path shared = programDir.parent_path() / "share" / "geomuxer";
  if (fs::is_directory(shared, ec)) return shared;
  return programDir;
}

fs::path helpFile(const fs::path& dataDir, const std::string& topic) {
  const fs::path folder = dataDir / "help";
  std::error_code ec;
  if (!topic.empty() && topic.find("..") == std::string::npos) {
    fs::path page = folder / topic;
    if (fs::is_regular_file(page, ec)) return page;
  }
  return folder / "index.html";
}

}  // namespace geomuxer
