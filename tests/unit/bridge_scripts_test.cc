#include "backend/bridge_scripts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(BridgeScripts, AnswerStatements) {
  EXPECT_EQ(BuildRespondScript(7, R"({"a":[1,2]})", "", false),
            R"(window.__wexlorRespond(7, {"a":[1,2]}, null);)");
  EXPECT_EQ(BuildRespondScript(7, "1", R"("boom")", true),
            R"(window.__wexlorRespond(7, null, "boom");)");
  EXPECT_EQ(BuildRespondScript(UINT64_MAX, "true", "", false),
            "window.__wexlorRespond(18446744073709551615, true, null);");
  EXPECT_EQ(BuildInvokeCallbackScript(2, R"(["x",{"__binary__":"YWJj"}])"),
            R"(window.__wexlorInvokeCallback(2, ["x",{"__binary__":"YWJj"}]);)");
  EXPECT_EQ(BuildReleaseCallbackScript(42), "window.__wexlorReleaseCallback(42);");
}

TEST(BridgeScripts, EmptyJsonStillGivesValidStatements) {
  EXPECT_EQ(BuildRespondScript(1, "", "", false), "window.__wexlorRespond(1, null, null);");
  EXPECT_EQ(BuildRespondScript(1, " ", "", true),
            R"(window.__wexlorRespond(1, null, "Unknown error");)");
  EXPECT_EQ(BuildInvokeCallbackScript(3, ""), "window.__wexlorInvokeCallback(3, []);");
}

TEST(BridgeScripts, InitScriptSplicesNamespaceAndSendStatement) {
  const std::string script = BuildInitScript("Wexlor", kBridgeSendStatement);
  EXPECT_EQ(Count(script, "window[\"Wexlor\"] = createWexlorProxy();"), 1u);
  EXPECT_EQ(Count(script, "var ns = \"Wexlor\";"), 1u);
  EXPECT_EQ(Count(script, kBridgeSendStatement), 1u);
  EXPECT_EQ(Count(script, "/*@"), 0u) << "a splice marker was left in the script";
  // The bridge (and so the send statement) comes before the link policy.
  EXPECT_LT(script.find(kBridgeSendStatement), script.find("window[\"Wexlor\"]"));
  EXPECT_LT(script.find("window.__wexlorReleaseCallback ="), script.find("var ns = "));

  const std::string custom = BuildInitScript("App", "send();");
  EXPECT_EQ(Count(custom, "window[\"App\"] = createWexlorProxy();"), 1u);
  EXPECT_EQ(Count(custom, "var ns = \"App\";"), 1u);
  EXPECT_EQ(Count(custom, "send();"), 1u);

  // The key and the trust rule; without a rule only "app" pages are trusted.
  EXPECT_EQ(Count(custom, R"(var trust = {"schemes":["app:"],"origins":[]};)"), 1u);
  const std::string keyed = BuildInitScript("W", kBridgeSendStatement,
                                            BridgeAccess{"k3y", R"({"schemes":[],"origins":[]})"});
  EXPECT_EQ(Count(keyed, R"(var key = own ? "k3y" : "";)"), 1u);
  EXPECT_EQ(Count(keyed, R"(var trust = {"schemes":[],"origins":[]};)"), 1u);
  EXPECT_EQ(Count(keyed, "/*@"), 0u);
}

TEST(BridgeScripts, AnswersFromValuesAreBounded) {
  using wexlor::Value;
  EXPECT_EQ(BuildRespondScript(4, Value::String("a\xff"), nullptr),
            "window.__wexlorRespond(4, \"a\xEF\xBF\xBD\", null);");
  EXPECT_EQ(BuildRespondScript(4, nullptr, Value::String("no")),
            R"(window.__wexlorRespond(4, null, "no");)");
  // An answer past the limit rejects the call instead.
  auto big = Value::String(std::string(kMaxBridgeJson, 'x'));
  EXPECT_EQ(BuildRespondScript(5, big, nullptr),
            std::string("window.__wexlorRespond(5, null, \"") + kAnswerTooLarge + "\");");
  EXPECT_EQ(BuildInvokeCallbackScript(6, big), "");
}

TEST(BridgeScripts, NamespaceIsEscapedIntoStringLiterals) {
  auto spliced = [](const std::string& ns) {
    const std::string script = BuildInitScript(ns, kBridgeSendStatement);
    const std::string prefix = "var ns = \"";
    size_t start = script.find(prefix) + prefix.size();
    return script.substr(start, script.find("\";\n", start) - start);
  };
  // Quotes, backslashes, newlines and U+2028 are also run in the engine tests.
  EXPECT_EQ(spliced("a\"b\\c\xE2\x80\xA9"), R"(a\"b\\c\u2029)");
  EXPECT_EQ(spliced(std::string("\n\r\t\b\f\x01\x1f\0", 8)), R"(\n\r\t\b\f\u0001\u001f\u0000)");
  // Other well-formed UTF-8 passes through.
  EXPECT_EQ(spliced("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // Malformed bytes (stray continuation, truncated, overlong, surrogate) never
  // reach the script.
  EXPECT_EQ(spliced("a\x80z"), R"(a\ufffdz)");
  EXPECT_EQ(spliced("a\xE2\x80"), R"(a\ufffd\ufffd)");
  EXPECT_EQ(spliced("\xC0\xAF"), R"(\ufffd\ufffd)");
  EXPECT_EQ(spliced("\xED\xA0\x80"), R"(\ufffd\ufffd\ufffd)");
}

}  // namespace
