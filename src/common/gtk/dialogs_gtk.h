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

// A page's alert (kind 0, "OK"), confirm (1, "OK" then "Cancel") or prompt
// (2, with an entry holding `defaultText`), application-modal, on the main
// thread. Returns true for "OK"; for a prompt, *text receives the entry.
bool RunScriptDialogGtk(int kind, const std::string& message, const std::string& defaultText,
                        std::string* text);

// The application is ending: every dialog open in the process (the host's
// own, a page's script dialog, file chooser or print dialog) ends as if
// cancelled, and dialogs asked for from now on are answered at once with
// their cancel result. Without this a dialog's nested loop would hold the
// application until a person closed it. Callable from any thread: the
// dialogs are closed on the main thread, ahead of queued work.
void EndModalsGtk();

// A malloc'ed copy of the clipboard's text, or null.
char* ClipboardReadTextGtk();
// Text that is not valid UTF-8 empties the clipboard instead.
void ClipboardWriteTextGtk(const std::string& text);

}  // namespace wexlor_common
