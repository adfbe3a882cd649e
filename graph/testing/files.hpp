// Reading whole files and folders of documents, for tests, benchmarks and
// tools only: the library itself never touches the file system.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvex {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The ".yaml" files of a folder, in file-name order, which is the order in
// which the expected outputs were made.
inline std::vector<std::string> read_yaml_folder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".yaml") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> documents;
  for (const auto& path : paths) documents.push_back(read_file(path));
  return documents;
}

}  // namespace korvex
