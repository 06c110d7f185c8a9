// Modal dialogs and clipboard text on GTK. Each runs on the main thread,
// in place when called there, otherwise blocking the caller until done.
#pragma once

#include <string>

namespace wexlor_common {

// Kinds: 0 message ("OK"), 1 confirmation ("OK", "Cancel"), 2 text prompt
// ("OK", "Cancel" and an entry). Returns 1 when ended with "OK", else 0;
// for a confirmed prompt stores a malloc'ed copy of the text in *outText.
int ShowDialogGtk(int kind, const std::string& title, const std::string& message,
                  const std::string& defaultText, char** outText);

// A malloc'ed copy of the clipboard's text, or null.
char* ClipboardReadTextGtk();
// Text that is not valid UTF-8 empties the clipboard instead.
void ClipboardWriteTextGtk(const std::string& text);

}  // namespace wexlor_common
