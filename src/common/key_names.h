// DOM-style names for keyboard reports: a key name that says what a key
// produced ("a", "A", "Enter", "ArrowUp") and a code name that says which
// physical key it was, independent of layout and modifiers ("KeyA").
// Pure functions, free of any toolkit; the shells feed them the platform's
// key codes and produced text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wexlor_common {

inline constexpr const char* kUnidentifiedKey = "Unidentified";

// macOS: code name of a virtual key code; "Unidentified" for unnamed codes
// (the right Command key, Fn, the numeric keypad) and codes above 126.
const char* NSEventKeyToCode(uint16_t keyCode);

// macOS: key name from the UTF-16 characters a key produced with its
// modifiers applied. The first code unit decides (control characters,
// space and the platform's function-key code units get names, printable
// ASCII is returned as itself); any other text is returned whole in UTF-8,
// or "Unidentified" when it is empty, not convertible (lone surrogates) or
// holds a NUL.
std::string KeyNameFromCharacters(std::u16string_view characters);

// X11: code name of a hardware key code (the evdev code plus 8), following
// the UI Events `KeyboardEvent.code` names; "Unidentified" otherwise.
const char* X11KeycodeToCode(uint16_t hardwareKeycode);

// X11: key name, following the UI Events `KeyboardEvent.key` names, from the
// key's keysym (with Shift and the layout level already applied) and the
// UTF-8 text that keysym stands for ("" when none). Named keys come first;
// dead keys and keys whose text is empty or a control character give
// "Unidentified"; otherwise the text itself.
std::string GdkKeyToKey(uint32_t keyval, std::string_view text);

// X11: whether a keysym belongs to a modifier or lock key (Shift, Control,
// Alt, Super, Meta, Hyper, Caps Lock, Num Lock, AltGr and the ISO group and
// level shifts). Key events of such keys are not reported.
bool IsModifierKeysym(uint32_t keyval);

}  // namespace wexlor_common
