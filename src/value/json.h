// Compact JSON text for values, with the binary and callback markers
// {"__binary__":"<Base64>"} and {"__callback__":"<decimal id>"}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "value/value.h"

namespace json {

// Containers nested deeper than this are read as null and written as null,
// so hostile text and self-containing values never exhaust the stack.
inline constexpr int kMaxDepth = 256;

// Strings are written as valid UTF-8: a surrogate stored as three bytes (a
// lone surrogate read from a \u escape) is written back as its escape, every
// other invalid byte as U+FFFD. A container that is already being written
// (a value containing itself) is written as null.
std::string Serialize(const std::shared_ptr<wexlor::Value>& value);
// Like Serialize, but gives up as soon as the text would exceed `limit`
// bytes: returns false and leaves `out` empty.
bool SerializeBounded(const std::shared_ptr<wexlor::Value>& value, size_t limit, std::string* out);
std::string SerializeList(const wexlor::Value::ListType& list);
std::string SerializeDict(const wexlor::Value::DictType& dict);
// Length of the well-formed UTF-8 sequence at `p` (whose first byte is
// >= 0x80, before `end`), or 0. A surrogate written as three bytes (how the
// reader stores a lone \uD800 escape) gives 0 and sets *surrogate to its
// code unit.
size_t Utf8SequenceLength(const uint8_t* p, const uint8_t* end, unsigned* surrogate);
// Whether `s` is well-formed UTF-8 (no surrogates, no overlong forms).
bool IsValidUtf8(std::string_view s);
// The escaped contents of a JSON string, without the quotes.
std::string Escape(const std::string& s);

// Lenient readers: never fail, always return a value, and move `cursor`
// past what they consumed. The text must be NUL-terminated.
std::shared_ptr<wexlor::Value> Parse(const char*& cursor);
std::string ParseString(const char*& cursor);
std::shared_ptr<wexlor::Value> ParseArray(const char*& cursor);
std::shared_ptr<wexlor::Value> ParseObject(const char*& cursor);

// Convenience: parse a whole text from its start.
std::shared_ptr<wexlor::Value> ParseText(const std::string& text);
// The same, also telling whether a container lay deeper than kMaxDepth and was
// read as null.
std::shared_ptr<wexlor::Value> ParseText(const std::string& text, bool* tooDeep);
std::shared_ptr<wexlor::Value> Parse(const char*& cursor, bool* tooDeep);

}  // namespace json
