// The application id the desktop knows the application by.
#pragma once

#include <string>

namespace wexlor_common {

// WEXLOR_APP_ID when it is a valid application id (reverse-DNS, as for a
// .desktop file name), else empty.
std::string ApplicationIdGtk();

}  // namespace wexlor_common
