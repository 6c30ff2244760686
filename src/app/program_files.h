#pragma once
// Where the program finds its own files: the running executable, and the data folder with the web
// root ("http"), the schema scripts ("dbshema") and the help ("help"). In the build tree the data
// sits beside the executable; an installed program finds it under ../share/geomuxer.

#include <filesystem>
#include <string>

namespace geomuxer {

/// The folder of the running executable; `argv0`'s folder when the system does not say.
[[nodiscard]] std::filesystem::path programDir(const char* argv0);

/// The data folder for a program in `programDir`: the program's own folder when the schema
/// scripts are beside it, else ../share/geomuxer when that exists, else the program's folder.
[[nodiscard]] std::filesystem::path locateDataDir(const std::filesystem::path& programDir);

/// The help page for `topic` ("index.html" when empty or missing) in the data folder.
[[nodiscard]] std::filesystem::path helpFile(const std::filesystem::path& dataDir, const std::string& topic = {});

}  // namespace geomuxer
