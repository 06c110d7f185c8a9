// libFuzzer target for the JSON reader and writer, and for the framing of
// calls that carry raw bytes.
//
// For any input the reader must stay inside the text, and what the writer
// produces must read back to an equivalent value that writes the same text
// again. Plain strings must survive escaping unchanged. Read as a framed
// call, the input never yields a call without the key, never one that still
// holds a buffer marker, and never more bytes than it held.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "backend/bridge_message.h"
#include "value/json.h"
#include "value/value.h"

namespace {

using wexlor::Value;
using ValuePtr = std::shared_ptr<Value>;

[[noreturn]] void Fail(const char* what, std::string_view first = {},
                       std::string_view second = {}) {
  constexpr size_t kShown = 400;
  std::fprintf(stderr, "json_fuzz: %s\n", what);
  if (!first.empty()) {
    std::fprintf(stderr, "  first:  %.*s\n", static_cast<int>(std::min(first.size(), kShown)),
                 first.data());
  }
  if (!second.empty()) {
    std::fprintf(stderr, "  second: %.*s\n", static_cast<int>(std::min(second.size(), kShown)),
                 second.data());
  }
  std::abort();
}

Value::Type TypeOf(const ValuePtr& v) { return v ? v->type : Value::Type::Null; }

bool IsNumber(Value::Type t) { return t == Value::Type::Int || t == Value::Type::Double; }

double NumberOf(const Value& v) {
  return v.type == Value::Type::Int ? static_cast<double>(std::get<int32_t>(v.data))
                                    : std::get<double>(v.data);
}

// Whether `after`, read back from the text written for `before`, carries the
// same data. Integral doubles are written without a fraction and read back as
// ints, and non-finite doubles are written as null, so those pairs count as
// equivalent.
bool Equivalent(const ValuePtr& before, const ValuePtr& after, int depth) {
  // The reader bounds nesting; anything deeper means that bound failed.
  if (depth > json::kMaxDepth + 1) Fail("value nested deeper than kMaxDepth");
  const Value::Type tb = TypeOf(before);
  const Value::Type ta = TypeOf(after);
  if (tb == Value::Type::Double && !std::isfinite(std::get<double>(before->data))) {
    return ta == Value::Type::Null;
  }
  if (IsNumber(tb) && IsNumber(ta)) return NumberOf(*before) == NumberOf(*after);
  if (tb != ta) return false;
  if (before && before->type != static_cast<Value::Type>(before->data.index())) return false;
  if (after && after->type != static_cast<Value::Type>(after->data.index())) return false;
  switch (tb) {
    case Value::Type::Null:
      return true;
    case Value::Type::Bool:
      return std::get<bool>(before->data) == std::get<bool>(after->data);
    case Value::Type::String:
      // Well-formed text comes back exactly; other bytes are replaced (the
      // written text is checked to be valid UTF-8 separately).
      return !json::IsValidUtf8(before->GetString()) || before->GetString() == after->GetString();
    case Value::Type::Binary:
      return before->GetBinary().bytes == after->GetBinary().bytes;
    case Value::Type::Callback:
      return std::get<uint64_t>(before->data) == std::get<uint64_t>(after->data);
    case Value::Type::List: {
      const auto& lb = before->AsList();
      const auto& la = after->AsList();
      if (lb.size() != la.size()) return false;
      for (size_t i = 0; i < lb.size(); ++i) {
        if (!Equivalent(lb[i], la[i], depth + 1)) return false;
      }
      return true;
    }
    case Value::Type::Dict: {
      const auto& db = before->AsDict();
      const auto& da = after->AsDict();
      // Keys that are not well-formed text are replaced and may merge.
      for (const auto& entry : db) {
        if (!json::IsValidUtf8(entry.first)) return true;
      }
      if (db.size() != da.size()) return false;
      for (auto ib = db.begin(), ia = da.begin(); ib != db.end(); ++ib, ++ia) {
        if (ib->first != ia->first || !Equivalent(ib->second, ia->second, depth + 1)) return false;
      }
      return true;
    }
    case Value::Type::Int:
    case Value::Type::Double:
      break;  // handled above
  }
  return false;
}

void CheckNoControlBytes(const std::string& text, const char* what) {
  for (unsigned char c : text) {
    if (c < 0x20) Fail(what, text);
  }
}

// Parses `text` (NUL-terminated) and checks the cursor stayed inside it.
ValuePtr ParseChecked(const char* text, size_t length) {
  const char* cursor = text;
  ValuePtr value = json::Parse(cursor);
  if (cursor < text || cursor > text + length) Fail("cursor moved outside the text", text);
  return value;
}

// The bytes of binary values in `v`; aborts on a buffer marker left behind.
size_t CheckPlaced(const ValuePtr& v, int depth) {
  if (!v || depth > json::kMaxDepth + 2) return 0;
  size_t n = 0;
  if (v->type == Value::Type::Binary) return v->GetBinary().bytes.size();
  if (v->type == Value::Type::List) {
    for (const auto& item : v->AsList()) n += CheckPlaced(item, depth + 1);
  } else if (v->type == Value::Type::Dict) {
    const auto& d = v->AsDict();
    if (d.size() == 1 && d.begin()->first == "__buffer__") Fail("buffer marker left in a call");
    for (const auto& entry : d) n += CheckPlaced(entry.second, depth + 1);
  }
  return n;
}

// Reads `body` as a framed call, in pieces of `step` bytes.
void CheckFramed(const std::string& body, size_t step, bool sized) {
  size_t at = 0;
  const BridgeMessage m = ReadBinaryCall(
      [&](uint8_t* dest, size_t capacity) -> int64_t {
        const size_t n = std::min({capacity, step, body.size() - at});
        std::memcpy(dest, body.data() + at, n);
        at += n;
        return static_cast<int64_t>(n);
      },
      sized ? static_cast<int64_t>(body.size()) : -1, "k");
  if (m.kind == BridgeMessage::Kind::kDrop) return;
  if (body.compare(0, 10, "{\"key\":\"k\"") != 0)
    Fail("framed call accepted without the key", body);
  if (m.kind != BridgeMessage::Kind::kCall) return;
  if (!m.args || m.args->type != Value::Type::List) Fail("framed call without a list", body);
  if (CheckPlaced(m.args, 0) > body.size()) Fail("framed call holds more bytes than sent", body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized heap copy, so any read past the terminator is caught.
  // Text after an embedded NUL is unreachable for the reader.
  const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> text(new char[length + 1]);
  std::memcpy(text.get(), data, length);
  text[length] = '\0';
  const std::string input(text.get(), length);

  // Read, write, read again: the second write must reproduce the first.
  const ValuePtr first = ParseChecked(text.get(), length);
  const std::string written = json::Serialize(first);
  CheckNoControlBytes(written, "raw control byte in written text");
  if (!json::IsValidUtf8(written)) Fail("written text is not valid UTF-8", written);

  const char* cursor = written.c_str();
  const ValuePtr second = json::Parse(cursor);
  if (cursor != written.c_str() + written.size()) {
    Fail("reader did not consume the whole written text", written);
  }
  // A negative zero is written "-0", which reads back as the int 0: the text
  // may change once more in that case, and must be stable from then on.
  std::string rewritten = json::Serialize(second);
  if (rewritten != written) {
    const std::string again = json::Serialize(json::ParseText(rewritten));
    if (again != rewritten) Fail("written text is not a fixed point", rewritten, again);
  }
  if (!Equivalent(first, second, 0)) Fail("value changed across write and read", input, written);

  // The whole-text convenience reader agrees with the cursor reader.
  if (json::Serialize(json::ParseText(input)) != written) {
    Fail("ParseText disagrees with Parse", input);
  }

  // Any well-formed string survives escaping and reading back; any other
  // still escapes to valid UTF-8.
  const std::string escaped = json::Escape(input);
  CheckNoControlBytes(escaped, "raw control byte in escaped string");
  if (!json::IsValidUtf8(escaped)) Fail("escaped string is not valid UTF-8", escaped);

  // Page messages: never a call without the key, and a call's arguments are
  // always a list.
  for (const std::string& body :
       {input, "{\"key\":\"k\"," + input.substr(std::min<size_t>(1, input.size()))}) {
    const BridgeMessage m = ReadBridgeMessage(body, "k");
    if (m.kind == BridgeMessage::Kind::kCall && (!m.args || m.args->type != Value::Type::List)) {
      Fail("bridge call without an argument list", body);
    }
    if (m.kind != BridgeMessage::Kind::kDrop) {
      const ValuePtr read = json::ParseText(body);
      const Value* key = nullptr;
      if (read && read->type == Value::Type::Dict) {
        auto it = read->AsDict().find("key");
        if (it != read->AsDict().end()) key = it->second.get();
      }
      if (key == nullptr || key->type != Value::Type::String || key->GetString() != "k") {
        Fail("bridge message accepted without the key", body);
      }
    }
  }
  // The raw input (NULs included) as a POST body, keyed and not, read in
  // small and large pieces, with and without its length.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string keyed = "{\"key\":\"k\"," + raw.substr(std::min<size_t>(1, raw.size()));
  for (const std::string* body : {&raw, &keyed}) {
    CheckFramed(*body, 1 + size % 13, size % 2 == 0);
    CheckFramed(*body, 1 << 16, size % 2 != 0);
  }

  if (!json::IsValidUtf8(input)) return 0;
  const std::string quoted = "\"" + escaped + "\"";
  const char* string_cursor = quoted.c_str();
  const std::string unescaped = json::ParseString(string_cursor);
  if (unescaped != input) Fail("string changed across escape and read", input, quoted);
  if (string_cursor != quoted.c_str() + quoted.size()) {
    Fail("string reader did not consume the closing quote", quoted);
  }
  return 0;
}
