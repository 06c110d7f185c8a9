#include "common/gtk/app_id.h"

#include <gio/gio.h>

#include <cstdlib>

namespace wexlor_common {
namespace {

struct ApplicationFile {
  std::string id, name, icon;
};

ApplicationFile& File() {
  static ApplicationFile file;
  return file;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string KeyFileString(GKeyFile* file, const char* key) {
  gchar* value = g_key_file_get_string(file, "Application", key, nullptr);
  std::string text = value != nullptr && g_utf8_validate(value, -1, nullptr) ? value : "";
  g_free(value);
  return text;
}

}  // namespace

void LoadApplicationFileGtk(const std::string& executablePath) {
  gchar* dir = g_path_get_dirname(executablePath.c_str());
  gchar* base = g_path_get_basename(executablePath.c_str());
  std::string stem = base;
  if (const size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.resize(dot);
  gchar* path = g_build_filename(dir, (stem + ".ini").c_str(), nullptr);
  GKeyFile* file = g_key_file_new();
  if (g_key_file_load_from_file(file, path, G_KEY_FILE_NONE, nullptr)) {
    ApplicationFile& f = File();
    f.id = KeyFileString(file, "Id");
    f.name = KeyFileString(file, "Name");
    if (const std::string icon = KeyFileString(file, "Icon"); !icon.empty()) {
      gchar* full = g_path_is_absolute(icon.c_str()) ? g_strdup(icon.c_str())
                                                     : g_build_filename(dir, icon.c_str(), nullptr);
      f.icon = full;
      g_free(full);
    }
  }
  g_key_file_free(file);
  g_free(path);
  g_free(base);
  g_free(dir);
}

std::string ApplicationIdGtk() {
  std::string id = Environment("WEXLOR_APP_ID");
  if (id.empty()) id = File().id;
  return g_application_id_is_valid(id.c_str()) ? id : "";
}

std::string ApplicationNameGtk() {
  const std::string name = Environment("WEXLOR_APP_NAME");
  return name.empty() ? File().name : name;
}

std::string ApplicationIconGtk() {
  const std::string icon = Environment("WEXLOR_APP_ICON");
  return icon.empty() ? File().icon : icon;
}

}  // namespace wexlor_common
