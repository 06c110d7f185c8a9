// The Linux host's extension table. Entries follow the rules of the main
// table: they check their inputs, never let an exception out, and ignore
// their context argument in favour of the loader singleton. Adding an entry
// means appending one member to the header's record, one function here and
// one line in InitializeExtensionApi.
#include <cstring>

#include "runtime/launch_urls.h"
#include "runtime/runtime_loader.h"

namespace {

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

void Ext_SetWebProcessHandler(void*, wexlor_web_process_handler cb, void* ud) {
  Loader()->webProcessHandler_.Set(cb, ud);
}

void Ext_SetOpenUrlsHandler(void*, wexlor_open_urls_handler cb, void* ud) {
  launch_urls::SetHandler(cb, ud);
}

void Ext_SetDropHandler(void*, wexlor_drop_handler cb, void* ud) {
  Loader()->dropHandler_.Set(cb, ud);
}

void Ext_SetPagePermissionHandler(void*, wexlor_page_permission_handler cb, void* ud) {
  Loader()->pagePermissionHandler_.Set(cb, ud);
}

}  // namespace

void RuntimeLoader::InitializeExtensionApi() {
  std::memset(&extensions_, 0, sizeof extensions_);
  extensions_.size = sizeof extensions_;
  extensions_.version = WEXLOR_HOST_EXTENSIONS_VERSION;
  extensions_.context = this;
  extensions_.SetWebProcessHandler = Ext_SetWebProcessHandler;
  extensions_.SetOpenUrlsHandler = Ext_SetOpenUrlsHandler;
  extensions_.SetDropHandler = Ext_SetDropHandler;
  extensions_.SetPagePermissionHandler = Ext_SetPagePermissionHandler;
}
