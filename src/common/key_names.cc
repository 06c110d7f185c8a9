#include "common/key_names.h"

#include <array>
#include <utility>

namespace wexlor_common {

namespace {

// ---------------------------------------------------------------------------
// macOS

constexpr size_t kMacKeyCodeCount = 127;

constexpr std::pair<uint16_t, const char*> kMacCodeNames[] = {
    {0x00, "KeyA"},        {0x01, "KeyS"},         {0x02, "KeyD"},      {0x03, "KeyF"},
    {0x04, "KeyH"},        {0x05, "KeyG"},         {0x06, "KeyZ"},      {0x07, "KeyX"},
    {0x08, "KeyC"},        {0x09, "KeyV"},         {0x0B, "KeyB"},      {0x0C, "KeyQ"},
    {0x0D, "KeyW"},        {0x0E, "KeyE"},         {0x0F, "KeyR"},      {0x10, "KeyY"},
    {0x11, "KeyT"},        {0x12, "Digit1"},       {0x13, "Digit2"},    {0x14, "Digit3"},
    {0x15, "Digit4"},      {0x16, "Digit6"},       {0x17, "Digit5"},    {0x18, "Equal"},
    {0x19, "Digit9"},      {0x1A, "Digit7"},       {0x1B, "Minus"},     {0x1C, "Digit8"},
    {0x1D, "Digit0"},      {0x1E, "BracketRight"}, {0x1F, "KeyO"},      {0x20, "KeyU"},
    {0x21, "BracketLeft"}, {0x22, "KeyI"},         {0x23, "KeyP"},      {0x24, "Enter"},
    {0x25, "KeyL"},        {0x26, "KeyJ"},         {0x27, "Quote"},     {0x28, "KeyK"},
    {0x29, "Semicolon"},   {0x2A, "Backslash"},    {0x2B, "Comma"},     {0x2C, "Slash"},
    {0x2D, "KeyN"},        {0x2E, "KeyM"},         {0x2F, "Period"},    {0x30, "Tab"},
    {0x31, "Space"},       {0x32, "Backquote"},    {0x33, "Backspace"}, {0x35, "Escape"},
    {0x37, "MetaLeft"},    {0x38, "ShiftLeft"},    {0x39, "CapsLock"},  {0x3A, "AltLeft"},
    {0x3B, "ControlLeft"}, {0x3C, "ShiftRight"},   {0x3D, "AltRight"},  {0x3E, "ControlRight"},
    {0x60, "F5"},          {0x61, "F6"},           {0x62, "F7"},        {0x63, "F3"},
    {0x64, "F8"},          {0x65, "F9"},           {0x67, "F11"},       {0x6D, "F10"},
    {0x6F, "F12"},         {0x72, "Insert"},       {0x73, "Home"},      {0x74, "PageUp"},
    {0x75, "Delete"},      {0x76, "F4"},           {0x77, "End"},       {0x78, "F2"},
    {0x79, "PageDown"},    {0x7A, "F1"},           {0x7B, "ArrowLeft"}, {0x7C, "ArrowRight"},
    {0x7D, "ArrowDown"},   {0x7E, "ArrowUp"},
};

constexpr auto kMacCodeTable = [] {
  std::array<const char*, kMacKeyCodeCount> table{};
  for (auto& entry : table) entry = kUnidentifiedKey;
  for (const auto& [code, name] : kMacCodeNames) table[code] = name;
  return table;
}();

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 to UTF-8; false when the text holds an unpaired surrogate.
bool Utf16ToUtf8(std::u16string_view text, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= text.size()) return false;
      const char32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    } else {
      AppendUtf8(out, unit);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// X11

constexpr size_t kX11KeycodeCount = 256;
constexpr uint16_t kEvdevOffset = 8;

// Linux evdev key codes (linux/input-event-codes.h) and their code names.
constexpr std::pair<uint16_t, const char*> kEvdevCodeNames[] = {
    {1, "Escape"},
    {2, "Digit1"},
    {3, "Digit2"},
    {4, "Digit3"},
    {5, "Digit4"},
    {6, "Digit5"},
    {7, "Digit6"},
    {8, "Digit7"},
    {9, "Digit8"},
    {10, "Digit9"},
    {11, "Digit0"},
    {12, "Minus"},
    {13, "Equal"},
    {14, "Backspace"},
    {15, "Tab"},
    {16, "KeyQ"},
    {17, "KeyW"},
    {18, "KeyE"},
    {19, "KeyR"},
    {20, "KeyT"},
    {21, "KeyY"},
    {22, "KeyU"},
    {23, "KeyI"},
    {24, "KeyO"},
    {25, "KeyP"},
    {26, "BracketLeft"},
    {27, "BracketRight"},
    {28, "Enter"},
    {29, "ControlLeft"},
    {30, "KeyA"},
    {31, "KeyS"},
    {32, "KeyD"},
    {33, "KeyF"},
    {34, "KeyG"},
    {35, "KeyH"},
    {36, "KeyJ"},
    {37, "KeyK"},
    {38, "KeyL"},
    {39, "Semicolon"},
    {40, "Quote"},
    {41, "Backquote"},
    {42, "ShiftLeft"},
    {43, "Backslash"},
    {44, "KeyZ"},
    {45, "KeyX"},
    {46, "KeyC"},
    {47, "KeyV"},
    {48, "KeyB"},
    {49, "KeyN"},
    {50, "KeyM"},
    {51, "Comma"},
    {52, "Period"},
    {53, "Slash"},
    {54, "ShiftRight"},
    {55, "NumpadMultiply"},
    {56, "AltLeft"},
    {57, "Space"},
    {58, "CapsLock"},
    {59, "F1"},
    {60, "F2"},
    {61, "F3"},
    {62, "F4"},
    {63, "F5"},
    {64, "F6"},
    {65, "F7"},
    {66, "F8"},
    {67, "F9"},
    {68, "F10"},
    {69, "NumLock"},
    {70, "ScrollLock"},
    {71, "Numpad7"},
    {72, "Numpad8"},
    {73, "Numpad9"},
    {74, "NumpadSubtract"},
    {75, "Numpad4"},
    {76, "Numpad5"},
    {77, "Numpad6"},
    {78, "NumpadAdd"},
    {79, "Numpad1"},
    {80, "Numpad2"},
    {81, "Numpad3"},
    {82, "Numpad0"},
    {83, "NumpadDecimal"},
    {86, "IntlBackslash"},
    {87, "F11"},
    {88, "F12"},
    {89, "IntlRo"},
    {90, "Lang3"},
    {91, "Lang4"},
    {92, "Convert"},
    {93, "KanaMode"},
    {94, "NonConvert"},
    {96, "NumpadEnter"},
    {97, "ControlRight"},
    {98, "NumpadDivide"},
    {99, "PrintScreen"},
    {100, "AltRight"},
    {102, "Home"},
    {103, "ArrowUp"},
    {104, "PageUp"},
    {105, "ArrowLeft"},
    {106, "ArrowRight"},
    {107, "End"},
    {108, "ArrowDown"},
    {109, "PageDown"},
    {110, "Insert"},
    {111, "Delete"},
    {113, "AudioVolumeMute"},
    {114, "AudioVolumeDown"},
    {115, "AudioVolumeUp"},
    {116, "Power"},
    {117, "NumpadEqual"},
    {119, "Pause"},
    {121, "NumpadComma"},
    {122, "Lang1"},
    {123, "Lang2"},
    {124, "IntlYen"},
    {125, "MetaLeft"},
    {126, "MetaRight"},
    {127, "ContextMenu"},
    {128, "BrowserStop"},
    {129, "Again"},
    {130, "Props"},
    {131, "Undo"},
    {133, "Copy"},
    {134, "Open"},
    {135, "Paste"},
    {136, "Find"},
    {137, "Cut"},
    {138, "Help"},
    {140, "LaunchApp2"},
    {142, "Sleep"},
    {143, "WakeUp"},
    {155, "LaunchMail"},
    {156, "BrowserFavorites"},
    {158, "BrowserBack"},
    {159, "BrowserForward"},
    {161, "Eject"},
    {163, "MediaTrackNext"},
    {164, "MediaPlayPause"},
    {165, "MediaTrackPrevious"},
    {166, "MediaStop"},
    {172, "BrowserHome"},
    {173, "BrowserRefresh"},
    {179, "NumpadParenLeft"},
    {180, "NumpadParenRight"},
    {183, "F13"},
    {184, "F14"},
    {185, "F15"},
    {186, "F16"},
    {187, "F17"},
    {188, "F18"},
    {189, "F19"},
    {190, "F20"},
    {191, "F21"},
    {192, "F22"},
    {193, "F23"},
    {194, "F24"},
    {217, "BrowserSearch"},
    {226, "MediaSelect"},
};

constexpr auto kX11CodeTable = [] {
  std::array<const char*, kX11KeycodeCount> table{};
  for (auto& entry : table) entry = kUnidentifiedKey;
  for (const auto& [evdev, name] : kEvdevCodeNames) table[evdev + kEvdevOffset] = name;
  return table;
}();

// X keysyms (X11/keysymdef.h) with their own key names. Keypad variants
// share the name of the key they stand for.
constexpr std::pair<uint32_t, const char*> kKeysymNames[] = {
    {0x0020, " "},            // space
    {0xff80, " "},            // KP_Space
    {0xff08, "Backspace"},    // BackSpace
    {0xff09, "Tab"},          // Tab
    {0xff89, "Tab"},          // KP_Tab
    {0xfe20, "Tab"},          // ISO_Left_Tab (Shift+Tab)
    {0xff0b, "Clear"},        // Clear
    {0xff9d, "Clear"},        // KP_Begin (keypad 5 without Num Lock)
    {0xff0d, "Enter"},        // Return
    {0xff8d, "Enter"},        // KP_Enter
    {0xfe34, "Enter"},        // ISO_Enter
    {0xff13, "Pause"},        // Pause
    {0xff14, "ScrollLock"},   // Scroll_Lock
    {0xff1b, "Escape"},       // Escape
    {0xff20, "Compose"},      // Multi_key
    {0xffff, "Delete"},       // Delete
    {0xff9f, "Delete"},       // KP_Delete
    {0xff50, "Home"},         // Home
    {0xff95, "Home"},         // KP_Home
    {0xff51, "ArrowLeft"},    // Left
    {0xff96, "ArrowLeft"},    // KP_Left
    {0xff52, "ArrowUp"},      // Up
    {0xff97, "ArrowUp"},      // KP_Up
    {0xff53, "ArrowRight"},   // Right
    {0xff98, "ArrowRight"},   // KP_Right
    {0xff54, "ArrowDown"},    // Down
    {0xff99, "ArrowDown"},    // KP_Down
    {0xff55, "PageUp"},       // Prior
    {0xff9a, "PageUp"},       // KP_Prior
    {0xff56, "PageDown"},     // Next
    {0xff9b, "PageDown"},     // KP_Next
    {0xff57, "End"},          // End
    {0xff9c, "End"},          // KP_End
    {0xff60, "Select"},       // Select
    {0xff61, "PrintScreen"},  // Print
    {0xff62, "Execute"},      // Execute
    {0xff63, "Insert"},       // Insert
    {0xff9e, "Insert"},       // KP_Insert
    {0xff65, "Undo"},         // Undo
    {0xff66, "Redo"},         // Redo
    {0xff67, "ContextMenu"},  // Menu
    {0xff68, "Find"},         // Find
    {0xff69, "Cancel"},       // Cancel
    {0xff6a, "Help"},         // Help
    {0xff7e, "ModeChange"},   // Mode_switch
    {0xff7f, "NumLock"},      // Num_Lock
    {0xff91, "F1"},           // KP_F1 .. KP_F4
    {0xff92, "F2"},          {0xff93, "F3"}, {0xff94, "F4"}, {0xffe1, "Shift"},  // Shift_L
    {0xffe2, "Shift"},                                                           // Shift_R
    {0xffe3, "Control"},                                                         // Control_L
    {0xffe4, "Control"},                                                         // Control_R
    {0xffe5, "CapsLock"},                                                        // Caps_Lock
    {0xffe6, "CapsLock"},                                                        // Shift_Lock
    {0xffe7, "Meta"},                                                            // Meta_L
    {0xffe8, "Meta"},                                                            // Meta_R
    {0xffe9, "Alt"},                                                             // Alt_L
    {0xffea, "Alt"},                                                             // Alt_R
    {0xffeb, "Meta"},                                                            // Super_L
    {0xffec, "Meta"},                                                            // Super_R
    {0xffed, "Hyper"},                                                           // Hyper_L
    {0xffee, "Hyper"},                                                           // Hyper_R
    {0xfe03, "AltGraph"},                                                        // ISO_Level3_Shift
};

constexpr uint32_t kKeysymF1 = 0xffbe;
constexpr uint32_t kKeysymF35 = 0xffe0;
constexpr uint32_t kKeysymFirstDead = 0xfe50;  // dead_grave
constexpr uint32_t kKeysymLastDead = 0xfe93;   // dead_longsolidusoverlay

constexpr const char* kFunctionKeyNames[] = {
    "F1",  "F2",  "F3",  "F4",  "F5",  "F6",  "F7",  "F8",  "F9",  "F10", "F11", "F12",
    "F13", "F14", "F15", "F16", "F17", "F18", "F19", "F20", "F21", "F22", "F23", "F24",
    "F25", "F26", "F27", "F28", "F29", "F30", "F31", "F32", "F33", "F34", "F35",
};
static_assert(std::size(kFunctionKeyNames) == kKeysymF35 - kKeysymF1 + 1);

// Decodes the first code point of UTF-8 text; false when it is malformed.
bool FirstCodePoint(std::string_view text, char32_t& cp) {
  if (text.empty()) return false;
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length;
  if (lead < 0x80) {
    cp = lead;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    cp = lead & 0x1F;
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    cp = lead & 0x0F;
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    cp = lead & 0x07;
    length = 4;
  } else {
    return false;
  }
  if (text.size() < length) return false;
  for (size_t i = 1; i < length; ++i) {
    const auto unit = static_cast<unsigned char>(text[i]);
    if ((unit & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (unit & 0x3F);
  }
  return true;
}

}  // namespace

const char* NSEventKeyToCode(uint16_t keyCode) {
  return keyCode < kMacKeyCodeCount ? kMacCodeTable[keyCode] : kUnidentifiedKey;
}

std::string KeyNameFromCharacters(std::u16string_view characters) {
  if (characters.empty()) return kUnidentifiedKey;
  const char16_t first = characters[0];
  switch (first) {
    case 0x0003:
    case 0x000D:
      return "Enter";
    case 0x0009:
      return "Tab";
    case 0x001B:
      return "Escape";
    case 0x0020:
      return " ";
    case 0x007F:
      return "Backspace";
    case 0xF700:
      return "ArrowUp";
    case 0xF701:
      return "ArrowDown";
    case 0xF702:
      return "ArrowLeft";
    case 0xF703:
      return "ArrowRight";
    case 0xF727:
      return "Insert";
    case 0xF728:
      return "Delete";
    case 0xF729:
      return "Home";
    case 0xF72B:
      return "End";
    case 0xF72C:
      return "PageUp";
    case 0xF72D:
      return "PageDown";
    default:
      break;
  }
  if (first >= 0xF704 && first <= 0xF70F) return kFunctionKeyNames[first - 0xF704];
  if (first >= 0x0021 && first <= 0x007E) return std::string(1, static_cast<char>(first));
  // Text with a NUL (Control+Space gives one) would reach the runtime as an
  // empty C string.
  std::string utf8;
  if (!Utf16ToUtf8(characters, utf8) || utf8.find('\0') != std::string::npos) {
    return kUnidentifiedKey;
  }
  return utf8;
}

const char* X11KeycodeToCode(uint16_t hardwareKeycode) {
  return hardwareKeycode < kX11KeycodeCount ? kX11CodeTable[hardwareKeycode] : kUnidentifiedKey;
}

std::string GdkKeyToKey(uint32_t keyval, std::string_view text) {
  for (const auto& [keysym, name] : kKeysymNames) {
    if (keysym == keyval) return name;
  }
  if (keyval >= kKeysymF1 && keyval <= kKeysymF35) return kFunctionKeyNames[keyval - kKeysymF1];
  if (keyval >= kKeysymFirstDead && keyval <= kKeysymLastDead) return kUnidentifiedKey;
  // Control characters (for instance from Linefeed) are not key names.
  char32_t first;
  if (!FirstCodePoint(text, first)) return kUnidentifiedKey;
  if (first < 0x20 || (first >= 0x7F && first < 0xA0)) return kUnidentifiedKey;
  return std::string(text);
}

bool IsModifierKeysym(uint32_t keyval) {
  return (keyval >= 0xffe1 && keyval <= 0xffee) ||  // Shift_L .. Hyper_R
         (keyval >= 0xfe01 && keyval <= 0xfe13) ||  // ISO_Lock .. ISO_Level5_Lock
         keyval == 0xff7e ||                        // Mode_switch
         keyval == 0xff7f;                          // Num_Lock
}

}  // namespace wexlor_common
