/* The record's layout as a C compiler sees it. */
#include <stddef.h>

#include "wexlor/wexlor.h"

_Static_assert(sizeof(wexlor_backend_api) == 872, "wexlor_backend_api must be 872 bytes");
_Static_assert(_Alignof(wexlor_backend_api) == 8, "wexlor_backend_api must be 8-byte aligned");
#define WEXLOR_CHECK_OFFSET(member, offset) \
  _Static_assert(offsetof(wexlor_backend_api, member) == (offset), "offset of " #member);
#include "api_layout_offsets.inc"
#undef WEXLOR_CHECK_OFFSET
#define WEXLOR_CHECK_OFFSET(member, offset) \
  _Static_assert(offsetof(wexlor_host_extensions, member) == (offset), "offset of " #member);
#include "api_layout_extension_offsets.inc"
_Static_assert(sizeof(wexlor_host_extensions) == 8 * (3 + WEXLOR_HOST_EXTENSIONS_VERSION),
               "one 8-byte member per extension entry");

/* Named constants have the type of the parameter they are passed as, and
 * their values are those the host acts on. */
#define WEXLOR_CHECK_CONSTANT(name, type, value)                          \
  _Static_assert(_Generic((name), type : 1, default : 0), #name " type"); \
  _Static_assert((name) == (value), #name " value");
WEXLOR_CHECK_CONSTANT(WEXLOR_WINDOW_HIDDEN, uint32_t, 0x08)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOD_META, uint32_t, 8)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOUSE_BUTTON_PRIMARY, int32_t, 0)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOUSE_BUTTON_SECONDARY, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOUSE_BUTTON_MIDDLE, int32_t, 2)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOUSE_BUTTON_BACK, int32_t, 3)
WEXLOR_CHECK_CONSTANT(WEXLOR_MOUSE_BUTTON_FORWARD, int32_t, 4)
WEXLOR_CHECK_CONSTANT(WEXLOR_DIALOG_MESSAGE, int32_t, 0)
WEXLOR_CHECK_CONSTANT(WEXLOR_DIALOG_CONFIRM, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_DIALOG_PROMPT, int32_t, 2)
WEXLOR_CHECK_CONSTANT(WEXLOR_DIALOG_CANCELLED, int32_t, 0)
WEXLOR_CHECK_CONSTANT(WEXLOR_DIALOG_OK, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_PERMISSION_NOTIFICATIONS, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_PERMISSION_UNSUPPORTED, int32_t, 3)
WEXLOR_CHECK_CONSTANT(WEXLOR_BOUNCE_CRITICAL, int32_t, 0)
WEXLOR_CHECK_CONSTANT(WEXLOR_BOUNCE_INFORMATIONAL, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_NOTIFICATION_SHOWN, int32_t, 0)
WEXLOR_CHECK_CONSTANT(WEXLOR_NOTIFICATION_CLICKED, int32_t, 1)
WEXLOR_CHECK_CONSTANT(WEXLOR_NOTIFICATION_CLOSED, int32_t, 2)
WEXLOR_CHECK_CONSTANT(WEXLOR_NOTIFICATION_ACTION, int32_t, 3)
_Static_assert(sizeof(WEXLOR_OPEN_EXTERNAL_METHOD) == 21, "the link policy's method");
