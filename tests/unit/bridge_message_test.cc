#include "backend/bridge_message.h"

#include <gtest/gtest.h>

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
