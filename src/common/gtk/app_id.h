// The application id the desktop knows the application by, and its name and
// icon: from the environment, else from the application file beside the
// executable that a packaged application carries.
#pragma once

#include <string>

namespace wexlor_common {

// Reads "<executable path without its extension>.ini" (a key file with the
// group [Application] and the keys Id, Name and Icon; Icon is a path
// relative to the file) when it exists. Call once on the main thread before
// any other thread starts; the functions below then fall back to it.
void LoadApplicationFileGtk(const std::string& executablePath);

// WEXLOR_APP_ID when it is set and not empty, else the application file's
// Id; only a valid application id (reverse-DNS, as for a .desktop file
// name) counts, else empty.
std::string ApplicationIdGtk();
// WEXLOR_APP_NAME when set and not empty, else the file's Name, else empty.
std::string ApplicationNameGtk();
// WEXLOR_APP_ICON when set and not empty, else the file's Icon as an
// absolute path, else empty.
std::string ApplicationIconGtk();

}  // namespace wexlor_common
