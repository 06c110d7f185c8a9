#include "common/gtk/app_id.h"

#include <gio/gio.h>

#include <cstdlib>

namespace wexlor_common {

std::string ApplicationIdGtk() {
  const char* id = std::getenv("WEXLOR_APP_ID");
  if (id == nullptr || !g_application_id_is_valid(id)) return "";
  return id;
}

}  // namespace wexlor_common
