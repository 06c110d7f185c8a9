// ExecuteJs: what script results look like to the runtime.
#include "harness.h"

namespace gui {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class GuiScript : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite();
    if (!host_) return;
    window_ = host_->CreateWindow();
    if (!host_->LoadHtml(window_, "<p id='p'>text</p>")) window_ = 0;
  }
  static void TearDownTestSuite() { StopSuite(); }

  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_NE(window_, 0u);
  }

  // Result and error in the runtime's typed text; checks the thread too.
  void ExpectResult(const std::string& script, const std::string& result,
                    const std::string& error = "none") {
    const EvalResult r = host().Eval(window_, script);
    EXPECT_EQ(r.result, result) << script;
    EXPECT_EQ(r.error, error) << script;
    EXPECT_TRUE(r.onMain) << script;
  }

  static uint32_t window_;
};

uint32_t GuiScript::window_ = 0;

TEST_F(GuiScript, NumbersKeepTheirKind) {
  ExpectResult("1 + 2", "3");
  ExpectResult("-7", "-7");
  ExpectResult("6 / 3", "2");  // integral values are ints
  ExpectResult("1.5", "1.5");
  ExpectResult("-0.25", "-0.25");
  ExpectResult("NaN", "NaN");
  ExpectResult("Infinity", "Infinity");
  ExpectResult("-1 / 0", "-Infinity");
}

TEST_F(GuiScript, StringsAndBooleans) {
  ExpectResult("document.getElementById('p').textContent", "\"text\"");
  ExpectResult("'h\\u00e9llo \"w\"\\n'", "\"h\u00e9llo \\\"w\\\"\\n\"");
  ExpectResult("''", "\"\"");
  ExpectResult("true", "true");
  ExpectResult("1 > 2", "false");
}

TEST_F(GuiScript, UndefinedAndNullGiveNothing) {
  ExpectResult("undefined", "none");
  ExpectResult("null", "none");
  ExpectResult("void document.title", "none");
  ExpectResult("var declared = 1", "none");
}

TEST_F(GuiScript, ObjectsAndArraysComeThroughJson) {
  ExpectResult("[1, 2.5, 'a', null, true, []]", "[1,2.5,\"a\",null,true,[]]");
  ExpectResult("({b: {c: [1]}, a: 'x'})", "{\"a\":\"x\",\"b\":{\"c\":[1]}}");
  ExpectResult("({__binary__: 'YWJj'})", "bin:616263");
  ExpectResult("({data: [{__binary__: 'AAEC'}]})", "{\"data\":[bin:000102]}");
  ExpectResult("({__callback__: '7'})", "cb:7");
}

TEST_F(GuiScript, ThrownErrorsBecomeErrorText) {
  const EvalResult thrown = host().Eval(window_, "throw new Error('bad thing')");
  EXPECT_EQ(thrown.result, "none");
  EXPECT_THAT(thrown.error, StartsWith("\""));
  EXPECT_THAT(thrown.error, HasSubstr("bad thing"));

  const EvalResult syntax = host().Eval(window_, "1 +");
  EXPECT_EQ(syntax.result, "none");
  EXPECT_THAT(syntax.error, StartsWith("\""));

  const EvalResult missing = host().Eval(window_, "notDefinedAnywhere.x");
  EXPECT_EQ(missing.result, "none");
  EXPECT_THAT(missing.error, HasSubstr("notDefinedAnywhere"));
  // The page is unharmed.
  ExpectResult("2 * 21", "42");
}

TEST_F(GuiScript, ClosedOrUnknownWindowGivesNothing) {
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w, "<p>short-lived</p>"));
  host().Close(w);
  for (uint32_t window : {w, 0u, 4242u}) {
    const EvalResult r = host().Eval(window, "1");
    EXPECT_EQ(r.result, "none") << window;
    EXPECT_EQ(r.error, "none") << window;
    EXPECT_TRUE(r.onMain) << window;
  }
}

TEST_F(GuiScript, WindowClosedMidEvaluationStillAnswersOnce) {
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w, "<p>busy</p>"));
  // The script is still running in the page when the window goes away.
  const std::string seq = host().SendCommand(
      {"eval", std::to_string(w), "var t = Date.now(); while (Date.now() < t + 500) {} 5"});
  host().SendCommand({"close", std::to_string(w)});
  const Tokens reply = host().Reply(seq);
  ASSERT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply[0], "none");
  EXPECT_EQ(reply[1], "none");  // like a window that was already gone
  EXPECT_EQ(reply[2], "main");
  // A second answer would be reported when the suite ends.
}

TEST_F(GuiScript, WorksFromTheMainThreadToo) {
  EXPECT_EQ(host().Command({"ui", "eval", std::to_string(window_), "40 + 2"}),
            (Tokens{"42", "none", "main"}));
}

TEST_F(GuiScript, ManyRequestsEachGetTheirOwnAnswer) {
  std::vector<std::string> seqs;
  for (int i = 0; i < 20; ++i) {
    seqs.push_back(
        host().SendCommand({"eval", std::to_string(window_), std::to_string(i) + " * 3"}));
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(host().Reply(seqs[i]), (Tokens{std::to_string(i * 3), "none", "main"}));
  }
}

}  // namespace
}  // namespace gui
