#include "backend/web_profile.h"

#include <cstdint>
#include <cstdio>

std::string SanitizedProfileKey(const std::string& text) {
  constexpr size_t kMaxLength = 64;
  std::string key;
  for (unsigned char c : text) {
    if (key.size() == kMaxLength) break;
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    key += kept ? static_cast<char>(c) : '_';
  }
  if (key.empty() || key[0] == '.') key.insert(key.begin(), '_');
  if (key.size() > kMaxLength) key.resize(kMaxLength);
  return key;
}

namespace {

// 64-bit FNV-1a: stable across builds and machines, which std::hash is not.
uint64_t PathHash(const std::string& path) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : path) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string Stem(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (const size_t dot = name.find('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  if (name.rfind("lib", 0) == 0 && name.size() > 3) name.erase(0, 3);
  return name;
}

bool Absolute(const std::string& dir) { return !dir.empty() && dir[0] == '/'; }

std::string Join(std::string dir, const std::string& name) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir == "/" ? dir + name : dir + "/" + name;
}

}  // namespace

std::string WebProfileKey(const std::string& appId, const std::string& libraryPath) {
  if (!appId.empty()) return SanitizedProfileKey(appId);
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(PathHash(libraryPath)));
  // The stem only helps a person find the folder; the hash keeps it apart.
  return SanitizedProfileKey(Stem(libraryPath)).substr(0, 40) + "-" + hash;
}

WebProfile ResolveWebProfile(const std::string& appId, const std::string& libraryPath,
                             const std::string& dataHome, const std::string& cacheHome,
                             bool ephemeral) {
  WebProfile profile;
  profile.key = WebProfileKey(appId, libraryPath);
  if (ephemeral || !Absolute(dataHome) || !Absolute(cacheHome)) {
    profile.ephemeral = true;
    return profile;
  }
  const std::string sub = appId.empty() ? "wexlor/" + profile.key : profile.key;
  profile.dataDir = Join(dataHome, sub);
  profile.cacheDir = Join(cacheHome, sub);
  return profile;
}
