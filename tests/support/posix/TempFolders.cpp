#include <cstdlib>
#include <string>

#include <ftw.h>
#include <unistd.h>

#include "support/TestHost.h"

std::string MakeTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/gwtest.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(),
       [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

char PathSeparator() { return '/'; }
