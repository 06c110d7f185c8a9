#include "common/gtk/dialogs_gtk.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/gtk/main_queue.h"

namespace wexlor_common {

namespace {

char* MallocCopy(const char* text) {
  const size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

std::string ValidUtf8(const std::string& s) {
  return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr) ? s : std::string();
}

std::atomic<bool> g_modalsEnded{false};

// Main thread: answers every open dialog with "Cancel". A dialog run with
// gtk_dialog_run returns from its nested loop; a file chooser tells the
// page that nothing was chosen.
gboolean CancelOpenDialogs(gpointer) {
  GList* windows = gtk_window_list_toplevels();
  for (GList* l = windows; l != nullptr; l = l->next) g_object_ref(l->data);
  for (GList* l = windows; l != nullptr; l = l->next) {
    auto* window = static_cast<GtkWidget*>(l->data);
    if (GTK_IS_DIALOG(window) && gtk_widget_get_visible(window)) {
      gtk_dialog_response(GTK_DIALOG(window), GTK_RESPONSE_CANCEL);
    }
  }
  g_list_free_full(windows, g_object_unref);
  return G_SOURCE_REMOVE;
}

struct DialogResult {
  int result = 0;
  std::string text;
  bool hasText = false;
};

DialogResult RunDialog(int kind, const std::string& title, const std::string& message,
                       const std::string& defaultText) {
  if (g_modalsEnded.load()) return DialogResult{};
  GtkWidget* dialog = gtk_message_dialog_new(
      nullptr, GTK_DIALOG_MODAL, kind == 1 || kind == 2 ? GTK_MESSAGE_QUESTION : GTK_MESSAGE_INFO,
      GTK_BUTTONS_NONE, "%s", ValidUtf8(title).c_str());
  const std::string info = ValidUtf8(message);
  if (!info.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", info.c_str());
  }
  gtk_window_set_title(GTK_WINDOW(dialog),
                       g_get_application_name() ? g_get_application_name() : "");
  if (kind == 1 || kind == 2)
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  GtkWidget* entry = nullptr;
  if (kind == 2) {
    entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), ValidUtf8(defaultText).c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_widget_set_size_request(entry, 300, 24);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_box_pack_end(GTK_BOX(area), entry, FALSE, FALSE, 0);
    gtk_widget_show(entry);
    gtk_widget_grab_focus(entry);
  }
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  DialogResult r;
  r.result = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK ? 1 : 0;
  if (entry != nullptr && r.result == 1) {
    r.text = gtk_entry_get_text(GTK_ENTRY(entry));
    r.hasText = true;
  }
  gtk_widget_destroy(dialog);
  return r;
}

}  // namespace

bool RunScriptDialogGtk(int kind, const std::string& message, const std::string& defaultText,
                        std::string* text) {
  const DialogResult r = RunDialog(kind, message, "", defaultText);
  if (r.hasText && text != nullptr) *text = r.text;
  return r.result == 1;
}

int ShowDialogGtk(int kind, const std::string& title, const std::string& message,
                  const std::string& defaultText, char** outText) {
  if (outText != nullptr) *outText = nullptr;
  const DialogResult r =
      MainQuery(DialogResult{}, [=] { return RunDialog(kind, title, message, defaultText); });
  if (r.hasText && outText != nullptr) *outText = MallocCopy(r.text.c_str());
  return r.result;
}

void EndModalsGtk() {
  g_modalsEnded.store(true);
  // Not through the main queue: its current task may be the very dialog
  // to close. On the main thread this runs in place.
  g_main_context_invoke(nullptr, CancelOpenDialogs, nullptr);
}

char* ClipboardReadTextGtk() {
  const auto text = MainQuery(std::pair<bool, std::string>{}, [] {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gchar* t = gtk_clipboard_wait_for_text(clipboard);
    std::pair<bool, std::string> r{t != nullptr, t != nullptr ? t : ""};
    g_free(t);
    return r;
  });
  return text.first ? MallocCopy(text.second.c_str()) : nullptr;
}

void ClipboardWriteTextGtk(const std::string& text) {
  const std::string valid = ValidUtf8(text);
  MainQuery(true, [valid] {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(clipboard, valid.c_str(), static_cast<gint>(valid.size()));
    gtk_clipboard_store(clipboard);
    return true;
  });
}

}  // namespace wexlor_common
