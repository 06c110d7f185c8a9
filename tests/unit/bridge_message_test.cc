#include "backend/bridge_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "backend/bridge_bytes.h"
#include "value/json.h"

namespace {

using Kind = BridgeMessage::Kind;

BridgeMessage Read(const std::string& body) { return ReadBridgeMessage(body, "k"); }

std::string Call(const std::string& callId, const std::string& method, const std::string& args) {
  return R"({"key":"k","callId":)" + callId + R"(,"method":)" + method + R"(,"args":)" + args + "}";
}

TEST(BridgeMessage, OnlyTheKeyedBridgeIsHeard) {
  const BridgeMessage ok = Read(Call("7", R"("files.read")", R"(["x",{"__callback__":"2"}])"));
  ASSERT_EQ(ok.kind, Kind::kCall);
  EXPECT_EQ(ok.callId, 7u);
  EXPECT_EQ(ok.method, "files.read");
  EXPECT_EQ(json::Serialize(ok.args), R"(["x",{"__callback__":"2"}])");
  EXPECT_EQ(Read(Call("1", R"("m")", R"("notalist")")).args->AsList().size(), 0u);

  // Without the key, with another key, or with no key set for the window.
  EXPECT_EQ(Read(R"({"callId":1,"method":"m","args":[]})").kind, Kind::kDrop);
  EXPECT_EQ(Read(R"({"key":"K","callId":1,"method":"m","args":[]})").kind, Kind::kDrop);
  EXPECT_EQ(Read(R"({"key":"k ","callId":1,"method":"m","args":[]})").kind, Kind::kDrop);
  EXPECT_EQ(ReadBridgeMessage(R"({"key":"","callId":1,"method":"m"})", "").kind, Kind::kDrop);
  EXPECT_EQ(Read(R"({"origin":"https://evil.example"})").origin, "https://evil.example");
  for (const char* junk : {"", "[]", "null", "\"k\"", "{", R"({"key":"k")"}) {
    EXPECT_EQ(Read(junk).kind, Kind::kDrop) << junk;
  }

  // Call ids: whole numbers in [0, 2^53] only.
  for (const char* id : {"0", "2147483648", "9007199254740992", "1e3"}) {
    EXPECT_EQ(Read(Call(id, R"("m")", "[]")).kind, Kind::kCall) << id;
  }
  for (const char* id : {"1.5", "-1", "9007199254740994", "1e300", "\"1\"", "null", "NaN"}) {
    EXPECT_EQ(Read(Call(id, R"("m")", "[]")).kind, Kind::kDrop) << id;
  }
  EXPECT_EQ(Read(Call("1", "7", "[]")).kind, Kind::kDrop);
}

TEST(BridgeMessage, CallsTheRuntimeCannotTakeAreRejected) {
  for (const char* method : {R"("probe\u0000evil")", R"("x\ud800")", R"("\udc00")"}) {
    const BridgeMessage m = Read(Call("3", method, "[]"));
    EXPECT_EQ(m.kind, Kind::kReject) << method;
    EXPECT_EQ(m.callId, 3u);
    EXPECT_EQ(m.error, "The method name is not valid text");
  }
  EXPECT_EQ(Read(Call("3", R"("\ud83d\ude00")", "[]")).kind, Kind::kCall);
  // Arguments the reader cuts short are refused, not delivered as nulls.
  std::string deep(json::kMaxDepth, '[');
  deep += std::string(json::kMaxDepth, ']');
  const BridgeMessage tooDeep = Read(Call("4", R"("m")", "[" + deep + "]"));
  EXPECT_EQ(tooDeep.kind, Kind::kReject);
  EXPECT_NE(tooDeep.error.find("nested too deeply"), std::string::npos);
  // A lone surrogate argument arrives exactly as the reader stores it.
  EXPECT_EQ(Read(Call("5", R"("m")", R"(["\ud800"])")).args->AsList()[0]->GetString(),
            "\xED\xA0\x80");
}

}  // namespace

namespace {

// A POST body as the bridge frames it, read back in pieces of `step` bytes.
BridgeMessage ReadFramed(const std::string& text, const std::string& bytes, int64_t bodySize = -2,
                         size_t step = 7) {
  const std::string body = text + '\0' + bytes;
  size_t at = 0;
  return ReadBinaryCall(
      [&](uint8_t* dest, size_t capacity) -> int64_t {
        const size_t n = std::min({capacity, step, body.size() - at});
        std::memcpy(dest, body.data() + at, n);
        at += n;
        return static_cast<int64_t>(n);
      },
      bodySize == -2 ? static_cast<int64_t>(body.size()) : bodySize, "k");
}

std::string Framed(const std::string& args, const std::string& sizes) {
  return R"({"key":"k","callId":9,"method":"put","args":)" + args + R"(,"sizes":)" + sizes + "}";
}

}  // namespace

TEST(BridgeMessage, FramedCallsCarryTheirBytesExactly) {
  // Several buffers, nested, an empty one, read with and without the length.
  for (const int64_t size : {int64_t{-2}, int64_t{-1}}) {
    const BridgeMessage m = ReadFramed(
        Framed(R"([{"__buffer__":1},{"a":[{"__buffer__":0}]},{"__buffer__":2},"s"])", "[3,2,0]"),
        std::string("\x01\x00\xff", 3) + "hi", size);
    ASSERT_EQ(m.kind, Kind::kCall) << m.error;
    EXPECT_EQ(m.callId, 9u);
    EXPECT_EQ(json::Serialize(m.args), R"([{"__binary__":"aGk="},{"a":[{"__binary__":"AQD/"}]},)"
                                       R"({"__binary__":""},"s"])");
  }
  // Large bodies arrive whole when read in big pieces.
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 >> 3);
  const BridgeMessage large = ReadFramed(
      Framed(R"([{"__buffer__":0}])", "[" + std::to_string(big.size()) + "]"), big, -1, 1 << 20);
  ASSERT_EQ(large.kind, Kind::kCall);
  EXPECT_EQ(large.args->AsList()[0]->GetBinary().bytes,
            std::vector<uint8_t>(big.begin(), big.end()));
}

TEST(BridgeMessage, MalformedFramingNeverReachesTheRuntime) {
  // Without the key, or without the text's end: dropped.
  EXPECT_EQ(ReadFramed(R"({"key":"x","callId":1,"method":"m","args":[],"sizes":[]})", "").kind,
            Kind::kDrop);
  EXPECT_EQ(ReadFramed(R"({"callId":1,"method":"m","args":[],"sizes":[]})", "").kind, Kind::kDrop);
  size_t calls = 0;
  const auto endless = [&](uint8_t* dest, size_t capacity) -> int64_t {
    ++calls;
    std::memset(dest, 'x', capacity);
    return static_cast<int64_t>(capacity);
  };
  EXPECT_EQ(ReadBinaryCall(endless, -1, "k").kind, Kind::kDrop);
  EXPECT_EQ(calls, 1u) << "a body without the key is read no further";
  // Keyed but inconsistent: rejected, with the reason for the page.
  const struct {
    std::string args, sizes, bytes;
    int64_t bodySize;
  } bad[] = {
      {R"([{"__buffer__":1}])", "[1]", "a", -2},    // no such buffer
      {R"([{"__buffer__":0}])", "[2]", "a", -1},    // body ends early
      {R"([{"__buffer__":0}])", "[2]", "a", -2},    // length disagrees
      {R"([{"__buffer__":0}])", "[1]", "ab", -1},   // bytes left over
      {R"([{"__buffer__":0}])", "[1.5]", "a", -1},  // not a size
      {R"([{"__buffer__":-1}])", "[1]", "a", -1},   // not an index
      {R"([])", "[268435457]", "", -1},             // more than the bound
      {R"([])", R"("1")", "", -1},                  // not a list
  };
  for (const auto& b : bad) {
    const BridgeMessage m = ReadFramed(Framed(b.args, b.sizes), b.bytes, b.bodySize);
    EXPECT_EQ(m.kind, Kind::kReject) << b.args << " " << b.sizes;
    EXPECT_EQ(m.error, "The call's bytes are malformed");
    EXPECT_EQ(m.args, nullptr);
  }
  // A call without buffers needs no sizes beyond an empty list.
  EXPECT_EQ(ReadFramed(Framed(R"([1])", "[]"), "").kind, Kind::kCall);
}

TEST(BridgeBytes, LargeBinaryAnswersWaitOnceForTheirWindow) {
  using wexlor::Value;
  auto big = Value::Binary(nullptr, kBytesDownMin);
  auto answer = Value::Dict();
  answer->AsDict()["a"] = Value::List();
  answer->AsDict()["a"]->AsList().push_back(big);
  answer->AsDict()["b"] = Value::Binary("xy", 2);
  answer->AsDict()["c"] = Value::String("text");
  OutgoingBytes out;
  const auto split = SplitBinary(answer, &out);
  ASSERT_NE(split, nullptr);
  EXPECT_EQ(json::Serialize(split), R"({"a":[{"__buffer__":0}],"b":{"__buffer__":1},"c":"text"})");
  ASSERT_EQ(out.buffers.size(), 2u);
  EXPECT_EQ(out.buffers[0], big);  // shared, not copied
  EXPECT_EQ(out.total, kBytesDownMin + 2);
  EXPECT_EQ(answer->AsDict()["b"]->type, Value::Type::Binary) << "the runtime's value changed";
  // Fewer bytes keep Base64.
  EXPECT_EQ(SplitBinary(Value::Binary(nullptr, kBytesDownMin - 1), &out), nullptr);
  EXPECT_TRUE(out.buffers.empty());

  BytesStore& store = BytesStore::Get();
  const size_t before = store.Count();
  OutgoingBytes kept;
  kept.buffers = {big};
  const std::string url = store.Add(7, kept);
  EXPECT_TRUE(IsBridgeEndpoint(url));
  EXPECT_TRUE(IsBridgeEndpoint("APP://Wexlor-Bridge.invalid/call"));
  EXPECT_FALSE(IsBridgeEndpoint("app://wexlor-bridge.invalidx/"));
  EXPECT_FALSE(store.Take(8, url)) << "another window's";
  EXPECT_FALSE(store.Take(7, url + "0"));
  ASSERT_TRUE(store.Take(7, url));
  EXPECT_FALSE(store.Take(7, url)) << "served twice";
  store.Add(7, kept);
  store.Add(8, kept);
  store.DropWindow(7);
  EXPECT_EQ(store.Count(), before + 1);
  store.DropWindow(8);
  EXPECT_EQ(store.Count(), before);
}

TEST(BridgeMessage, LargeCallsComeUpInParts) {
  UploadParts uploads;
  const auto add = [&](uint32_t window, const std::string& head, const std::string& payload,
                       bool* more) {
    const std::string body = head + '\0' + payload;
    size_t at = 0;
    return uploads.Add(
        window,
        [&](uint8_t* dest, size_t capacity) -> int64_t {
          const size_t n = std::min(capacity, body.size() - at);
          std::memcpy(dest, body.data() + at, n);
          at += n;
          return static_cast<int64_t>(n);
        },
        static_cast<int64_t>(body.size()), "k", more);
  };
  const std::string call = Framed(R"([{"__buffer__":0}])", "[6]") + '\0' + "abcdef";
  const auto part = [](int id, bool last) {
    return R"({"key":"k","upload":)" + std::to_string(id) + R"(,"last":)" +
           (last ? "true" : "false") + "}";
  };
  bool more = false;
  // Three parts, with another window's upload in between.
  EXPECT_EQ(add(1, part(9, false), call.substr(0, 20), &more).kind, Kind::kDrop);
  EXPECT_TRUE(more);
  add(2, part(9, false), "junk", &more);
  EXPECT_TRUE(more);
  add(1, part(9, false), call.substr(20, call.size() - 23), &more);
  EXPECT_TRUE(more);
  // A part without the key is dropped and changes nothing.
  EXPECT_EQ(add(1, R"({"key":"x","upload":9,"last":true})", "zzz", &more).kind, Kind::kDrop);
  EXPECT_FALSE(more);
  const BridgeMessage whole = add(1, part(9, true), call.substr(call.size() - 3), &more);
  EXPECT_FALSE(more);
  ASSERT_EQ(whole.kind, Kind::kCall) << whole.error;
  EXPECT_EQ(json::Serialize(whole.args), R"([{"__binary__":"YWJjZGVm"}])");
  // A new upload replaces an unfinished one; a part naming another call
  // than its body is refused; a window's upload goes with its document.
  add(1, part(3, false), "stale", &more);
  EXPECT_EQ(add(1, part(4, true), call, &more).kind, Kind::kReject);
  add(1, part(9, false), call.substr(0, 5), &more);
  uploads.DropWindow(2);
  EXPECT_EQ(uploads.PendingBytes(), 5u);
  uploads.DropWindow(1);
  EXPECT_EQ(uploads.PendingBytes(), 0u);
  // An oversized part is refused with the call's id.
  const BridgeMessage big = add(1, part(5, true), std::string(kMaxUploadPart + 1, 'x'), &more);
  EXPECT_EQ(big.kind, Kind::kReject);
  EXPECT_EQ(big.callId, 5u);
}
