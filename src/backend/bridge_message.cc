#include "backend/bridge_message.h"

#include "value/json.h"

using wexlor::Value;

namespace {

std::shared_ptr<Value> Field(const Value::DictType& dict, const char* name) {
  auto it = dict.find(name);
  return it == dict.end() ? nullptr : it->second;
}

bool IsString(const std::shared_ptr<Value>& v) { return v && v->type == Value::Type::String; }

// A page call id: a whole number in [0, 2^53], the range in which the page
// counts exactly.
bool ReadCallId(const std::shared_ptr<Value>& v, uint64_t* out) {
  if (!v) return false;
  if (v->type == Value::Type::Int) {
    const int32_t n = std::get<int32_t>(v->data);
    if (n < 0) return false;
    *out = static_cast<uint64_t>(n);
    return true;
  }
  if (v->type != Value::Type::Double) return false;
  const double d = std::get<double>(v->data);
  if (!(d >= 0 && d <= 9007199254740992.0)) return false;
  const auto whole = static_cast<uint64_t>(d);
  if (static_cast<double>(whole) != d) return false;
  *out = whole;
  return true;
}

}  // namespace

BridgeMessage ReadBridgeMessage(const std::string& text, const std::string& key) {
  return ReadBridgeMessage(text.c_str(), text.size(), key);
}

BridgeMessage ReadBridgeMessage(const char* text, size_t length, const std::string& key) {
  BridgeMessage out;
  // The bridge writes its key first: anything else is refused before it is
  // parsed, except short notes that may name their origin.
  const std::string prefix = "{\"key\":\"" + key + "\"";
  if (key.empty() || std::string_view(text, length).substr(0, prefix.size()) != prefix) {
    if (length > 4096) return out;
  }
  bool tooDeep = false;
  const char* cursor = text;
  const auto message = json::Parse(cursor, &tooDeep);
  if (!message || message->type != Value::Type::Dict) return out;
  const auto& dict = message->AsDict();
  const auto givenKey = Field(dict, "key");
  if (key.empty() || !IsString(givenKey) || givenKey->GetString() != key) {
    if (const auto origin = Field(dict, "origin"); IsString(origin)) {
      out.origin = origin->GetString();
    }
    return out;
  }
  const auto method = Field(dict, "method");
  if (!ReadCallId(Field(dict, "callId"), &out.callId) || !IsString(method)) return out;
  out.method = method->GetString();
  if (out.method.find('\0') != std::string::npos || !json::IsValidUtf8(out.method)) {
    out.kind = BridgeMessage::Kind::kReject;
    out.error = "The method name is not valid text";
    return out;
  }
  if (tooDeep) {
    out.kind = BridgeMessage::Kind::kReject;
    out.error = "The arguments cannot be sent: they are nested too deeply";
    return out;
  }
  out.args = Field(dict, "args");
  if (!out.args || out.args->type != Value::Type::List) out.args = Value::List();
  out.kind = BridgeMessage::Kind::kCall;
  return out;
}
