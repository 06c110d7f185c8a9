#include "common/table_values.h"

namespace wexlor_common {

std::string DictString(const wexlor_backend_api* api, wexlor_value* dict, const char* key) {
  std::string text;
  wexlor_value* value = api->ValueDictGet(dict, key);
  if (value != nullptr && api->ValueIsString(value)) {
    size_t length = 0;
    char* chars = api->ValueGetString(value, &length);
    if (chars != nullptr) text.assign(chars, length);
    api->ValueFreeString(chars);
  }
  api->ValueFree(value);
  return text;
}

bool DictBool(const wexlor_backend_api* api, wexlor_value* dict, const char* key, bool fallback) {
  wexlor_value* value = api->ValueDictGet(dict, key);
  const bool result =
      value != nullptr && api->ValueIsBool(value) ? api->ValueGetBool(value) : fallback;
  api->ValueFree(value);
  return result;
}

}  // namespace wexlor_common
