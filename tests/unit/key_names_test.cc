#include "common/key_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using wexlor_common::GdkKeyToKey;
using wexlor_common::IsModifierKeysym;
using wexlor_common::KeyNameFromCharacters;
using wexlor_common::NSEventKeyToCode;
using wexlor_common::X11KeycodeToCode;

namespace {

// Every code name a table hands out, apart from "Unidentified".
template <typename F>
std::multiset<std::string> NamedCodes(F codeOf, unsigned count) {
  std::multiset<std::string> names;
  for (unsigned code = 0; code < count; ++code) {
    const std::string name = codeOf(static_cast<uint16_t>(code));
    if (name != "Unidentified") names.insert(name);
  }
  return names;
}

template <typename F>
void ExpectEveryNameOnce(F codeOf, unsigned count) {
  const auto names = NamedCodes(codeOf, count);
  for (const auto& name : names) EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace

// ---------------------------------------------------------------------------
// macOS key codes

TEST(MacKeyCodes, LettersDigitsAndEditingKeys) {
  EXPECT_STREQ(NSEventKeyToCode(0x00), "KeyA");
  EXPECT_STREQ(NSEventKeyToCode(0x0B), "KeyB");
  EXPECT_STREQ(NSEventKeyToCode(0x16), "Digit6");
  EXPECT_STREQ(NSEventKeyToCode(0x17), "Digit5");
  EXPECT_STREQ(NSEventKeyToCode(0x1D), "Digit0");
  EXPECT_STREQ(NSEventKeyToCode(0x24), "Enter");
  EXPECT_STREQ(NSEventKeyToCode(0x31), "Space");
  EXPECT_STREQ(NSEventKeyToCode(0x33), "Backspace");
  EXPECT_STREQ(NSEventKeyToCode(0x75), "Delete");
  EXPECT_STREQ(NSEventKeyToCode(0x60), "F5");
  EXPECT_STREQ(NSEventKeyToCode(0x7E), "ArrowUp");
}

TEST(MacKeyCodes, UnnamedKeysAreUnidentified) {
  EXPECT_STREQ(NSEventKeyToCode(54), "Unidentified");   // right Command
  EXPECT_STREQ(NSEventKeyToCode(55), "MetaLeft");       // left Command
  EXPECT_STREQ(NSEventKeyToCode(63), "Unidentified");   // Fn
  EXPECT_STREQ(NSEventKeyToCode(76), "Unidentified");   // keypad Enter
  EXPECT_STREQ(NSEventKeyToCode(105), "Unidentified");  // F13
  EXPECT_STREQ(NSEventKeyToCode(10), "Unidentified");
  EXPECT_STREQ(NSEventKeyToCode(52), "Unidentified");
  EXPECT_STREQ(NSEventKeyToCode(127), "Unidentified");
  EXPECT_STREQ(NSEventKeyToCode(0xFFFF), "Unidentified");
}

TEST(MacKeyCodes, TableNamesEightyTwoKeysOnce) {
  const auto names = NamedCodes(NSEventKeyToCode, 127);
  EXPECT_EQ(names.size(), 82u);
  ExpectEveryNameOnce(NSEventKeyToCode, 127);
}

// ---------------------------------------------------------------------------
// macOS key names from produced characters

TEST(MacKeyNames, PrintableCharactersAreThemselves) {
  EXPECT_EQ(KeyNameFromCharacters(u"a"), "a");
  EXPECT_EQ(KeyNameFromCharacters(u"A"), "A");
  EXPECT_EQ(KeyNameFromCharacters(u"~"), "~");
  EXPECT_EQ(KeyNameFromCharacters(u"!"), "!");
  // Only the first unit decides for ASCII.
  EXPECT_EQ(KeyNameFromCharacters(u"ab"), "a");
}

TEST(MacKeyNames, NamedCharacters) {
  EXPECT_EQ(KeyNameFromCharacters(u"\r"), "Enter");
  EXPECT_EQ(KeyNameFromCharacters(u"\x0003"), "Enter");  // keypad Enter
  EXPECT_EQ(KeyNameFromCharacters(u"\t"), "Tab");
  EXPECT_EQ(KeyNameFromCharacters(u"\x001B"), "Escape");
  EXPECT_EQ(KeyNameFromCharacters(u" "), " ");
  EXPECT_EQ(KeyNameFromCharacters(u"\x007F"), "Backspace");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF728"), "Delete");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF700"), "ArrowUp");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF703"), "ArrowRight");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF727"), "Insert");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF729"), "Home");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF72B"), "End");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF72C"), "PageUp");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF72D"), "PageDown");
}

TEST(MacKeyNames, FunctionKeysUpToF12ThenRawText) {
  EXPECT_EQ(KeyNameFromCharacters(u"\xF704"), "F1");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF708"), "F5");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF70F"), "F12");
  EXPECT_EQ(KeyNameFromCharacters(u"\xF710"), "\xEF\x9C\x90");  // F13: U+F710 itself
  EXPECT_EQ(KeyNameFromCharacters(u"\xF72A"), "\xEF\x9C\xAA");  // Begin has no name
}

TEST(MacKeyNames, OtherTextIsConvertedWhole) {
  EXPECT_EQ(KeyNameFromCharacters(u"\x0001"), "\x01");  // Control+A
  EXPECT_EQ(KeyNameFromCharacters(u"å"), "å");
  EXPECT_EQ(KeyNameFromCharacters(u"éa"), "éa");
  EXPECT_EQ(KeyNameFromCharacters(u"\U0001F600"), "\xF0\x9F\x98\x80");  // surrogate pair
}

TEST(MacKeyNames, NothingOrUnconvertibleIsUnidentified) {
  EXPECT_EQ(KeyNameFromCharacters(u""), "Unidentified");  // dead key
  EXPECT_EQ(KeyNameFromCharacters(std::u16string(1, char16_t{0xD83D})), "Unidentified");
  EXPECT_EQ(KeyNameFromCharacters(std::u16string(1, char16_t{0xDE00})), "Unidentified");
  EXPECT_EQ(KeyNameFromCharacters(std::u16string{u'\xD83D', u'a'}), "Unidentified");
  // Control+Space produces a NUL, which no C string can carry.
  EXPECT_EQ(KeyNameFromCharacters(std::u16string(1, char16_t{0})), "Unidentified");
}

// ---------------------------------------------------------------------------
// X11 hardware key codes (evdev + 8)

TEST(X11KeyCodes, LettersDigitsAndPunctuation) {
  EXPECT_STREQ(X11KeycodeToCode(38), "KeyA");
  EXPECT_STREQ(X11KeycodeToCode(24), "KeyQ");
  EXPECT_STREQ(X11KeycodeToCode(58), "KeyM");
  EXPECT_STREQ(X11KeycodeToCode(10), "Digit1");
  EXPECT_STREQ(X11KeycodeToCode(19), "Digit0");
  EXPECT_STREQ(X11KeycodeToCode(49), "Backquote");
  EXPECT_STREQ(X11KeycodeToCode(51), "Backslash");
  EXPECT_STREQ(X11KeycodeToCode(94), "IntlBackslash");
}

TEST(X11KeyCodes, ReturnAndKeypadEnterDiffer) {
  EXPECT_STREQ(X11KeycodeToCode(36), "Enter");
  EXPECT_STREQ(X11KeycodeToCode(104), "NumpadEnter");
}

TEST(X11KeyCodes, ModifiersLeftAndRight) {
  EXPECT_STREQ(X11KeycodeToCode(50), "ShiftLeft");
  EXPECT_STREQ(X11KeycodeToCode(62), "ShiftRight");
  EXPECT_STREQ(X11KeycodeToCode(37), "ControlLeft");
  EXPECT_STREQ(X11KeycodeToCode(105), "ControlRight");
  EXPECT_STREQ(X11KeycodeToCode(64), "AltLeft");
  EXPECT_STREQ(X11KeycodeToCode(108), "AltRight");
  EXPECT_STREQ(X11KeycodeToCode(133), "MetaLeft");  // Super
  EXPECT_STREQ(X11KeycodeToCode(134), "MetaRight");
  EXPECT_STREQ(X11KeycodeToCode(66), "CapsLock");
}

TEST(X11KeyCodes, FunctionNavigationAndEditingKeys) {
  EXPECT_STREQ(X11KeycodeToCode(67), "F1");
  EXPECT_STREQ(X11KeycodeToCode(96), "F12");
  EXPECT_STREQ(X11KeycodeToCode(191), "F13");  // not next to F12 in evdev
  EXPECT_STREQ(X11KeycodeToCode(202), "F24");
  EXPECT_STREQ(X11KeycodeToCode(9), "Escape");
  EXPECT_STREQ(X11KeycodeToCode(22), "Backspace");
  EXPECT_STREQ(X11KeycodeToCode(65), "Space");
  EXPECT_STREQ(X11KeycodeToCode(110), "Home");
  EXPECT_STREQ(X11KeycodeToCode(117), "PageDown");
  EXPECT_STREQ(X11KeycodeToCode(119), "Delete");
  EXPECT_STREQ(X11KeycodeToCode(111), "ArrowUp");
  EXPECT_STREQ(X11KeycodeToCode(116), "ArrowDown");
  EXPECT_STREQ(X11KeycodeToCode(135), "ContextMenu");
}

TEST(X11KeyCodes, NumericKeypad) {
  EXPECT_STREQ(X11KeycodeToCode(90), "Numpad0");
  EXPECT_STREQ(X11KeycodeToCode(87), "Numpad1");
  EXPECT_STREQ(X11KeycodeToCode(84), "Numpad5");
  EXPECT_STREQ(X11KeycodeToCode(81), "Numpad9");
  EXPECT_STREQ(X11KeycodeToCode(91), "NumpadDecimal");
  EXPECT_STREQ(X11KeycodeToCode(86), "NumpadAdd");
  EXPECT_STREQ(X11KeycodeToCode(82), "NumpadSubtract");
  EXPECT_STREQ(X11KeycodeToCode(63), "NumpadMultiply");
  EXPECT_STREQ(X11KeycodeToCode(106), "NumpadDivide");
  EXPECT_STREQ(X11KeycodeToCode(77), "NumLock");
}

TEST(X11KeyCodes, OutOfTableIsUnidentified) {
  EXPECT_STREQ(X11KeycodeToCode(0), "Unidentified");
  EXPECT_STREQ(X11KeycodeToCode(8), "Unidentified");  // evdev 0, KEY_RESERVED
  EXPECT_STREQ(X11KeycodeToCode(255), "Unidentified");
  EXPECT_STREQ(X11KeycodeToCode(256), "Unidentified");
  EXPECT_STREQ(X11KeycodeToCode(0xFFFF), "Unidentified");
}

TEST(X11KeyCodes, FullKeyboardCoveredAndNamesUnique) {
  const auto names = NamedCodes(X11KeycodeToCode, 256);
  for (char c = 'A'; c <= 'Z'; ++c) EXPECT_EQ(names.count(std::string("Key") + c), 1u) << c;
  for (int d = 0; d <= 9; ++d) {
    EXPECT_EQ(names.count("Digit" + std::to_string(d)), 1u) << d;
    EXPECT_EQ(names.count("Numpad" + std::to_string(d)), 1u) << d;
  }
  for (int f = 1; f <= 24; ++f) EXPECT_EQ(names.count("F" + std::to_string(f)), 1u) << f;
  ExpectEveryNameOnce(X11KeycodeToCode, 256);
}

// ---------------------------------------------------------------------------
// X11 key names from keysym and text

TEST(X11KeyNames, CharactersFollowShiftButNotControl) {
  EXPECT_EQ(GdkKeyToKey('a', "a"), "a");
  EXPECT_EQ(GdkKeyToKey('A', "A"), "A");  // Shift+a
  // Control leaves the keysym alone, so Control+a is still "a".
  EXPECT_EQ(GdkKeyToKey('a', "a"), "a");
  EXPECT_EQ(GdkKeyToKey(0x00e9, "é"), "é");     // eacute
  EXPECT_EQ(GdkKeyToKey(0x10020ac, "€"), "€");  // Unicode keysym
  EXPECT_EQ(GdkKeyToKey(0xffb1, "1"), "1");     // KP_1 with Num Lock
  EXPECT_EQ(GdkKeyToKey(0xffab, "+"), "+");     // KP_Add
}

TEST(X11KeyNames, NamedKeys) {
  EXPECT_EQ(GdkKeyToKey(0xff0d, "\r"), "Enter");  // Return
  EXPECT_EQ(GdkKeyToKey(0xff8d, "\r"), "Enter");  // KP_Enter
  EXPECT_EQ(GdkKeyToKey(0xff09, "\t"), "Tab");
  EXPECT_EQ(GdkKeyToKey(0xfe20, ""), "Tab");  // Shift+Tab
  EXPECT_EQ(GdkKeyToKey(0xff1b, "\x1b"), "Escape");
  EXPECT_EQ(GdkKeyToKey(0x0020, " "), " ");
  EXPECT_EQ(GdkKeyToKey(0xff08, "\b"), "Backspace");
  EXPECT_EQ(GdkKeyToKey(0xffff, "\x7f"), "Delete");
  EXPECT_EQ(GdkKeyToKey(0xff52, ""), "ArrowUp");
  EXPECT_EQ(GdkKeyToKey(0xff54, ""), "ArrowDown");
  EXPECT_EQ(GdkKeyToKey(0xff51, ""), "ArrowLeft");
  EXPECT_EQ(GdkKeyToKey(0xff53, ""), "ArrowRight");
  EXPECT_EQ(GdkKeyToKey(0xff50, ""), "Home");
  EXPECT_EQ(GdkKeyToKey(0xff57, ""), "End");
  EXPECT_EQ(GdkKeyToKey(0xff55, ""), "PageUp");
  EXPECT_EQ(GdkKeyToKey(0xff56, ""), "PageDown");
  EXPECT_EQ(GdkKeyToKey(0xff63, ""), "Insert");
  EXPECT_EQ(GdkKeyToKey(0xffeb, ""), "Meta");  // Super_L
}

TEST(X11KeyNames, KeypadWithoutNumLockNamesTheKey) {
  EXPECT_EQ(GdkKeyToKey(0xff9c, ""), "End");  // KP_End
  EXPECT_EQ(GdkKeyToKey(0xff97, ""), "ArrowUp");
  EXPECT_EQ(GdkKeyToKey(0xff9f, ""), "Delete");
  EXPECT_EQ(GdkKeyToKey(0xff9d, ""), "Clear");  // KP_Begin
}

TEST(X11KeyNames, FunctionKeysBeyondTwelve) {
  EXPECT_EQ(GdkKeyToKey(0xffbe, ""), "F1");
  EXPECT_EQ(GdkKeyToKey(0xffc9, ""), "F12");
  EXPECT_EQ(GdkKeyToKey(0xffca, ""), "F13");
  EXPECT_EQ(GdkKeyToKey(0xffd5, ""), "F24");
  EXPECT_EQ(GdkKeyToKey(0xffe0, ""), "F35");
}

TEST(X11KeyNames, DeadKeysAndSilentKeysAreUnidentified) {
  EXPECT_EQ(GdkKeyToKey(0xfe51, "\xC2\xB4"), "Unidentified");  // dead_acute
  EXPECT_EQ(GdkKeyToKey(0xfe50, ""), "Unidentified");          // dead_grave
  EXPECT_EQ(GdkKeyToKey(0xfe93, ""), "Unidentified");
  EXPECT_EQ(GdkKeyToKey(0x1008ff13, ""), "Unidentified");      // XF86AudioRaiseVolume
  EXPECT_EQ(GdkKeyToKey(0xff0a, "\n"), "Unidentified");        // Linefeed
  EXPECT_EQ(GdkKeyToKey(0x0080, "\xC2\x80"), "Unidentified");  // C1 control
  EXPECT_EQ(GdkKeyToKey('a', "\xFF"), "Unidentified");         // malformed text
  EXPECT_EQ(GdkKeyToKey(0, ""), "Unidentified");
}

TEST(X11KeyNames, ModifierKeysyms) {
  for (uint32_t keysym : {0xffe1u, 0xffe2u, 0xffe3u, 0xffe4u, 0xffe5u, 0xffe7u, 0xffe9u, 0xffeau,
                          0xffebu, 0xffecu, 0xffeeu, 0xfe03u, 0xfe08u, 0xff7eu, 0xff7fu}) {
    EXPECT_TRUE(IsModifierKeysym(keysym)) << std::hex << keysym;
  }
  for (uint32_t keysym : {uint32_t{'a'}, 0x0020u, 0xff0du, 0xffe0u, 0xffffu, 0xfe20u, 0xff14u}) {
    EXPECT_FALSE(IsModifierKeysym(keysym)) << std::hex << keysym;
  }
}
