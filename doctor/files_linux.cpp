#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "doctor/doctor_linux.h"

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FirstLine(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.substr(0, text.find('\n'));
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const struct dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) == nullptr ? "" : resolved;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string SystemMessage(int error) { return std::strerror(error); }
