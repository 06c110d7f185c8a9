// The record's layout as a C++ compiler sees it.
#include <cstddef>

#include "wexlor/wexlor.h"

static_assert(sizeof(wexlor_backend_api) == 872);
static_assert(alignof(wexlor_backend_api) == 8);
#define WEXLOR_CHECK_OFFSET(member, offset) \
  static_assert(offsetof(wexlor_backend_api, member) == (offset), "offset of " #member);
#include "api_layout_offsets.inc"
#undef WEXLOR_CHECK_OFFSET
#define WEXLOR_CHECK_OFFSET(member, offset) \
  static_assert(offsetof(wexlor_host_extensions, member) == (offset), "offset of " #member);
#include "api_layout_extension_offsets.inc"
static_assert(sizeof(wexlor_host_extensions) == 8 * (3 + WEXLOR_HOST_EXTENSIONS_VERSION));
