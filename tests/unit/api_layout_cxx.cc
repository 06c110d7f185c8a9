// The record's layout as a C++ compiler sees it.
#include <cstddef>

#include "wexlor/wexlor.h"

static_assert(sizeof(wexlor_backend_api) == 872);
static_assert(alignof(wexlor_backend_api) == 8);
#define WEXLOR_CHECK_OFFSET(member, offset) \
  static_assert(offsetof(wexlor_backend_api, member) == (offset), "offset of " #member);
#include "api_layout_offsets.inc"
