// Reading option dictionaries the runtime hands over, only through the
// table's value functions (so a foreign table reads the same way), releasing
// every handle they return.
#pragma once

#include <string>

#include "wexlor/wexlor.h"

namespace wexlor_common {

// The dictionary's string under `key`; "" when absent or not a string.
std::string DictString(const wexlor_backend_api* api, wexlor_value* dict, const char* key);
// The dictionary's bool under `key`; `fallback` when absent or not a bool.
bool DictBool(const wexlor_backend_api* api, wexlor_value* dict, const char* key, bool fallback);

}  // namespace wexlor_common
