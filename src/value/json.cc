#include "value/json.h"

#include <locale.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace json {

using wexlor::BinaryData;
using wexlor::Value;

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ---------------------------------------------------------------------------
// Writing

// 1 for bytes that Escape must rewrite: controls, the double quote,
// backslash; 2 for bytes that start or continue a multi-byte sequence, which
// are checked so the output is always valid UTF-8.
constexpr auto kNeedsEscape = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  for (int c = 0x80; c < 0x100; ++c) t[c] = 2;
  return t;
}();

void AppendUnitEscape(std::string& out, unsigned unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char esc[6] = {'\\',
                       'u',
                       kHex[(unit >> 12) & 0xF],
                       kHex[(unit >> 8) & 0xF],
                       kHex[(unit >> 4) & 0xF],
                       kHex[unit & 0xF]};
  out.append(esc, 6);
}

}  // namespace

size_t Utf8SequenceLength(const uint8_t* p, const uint8_t* end, unsigned* surrogate) {
  const unsigned lead = p[0];
  size_t length;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned b = p[k];
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
  }
  if (lead == 0xED && p[1] >= 0xA0) {
    *surrogate = 0xD000 | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 0;
  }
  return length;
}

namespace {

// Appends `s` escaped as the inside of a JSON string. The result is always
// valid UTF-8 and a valid script string body: a surrogate stored as three
// bytes becomes its \u escape (so a lone surrogate from a page goes back
// exactly), any other invalid byte becomes U+FFFD.
void AppendEscaped(std::string& out, const std::string& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const auto* run = p;
    while (p < end && !kNeedsEscape[*p]) ++p;
    out.append(reinterpret_cast<const char*>(run), p - run);
    if (p == end) break;
    const uint8_t c = *p;
    if (c >= 0x80) {
      unsigned surrogate = 0;
      const size_t length = Utf8SequenceLength(p, end, &surrogate);
      if (length != 0) {
        out.append(reinterpret_cast<const char*>(p), length);
        p += length;
      } else if (surrogate != 0) {
        AppendUnitEscape(out, surrogate);
        p += 3;
      } else {
        out += "\xEF\xBF\xBD";
        ++p;
      }
      continue;
    }
    ++p;
    switch (c) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        AppendUnitEscape(out, c);
    }
  }
}

void AppendBase64(std::string& out, const std::vector<uint8_t>& bytes) {
  const size_t n = bytes.size();
  const size_t start = out.size();
  out.resize(start + (n + 2) / 3 * 4);
  char* o = out.data() + start;
  const uint8_t* b = bytes.data();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{b[i]} << 16) | (uint32_t{b[i + 1]} << 8) | b[i + 2];
    *o++ = kBase64Alphabet[(v >> 18) & 63];
    *o++ = kBase64Alphabet[(v >> 12) & 63];
    *o++ = kBase64Alphabet[(v >> 6) & 63];
    *o++ = kBase64Alphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t{b[i]} << 16;
    if (i + 1 < n) v |= uint32_t{b[i + 1]} << 8;
    *o++ = kBase64Alphabet[(v >> 18) & 63];
    *o++ = kBase64Alphabet[(v >> 12) & 63];
    *o++ = i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

template <typename T>
void AppendNumber(std::string& out, T v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr - buf);
}

void AppendDouble(std::string& out, double d) {
  if (!std::isfinite(d)) {
    // No JSON form; null is valid JSON and a valid script expression.
    out += "null";
    return;
  }
  // The same text as printf("%.17g") in the C locale, whatever the user's locale.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
  out.append(buf, r.ptr - buf);
}

// Writes values depth-first. Containers already being written (a value that
// contains itself) are written as null, and once the output passes `limit`
// the writer stops early, so the time spent is bounded by the output.
struct Writer {
  Writer(std::string& o, size_t l) : out(o), limit(l) {}

  std::string& out;
  size_t limit;
  bool over = false;
  std::vector<const Value*> open;  // containers on the current path

  bool Enter(const Value* v) {
    for (const Value* o : open) {
      if (o == v) return false;
    }
    open.push_back(v);
    return true;
  }

  void Item(const Value* v, int depth) {
    if (out.size() > limit) {
      over = true;
      return;
    }
    Write(v, depth);
  }

  void List(const Value::ListType& list, int depth) {
    out += '[';
    bool first = true;
    for (const auto& item : list) {
      if (over) return;
      if (!first) out += ',';
      first = false;
      Item(item.get(), depth + 1);
    }
    out += ']';
  }

  void Dict(const Value::DictType& dict, int depth) {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : dict) {
      if (over) return;
      if (!first) out += ',';
      first = false;
      out += '"';
      AppendEscaped(out, key);
      out += "\":";
      Item(item.get(), depth + 1);
    }
    out += '}';
  }

  // `depth` is the nesting level a container at this position would have.
  void Write(const Value* v, int depth) {
    if (v == nullptr) {
      out += "null";
      return;
    }
    switch (v->type) {
      case Value::Type::Null:
        out += "null";
        break;
      case Value::Type::Bool:
        out += std::get<bool>(v->data) ? "true" : "false";
        break;
      case Value::Type::Int:
        AppendNumber(out, std::get<int32_t>(v->data));
        break;
      case Value::Type::Double:
        AppendDouble(out, std::get<double>(v->data));
        break;
      case Value::Type::String:
        out += '"';
        AppendEscaped(out, std::get<std::string>(v->data));
        out += '"';
        break;
      case Value::Type::Binary:
        out += "{\"__binary__\":\"";
        AppendBase64(out, std::get<BinaryData>(v->data).bytes);
        out += "\"}";
        break;
      case Value::Type::List:
      case Value::Type::Dict:
        if (depth > kMaxDepth || !Enter(v)) {
          out += "null";
          break;
        }
        if (v->type == Value::Type::List) {
          List(v->AsList(), depth);
        } else {
          Dict(v->AsDict(), depth);
        }
        open.pop_back();
        break;
      case Value::Type::Callback:
        out += "{\"__callback__\":\"";
        AppendNumber(out, std::get<uint64_t>(v->data));
        out += "\"}";
        break;
    }
  }
};

// ---------------------------------------------------------------------------
// Reading

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline void SkipSpace(const char*& p) {
  while (IsSpace(*p)) ++p;
}

constexpr auto kBase64Decode = [] {
  std::array<int8_t, 256> t{};
  for (auto& e : t) e = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
  return t;
}();

constexpr auto kHexDigit = [] {
  std::array<int8_t, 256> t{};
  for (auto& e : t) e = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<int8_t>(10 + i);
    t['A' + i] = static_cast<int8_t>(10 + i);
  }
  return t;
}();

void AppendCodeUnit(std::string& out, long n) {
  if (n <= 0x7F) {
    out += static_cast<char>(n & 0xFF);
  } else if (n <= 0x7FF) {
    out += static_cast<char>(0xC0 | (n >> 6));
    out += static_cast<char>(0x80 | (n & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | ((n >> 12) & 0xFF));
    out += static_cast<char>(0x80 | ((n >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (n & 0x3F));
  }
}

// A code point above the Basic Multilingual Plane as four UTF-8 bytes.
void AppendCodePoint(std::string& out, long cp) {
  out += static_cast<char>(0xF0 | (cp >> 18));
  out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

// The value of four characters read as strtol(…, 16) reads them.
long HexQuad(const char* q) {
  int8_t d0 = kHexDigit[static_cast<uint8_t>(q[0])], d1 = kHexDigit[static_cast<uint8_t>(q[1])],
         d2 = kHexDigit[static_cast<uint8_t>(q[2])], d3 = kHexDigit[static_cast<uint8_t>(q[3])];
  if ((d0 | d1 | d2 | d3) >= 0) return (d0 << 12) | (d1 << 8) | (d2 << 4) | d3;
  char buf[5] = {q[0], q[1], q[2], q[3], 0};
  return std::strtol(buf, nullptr, 16);
}

void DecodeBase64Into(const std::string& text, std::vector<uint8_t>& out) {
  // Sized once for the most the text can give, written through a pointer,
  // trimmed at the end: no per-byte growth checks.
  out.resize(text.size() / 4 * 3 + 3);
  uint8_t* o = out.data();
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  // Whole groups of four valid characters, the common case.
  while (end - p >= 4) {
    const int a = kBase64Decode[p[0]], b = kBase64Decode[p[1]], c = kBase64Decode[p[2]],
              d = kBase64Decode[p[3]];
    if ((a | b | c | d) < 0) break;
    const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    o[2] = static_cast<uint8_t>(v);
    o += 3;
    p += 4;
  }
  // The rest one character at a time: stop at '=', skip anything outside
  // the alphabet, drop leftover bits.
  uint32_t acc = 0;
  int bits = 0;
  for (; p < end; ++p) {
    if (*p == '=') break;
    const int v = kBase64Decode[*p];
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *o++ = static_cast<uint8_t>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
}

// An unsigned 64-bit decimal as strtoull reads it; false for no digits or
// overflow.
bool ParseCallbackId(const std::string& s, uint64_t* out) {
  const char* p = s.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = negative ? 0 - v : v;
  return true;
}

locale_t CLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

std::shared_ptr<Value> ParseNumber(const char*& p) {
  // Plain JSON numbers are read directly; anything else strtod accepts
  // (hexadecimal, infinity, NaN, leading "+" after "-") goes through strtod
  // in the C locale so the user's locale never changes the result.
  const char* q = p;
  bool negative = *q == '-';
  if (negative) ++q;
  const char* digits = q;
  uint64_t mantissa = 0;
  while (*q >= '0' && *q <= '9') {
    mantissa = mantissa * 10 + static_cast<uint64_t>(*q - '0');
    ++q;
  }
  const size_t ndigits = static_cast<size_t>(q - digits);
  bool isDouble = false;
  bool plain = ndigits > 0;
  if (plain && *q == '.') {
    isDouble = true;
    ++q;
    if (*q < '0' || *q > '9') plain = false;
    while (*q >= '0' && *q <= '9') ++q;
  }
  if (plain && (*q == 'e' || *q == 'E')) {
    isDouble = true;
    const char* e = q + 1;
    if (*e == '+' || *e == '-') ++e;
    if (*e < '0' || *e > '9') plain = false;
    while (*e >= '0' && *e <= '9') ++e;
    q = e;
  }
  if (plain && (*q == 'x' || *q == 'X' || *q == 'p' || *q == 'P') && ndigits == 1) plain = false;
  if (plain && !isDouble && ndigits <= 18) {
    const int64_t v = negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa);
    p = q;
    if (v >= INT32_MIN && v <= INT32_MAX) return Value::Int(static_cast<int32_t>(v));
    return Value::Double(static_cast<double>(v));
  }
  double d = 0;
  if (plain) {
    auto r = std::from_chars(p, q, d);
    if (r.ec != std::errc() || r.ptr != q) plain = false;
  }
  if (!plain) {
    char* stop = nullptr;
    d = strtod_l(p, &stop, CLocale());
    if (stop == p) return Value::Int(0);  // nothing convertible: 0, cursor unmoved
    q = stop;
    isDouble = false;
    for (const char* c = p; c < q; ++c) {
      if (*c == '.' || *c == 'e' || *c == 'E') isDouble = true;
    }
  }
  p = q;
  if (!isDouble && d >= -2147483648.0 && d <= 2147483647.0) {
    return Value::Int(static_cast<int32_t>(d));
  }
  return Value::Double(d);
}

// Consumes a container that lies too deep, without recursion: brackets and
// braces are counted and strings skipped, up to the matching close or NUL.
// Set when a parse skipped a container for lying too deep.
thread_local bool t_skippedDeep = false;

void SkipContainer(const char*& p) {
  t_skippedDeep = true;
  int level = 0;
  while (*p) {
    const char c = *p++;
    if (c == '"') {
      while (*p && *p != '"') {
        if (*p == '\\' && p[1]) ++p;
        ++p;
      }
      if (*p) ++p;
    } else if (c == '[' || c == '{') {
      ++level;
    } else if (c == ']' || c == '}') {
      if (--level == 0) return;
    }
  }
}

// Items of the arrays and entries of the objects being read, innermost last;
// each container is built from its run at the end in one allocation of the
// exact size.
struct Scratch {
  std::vector<std::shared_ptr<Value>> items;
  Value::DictType::Entries entries;
};

// Bytewise order of keys, as std::string orders them; inline, as keys are
// short and usually differ in their first byte.
inline bool KeyLess(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<uint8_t>(a[i]) < static_cast<uint8_t>(b[i]);
  }
  return a.size() < b.size();
}

// Sorts the entries from `base` on by key, keeping the last of equal keys.
void SortEntries(Value::DictType::Entries& entries, size_t base) {
  const auto first = entries.begin() + static_cast<ptrdiff_t>(base);
  auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(first, entries.end(), byKey);
  // Of each run of equal keys, move the last entry to the run's place.
  auto out = first;
  for (auto it = first; it != entries.end();) {
    auto last = it;
    while (last + 1 != entries.end() && last[1].first == it->first) ++last;
    if (out != last) *out = std::move(*last);
    ++out;
    it = last + 1;
  }
  entries.erase(out, entries.end());
}

std::shared_ptr<Value> ParseAt(const char*& p, int depth, Scratch& scratch);
std::shared_ptr<Value> ParseArrayAt(const char*& p, int depth, Scratch& scratch);
std::shared_ptr<Value> ParseObjectAt(const char*& p, int depth, Scratch& scratch);

std::shared_ptr<Value> ParseAt(const char*& p, int depth, Scratch& scratch) {
  SkipSpace(p);
  switch (*p) {
    case '"':
      return Value::String(ParseString(p));
    case '[':
      return ParseArrayAt(p, depth + 1, scratch);
    case '{':
      return ParseObjectAt(p, depth + 1, scratch);
    case 't':
      if (std::strncmp(p, "true", 4) == 0) {
        p += 4;
        return Value::Bool(true);
      }
      return Value::Null();
    case 'f':
      if (std::strncmp(p, "false", 5) == 0) {
        p += 5;
        return Value::Bool(false);
      }
      return Value::Null();
    case 'n':
      if (std::strncmp(p, "null", 4) == 0) p += 4;
      return Value::Null();
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return ParseNumber(p);
    default:
      return Value::Null();
  }
}

std::shared_ptr<Value> ParseArrayAt(const char*& p, int depth, Scratch& scratch) {
  if (depth > kMaxDepth) {
    SkipContainer(p);
    return Value::Null();
  }
  auto& items = scratch.items;
  const size_t base = items.size();
  ++p;
  SkipSpace(p);
  while (*p != '\0') {
    if (*p == ']') {
      ++p;
      break;
    }
    const char* before = p;
    auto item = ParseAt(p, depth, scratch);
    if (p == before && *p != ',') {
      // A byte that begins no value and is no separator (a stray letter,
      // say) ends the array, so malformed text can never stall the loop.
      break;
    }
    items.push_back(std::move(item));
    SkipSpace(p);
    if (*p == ',') ++p;
    SkipSpace(p);
  }
  auto result = Value::List();
  result->AsList().assign(std::make_move_iterator(items.begin() + static_cast<ptrdiff_t>(base)),
                          std::make_move_iterator(items.end()));
  items.resize(base);
  return result;
}

std::shared_ptr<Value> ConvertMarkers(std::shared_ptr<Value> dict) {
  auto& d = dict->AsDict();
  if (auto it = d.find("__callback__");
      it != d.end() && it->second && it->second->type == Value::Type::String) {
    uint64_t id = 0;
    if (ParseCallbackId(it->second->GetString(), &id)) return Value::Callback(id);
    return Value::Null();
  }
  if (auto it = d.find("__binary__");
      it != d.end() && it->second && it->second->type == Value::Type::String) {
    auto bin = Value::Binary(nullptr, 0);
    DecodeBase64Into(it->second->GetString(), std::get<BinaryData>(bin->data).bytes);
    return bin;
  }
  return dict;
}

std::shared_ptr<Value> ParseObjectAt(const char*& p, int depth, Scratch& scratch) {
  if (depth > kMaxDepth) {
    SkipContainer(p);
    return Value::Null();
  }
  auto& entries = scratch.entries;
  const size_t base = entries.size();
  ++p;
  SkipSpace(p);
  bool markerCandidate = false;
  bool sorted = true;  // keys so far strictly increasing
  while (*p != '\0' && *p != '}') {
    SkipSpace(p);
    if (*p != '"') break;  // an unquoted key ends the object
    // The entry is added with its key first; nested containers add and
    // take back their own entries after it while its value is read.
    const size_t index = entries.size();
    entries.emplace_back(ParseString(p), nullptr);
    const std::string& key = entries[index].first;
    if (key.size() >= 10 && key[0] == '_' && key[1] == '_') markerCandidate = true;
    if (sorted && index > base && !KeyLess(entries[index - 1].first, key)) sorted = false;
    SkipSpace(p);
    if (*p == ':') ++p;
    SkipSpace(p);
    auto item = ParseAt(p, depth, scratch);
    entries[index].second = std::move(item);
    SkipSpace(p);
    if (*p == ',') ++p;
    SkipSpace(p);
  }
  if (!sorted) SortEntries(entries, base);  // a later duplicate wins
  Value::DictType::Entries own;
  own.reserve(entries.size() - base);
  own.assign(std::make_move_iterator(entries.begin() + static_cast<ptrdiff_t>(base)),
             std::make_move_iterator(entries.end()));
  entries.resize(base);
  auto result = Value::Dict();
  result->AsDict() = Value::DictType::FromSorted(std::move(own));
  if (*p == '}') ++p;
  return markerCandidate ? ConvertMarkers(std::move(result)) : result;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string Serialize(const std::shared_ptr<Value>& value) {
  std::string out;
  Writer{out, SIZE_MAX}.Write(value.get(), 1);
  return out;
}

bool SerializeBounded(const std::shared_ptr<Value>& value, size_t limit, std::string* out) {
  out->clear();
  Writer writer{*out, limit};
  writer.Write(value.get(), 1);
  if (writer.over || out->size() > limit) {
    out->clear();
    return false;
  }
  return true;
}

std::string SerializeList(const Value::ListType& list) {
  std::string out;
  Writer{out, SIZE_MAX}.List(list, 1);
  return out;
}

std::string SerializeDict(const Value::DictType& dict) {
  std::string out;
  Writer{out, SIZE_MAX}.Dict(dict, 1);
  return out;
}

bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    unsigned surrogate = 0;
    const size_t length = Utf8SequenceLength(p, end, &surrogate);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  AppendEscaped(out, s);
  return out;
}

std::shared_ptr<Value> Parse(const char*& cursor) {
  Scratch scratch;
  return ParseAt(cursor, 0, scratch);
}

std::shared_ptr<Value> ParseArray(const char*& cursor) {
  Scratch scratch;
  return ParseArrayAt(cursor, 1, scratch);
}

std::shared_ptr<Value> ParseObject(const char*& cursor) {
  Scratch scratch;
  return ParseObjectAt(cursor, 1, scratch);
}

namespace {

// The bytes that end a plain run inside a string: NUL, quote, backslash.
constexpr auto kStringStop = [] {
  std::array<bool, 256> t{};
  t[0] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

}  // namespace

std::string ParseString(const char*& cursor) {
  std::string out;
  const char* p = cursor + 1;  // past the opening quote, which is not checked
  for (;;) {
    // The plain run up to a quote, a backslash or the end.
    // Short runs (keys, most strings) byte by byte; a long run goes on with
    // strcspn, which scans many bytes at a time (it stops at the NUL too).
    const char* run = p;
    for (int n = 0; !kStringStop[static_cast<uint8_t>(*p)]; ++p) {
      if (++n == 32) {
        p += std::strcspn(p, "\"\\");
        break;
      }
    }
    out.append(run, p - run);
    const char c = *p;
    if (c == '\0') break;
    if (c == '"') {
      ++p;
      break;
    }
    // A backslash.
    const char e = p[1];
    switch (e) {
      case '\0':
        out += '\\';  // kept as an ordinary character; the text ends here
        ++p;
        break;
      case 'b':
        out += '\b';
        p += 2;
        break;
      case 'f':
        out += '\f';
        p += 2;
        break;
      case 'n':
        out += '\n';
        p += 2;
        break;
      case 'r':
        out += '\r';
        p += 2;
        break;
      case 't':
        out += '\t';
        p += 2;
        break;
      case 'u':
        if (p[2] == '\0' || p[3] == '\0' || p[4] == '\0' || p[5] == '\0') {
          // Cut short: drop the backslash and the u, keep what follows.
          p += 2;
          if (*p != '\0') out += *p++;
        } else {
          const long unit = HexQuad(p + 2);
          p += 6;
          // A high surrogate escape followed by a low one is one character
          // outside the Basic Multilingual Plane: written as its four UTF-8
          // bytes, not as two invalid three-byte halves. Lone halves stay
          // as they are.
          if (unit >= 0xD800 && unit <= 0xDBFF && p[0] == '\\' && p[1] == 'u' && p[2] != '\0' &&
              p[3] != '\0' && p[4] != '\0' && p[5] != '\0') {
            const long low = HexQuad(p + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
              AppendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
              p += 6;
              break;
            }
          }
          AppendCodeUnit(out, unit);
        }
        break;
      default:
        out += e;  // \" \\ \/ and any other byte stand for themselves
        p += 2;
        break;
    }
    if (e == '\0') break;
  }
  cursor = p;
  return out;
}

std::shared_ptr<Value> ParseText(const std::string& text) {
  const char* cursor = text.c_str();
  return Parse(cursor);
}

std::shared_ptr<Value> ParseText(const std::string& text, bool* tooDeep) {
  const char* cursor = text.c_str();
  return Parse(cursor, tooDeep);
}

std::shared_ptr<Value> Parse(const char*& cursor, bool* tooDeep) {
  t_skippedDeep = false;
  auto value = Parse(cursor);
  *tooDeep = t_skippedDeep;
  return value;
}

}  // namespace json
