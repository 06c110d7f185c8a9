// Where an application's website data lives: one private profile per
// application, named by its desktop id or, without one, by its runtime
// library's resolved path. The display name never names a folder.
#pragma once

#include <string>

struct WebProfile {
  bool ephemeral = false;  // nothing is written; dataDir and cacheDir are empty
  std::string key;         // the profile's folder name
  std::string dataDir;     // absolute
  std::string cacheDir;    // absolute
};

// A folder name made from `text`: ASCII letters, digits, '-', '_' and '.'
// kept, every other byte '_', at most 64 bytes, never starting with '.'
// (so never "." or ".."), never empty.
std::string SanitizedProfileKey(const std::string& text);

// The profile key: the application id when there is one, else the library
// file's stem followed by a hash of its resolved path, so different
// runtimes never share a profile and the same runtime always finds its own.
std::string WebProfileKey(const std::string& appId, const std::string& libraryPath);

// The profile's folders under the user's data and cache directories:
// `<dataHome>/<app id>` with an id, `<dataHome>/wexlor/<key>` without
// (the same under `cacheHome`). Both homes must be absolute; when either is
// not, or `ephemeral` is asked for, the profile is ephemeral.
WebProfile ResolveWebProfile(const std::string& appId, const std::string& libraryPath,
                             const std::string& dataHome, const std::string& cacheHome,
                             bool ephemeral);
