/* The record's layout as a C compiler sees it. */
#include <stddef.h>

#include "wexlor/wexlor.h"

_Static_assert(sizeof(wexlor_backend_api) == 872, "wexlor_backend_api must be 872 bytes");
_Static_assert(_Alignof(wexlor_backend_api) == 8, "wexlor_backend_api must be 8-byte aligned");
#define WEXLOR_CHECK_OFFSET(member, offset)                               \
  _Static_assert(offsetof(wexlor_backend_api, member) == (offset), \
                 "offset of " #member);
#include "api_layout_offsets.inc"
