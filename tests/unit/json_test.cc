#include "value/json.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using wexlor::Value;

namespace {

std::shared_ptr<Value> ListOf(std::initializer_list<std::shared_ptr<Value>> items) {
  auto list = Value::List();
  for (const auto& i : items) list->AsList().push_back(i);
  return list;
}

std::string Ser(const std::shared_ptr<Value>& v) { return json::Serialize(v); }

// Parses `text` and reports where the cursor stopped.
std::shared_ptr<Value> ParseAt(const std::string& text, size_t* stop = nullptr) {
  const char* cursor = text.c_str();
  auto v = json::Parse(cursor);
  if (stop) *stop = static_cast<size_t>(cursor - text.c_str());
  return v;
}

}  // namespace

TEST(JsonSerialize, ScalarsAndContainers) {
  EXPECT_EQ(Ser(nullptr), "null");
  EXPECT_EQ(Ser(Value::Null()), "null");
  EXPECT_EQ(Ser(Value::Bool(false)), "false");
  EXPECT_EQ(Ser(Value::Int(-2147483648)), "-2147483648");
  EXPECT_EQ(Ser(Value::List()), "[]");
  EXPECT_EQ(Ser(Value::Dict()), "{}");
  EXPECT_EQ(Ser(ListOf({nullptr})), "[null]");
  EXPECT_EQ(Ser(ListOf({Value::Int(1), Value::String("a")})), "[1,\"a\"]");

  auto dict = Value::Dict();
  dict->AsDict()["b"] = Value::Int(1);
  dict->AsDict()["a"] = Value::Int(2);
  dict->AsDict()["B"] = Value::Int(3);
  dict->AsDict()["ab"] = Value::Int(4);
  EXPECT_EQ(Ser(dict), "{\"B\":3,\"a\":2,\"ab\":4,\"b\":1}");
  EXPECT_EQ(json::SerializeDict(dict->AsDict()), Ser(dict));
  EXPECT_EQ(json::SerializeList(ListOf({Value::Bool(true)})->AsList()), "[true]");
}

TEST(JsonSerialize, DoublesLikePrintf17g) {
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.10000000000000001"},     {3.0, "3"},   {1e16, "10000000000000000"},  {1e17, "1e+17"},
      {1e-5, "1.0000000000000001e-05"}, {-0.0, "-0"}, {2147483648.0, "2147483648"}, {1.5, "1.5"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(Ser(Value::Double(d)), text) << d;

  // No JSON form: written as null.
  EXPECT_EQ(Ser(Value::Double(std::nan(""))), "null");
  EXPECT_EQ(Ser(ListOf({Value::Double(INFINITY), Value::Double(-INFINITY)})), "[null,null]");
}

TEST(JsonSerialize, DoublesIgnoreTheUserLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(Ser(Value::Double(1.5)), "1.5");
  auto v = json::ParseText("2.5");
  EXPECT_EQ(std::get<double>(v->data), 2.5);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(JsonSerialize, EscapesAndMarkers) {
  EXPECT_EQ(Ser(Value::String("\t\x01\"")), "\"\\t\\u0001\\\"\"");
  EXPECT_EQ(json::Escape("\x1b\x0b/\\\x7f\xc3\xa9"), "\\u001b\\u000b/\\\\\x7f\xc3\xa9");
  EXPECT_EQ(json::Escape(std::string("\b\f\n\r\0", 5)), "\\b\\f\\n\\r\\u0000");

  EXPECT_EQ(Ser(Value::Binary("abc", 3)), "{\"__binary__\":\"YWJj\"}");
  EXPECT_EQ(Ser(Value::Binary("\x00\xff", 2)), "{\"__binary__\":\"AP8=\"}");
  EXPECT_EQ(Ser(Value::Binary("a", 1)), "{\"__binary__\":\"YQ==\"}");
  EXPECT_EQ(Ser(Value::Binary(nullptr, 0)), "{\"__binary__\":\"\"}");
  EXPECT_EQ(Ser(Value::Callback(18446744073709551615ull)),
            "{\"__callback__\":\"18446744073709551615\"}");
}

TEST(JsonSerialize, DepthIsBounded) {
  // A list that contains itself is written once, the inner reference as null.
  auto cyclic = Value::List();
  cyclic->AsList().push_back(cyclic);
  EXPECT_EQ(Ser(cyclic), "[null]");
  cyclic->AsList().clear();  // break the cycle so the value is freed

  // Exactly kMaxDepth levels survive a round trip.
  std::string deep(json::kMaxDepth, '[');
  deep += std::string(json::kMaxDepth, ']');
  EXPECT_EQ(Ser(json::ParseText(deep)), deep);
}

TEST(JsonParse, Scalars) {
  size_t stop = 0;
  EXPECT_EQ(ParseAt("", &stop)->type, Value::Type::Null);
  EXPECT_EQ(ParseAt(" \t\r\n")->type, Value::Type::Null);
  EXPECT_EQ(ParseAt("\f1")->type, Value::Type::Null);  // form feed is no whitespace

  EXPECT_EQ(ParseAt("tru", &stop)->type, Value::Type::Null);
  EXPECT_EQ(stop, 0u);
  auto t = ParseAt("truex", &stop);
  EXPECT_TRUE(std::get<bool>(t->data));
  EXPECT_EQ(stop, 4u);
  EXPECT_EQ(ParseAt("nullx", &stop)->type, Value::Type::Null);
  EXPECT_EQ(stop, 4u);
  EXPECT_EQ(ParseAt("+1", &stop)->type, Value::Type::Null);
  EXPECT_EQ(stop, 0u);
}

TEST(JsonParse, Numbers) {
  struct Case {
    const char* text;
    Value::Type type;
    double value;
    size_t stop;
  };
  const Case cases[] = {
      {"5", Value::Type::Int, 5, 1},
      {"5.0", Value::Type::Double, 5, 3},
      {"5e0", Value::Type::Double, 5, 3},
      {"1e3", Value::Type::Double, 1000, 3},
      {"100000", Value::Type::Int, 100000, 6},
      {"-0", Value::Type::Int, 0, 2},
      {"-", Value::Type::Int, 0, 0},
      {"2147483647", Value::Type::Int, 2147483647, 10},
      {"2147483648", Value::Type::Double, 2147483648.0, 10},
      {"-2147483648", Value::Type::Int, -2147483648.0, 11},
      {"-2147483649", Value::Type::Double, -2147483649.0, 11},
      {"12345678901234567890", Value::Type::Double, 12345678901234567890.0, 20},
      {"0000000000000000000007", Value::Type::Int, 7, 22},
      {"1.5e-3,", Value::Type::Double, 0.0015, 6},
      {"1e", Value::Type::Int, 1, 1},
      {"1.", Value::Type::Double, 1, 2},
      {"0x1A", Value::Type::Int, 26, 4},
      {"0x1E", Value::Type::Double, 30, 4},  // the consumed text holds an E
      {"1e999", Value::Type::Double, INFINITY, 5},
  };
  for (const auto& c : cases) {
    size_t stop = 99;
    auto v = ParseAt(c.text, &stop);
    ASSERT_EQ(v->type, c.type) << c.text;
    double got =
        v->type == Value::Type::Int ? std::get<int32_t>(v->data) : std::get<double>(v->data);
    EXPECT_EQ(got, c.value) << c.text;
    EXPECT_EQ(stop, c.stop) << c.text;
  }
  auto nan = ParseAt("-nan");
  ASSERT_EQ(nan->type, Value::Type::Double);
  EXPECT_TRUE(std::isnan(std::get<double>(nan->data)));
}

TEST(JsonParse, Strings) {
  EXPECT_EQ(json::ParseText("\"\\u00e9\\u20AC\\/\\q\"")->GetString(), "\xc3\xa9\xe2\x82\xac/q");
  // An escaped surrogate pair is one character; lone halves stay as they are.
  EXPECT_EQ(json::ParseText("\"\\ud83d\\ude00\"")->GetString(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(json::ParseText("\"\\uDBFF\\uDFFFx\"")->GetString(), "\xf4\x8f\xbf\xbfx");
  EXPECT_EQ(json::ParseText("\"\\ud83dx\\ude00\"")->GetString(), "\xed\xa0\xbdx\xed\xb8\x80");
  EXPECT_EQ(json::ParseText("\"\\ud83d\\u0041\"")->GetString(),
            "\xed\xa0\xbd"
            "A");
  EXPECT_EQ(json::ParseText("\"\\ud83d\\ude")->GetString(),
            "\xed\xa0\xbd"
            "de");
  EXPECT_EQ(json::ParseText("\"\\u0000x\"")->GetString(), std::string("\0x", 2));
  EXPECT_EQ(json::ParseText("\"\\b\\f\\n\\r\\t\\\"\\\\\"")->GetString(), "\b\f\n\r\t\"\\");
  EXPECT_EQ(json::ParseText("\"\\u12G4\"")->GetString(), "\x12");  // strtol stops at G
  EXPECT_EQ(json::ParseText("\"\xff\x01raw\"")->GetString(), "\xff\x01raw");

  // Unterminated forms end at the end of the text.
  size_t stop = 0;
  EXPECT_EQ(ParseAt("\"abc", &stop)->GetString(), "abc");
  EXPECT_EQ(stop, 4u);
  EXPECT_EQ(json::ParseText("\"ab\\")->GetString(), "ab\\");
  EXPECT_EQ(json::ParseText("\"ab\\u12")->GetString(), "ab12");
}

TEST(JsonParse, ArraysAreLenient) {
  EXPECT_EQ(Ser(json::ParseText("[1 2]")), "[1,2]");
  EXPECT_EQ(Ser(json::ParseText("[1,,2]")), "[1,null,2]");
  EXPECT_EQ(Ser(json::ParseText("[,1]")), "[null,1]");
  EXPECT_EQ(Ser(json::ParseText("[1,]")), "[1]");
  EXPECT_EQ(Ser(json::ParseText("[1,[2")), "[1,[2]]");
  EXPECT_EQ(Ser(json::ParseText(" [ 1 , \"a\" ] ")), "[1,\"a\"]");
}

TEST(JsonParse, ObjectsAreLenient) {
  EXPECT_EQ(Ser(json::ParseText("{\"a\":1,\"a\":2}")), "{\"a\":2}");
  EXPECT_EQ(Ser(json::ParseText("{\"a\" 1 \"b\":2}")), "{\"a\":1,\"b\":2}");
  EXPECT_EQ(Ser(json::ParseText("{\"a\":1, b:2}")), "{\"a\":1}");
  EXPECT_EQ(Ser(json::ParseText("{\"a\":")), "{\"a\":null}");
  // Keys out of order are sorted and the last of a repeated key wins, at
  // every level, with nested objects read in between.
  EXPECT_EQ(Ser(json::ParseText("{\"b\":1,\"a\":2,\"b\":3,\"c\":{\"z\":1,\"y\":2,\"z\":3},"
                                "\"a\":[{\"q\":1,\"p\":2}],\"\xC3\xA9\":0,\"\":9}")),
            "{\"\":9,\"a\":[{\"p\":2,\"q\":1}],\"b\":3,\"c\":{\"y\":2,\"z\":3},\"\xC3\xA9\":0}");
}

TEST(JsonParse, MalformedTextAlwaysEnds) {
  // Each of these once stalled a naive reader; all must end, keeping what
  // came before the stray byte.
  size_t stop = 0;
  EXPECT_EQ(Ser(ParseAt("[1 x]", &stop)), "[1]");
  EXPECT_EQ(stop, 3u);
  EXPECT_EQ(Ser(json::ParseText("{\"a\":1 b}")), "{\"a\":1}");
  EXPECT_EQ(Ser(json::ParseText("[{\"a\":1 b}, 2]")), "[{\"a\":1}]");
  EXPECT_EQ(Ser(json::ParseText("[1,\x01,2]")), "[1]");
  EXPECT_EQ(Ser(json::ParseText("[}]")), "[]");
  EXPECT_EQ(Ser(json::ParseText("[[[:")), "[[[]]]");
}

TEST(JsonParse, DepthIsBounded) {
  // Far deeper than any stack could recurse: the too-deep part becomes null
  // and its text is still consumed.
  const int n = 1000000;
  std::string text = std::string(n, '[') + std::string(n, ']') + "x";
  size_t stop = 0;
  auto v = ParseAt(text, &stop);
  EXPECT_EQ(stop, text.size() - 1);
  int depth = 0;
  for (auto cur = v; cur && cur->type == Value::Type::List; ++depth) {
    cur = cur->AsList().empty() ? nullptr : cur->AsList()[0];
  }
  EXPECT_EQ(depth, json::kMaxDepth);

  std::string objects;
  for (int i = 0; i < 5000; ++i) objects += "{\"k\":";
  objects += "\"}]\\\"\"";  // brackets inside a skipped string do not count
  objects += std::string(5000, '}');
  objects = "[" + objects + ",7]";
  auto list = json::ParseText(objects);
  ASSERT_EQ(list->AsList().size(), 2u);
  EXPECT_EQ(std::get<int32_t>(list->AsList()[1]->data), 7);
}

TEST(JsonParse, Markers) {
  auto cb = json::ParseText("{\"__callback__\":\"7\"}");
  ASSERT_EQ(cb->type, Value::Type::Callback);
  EXPECT_EQ(std::get<uint64_t>(cb->data), 7u);
  EXPECT_EQ(std::get<uint64_t>(json::ParseText("{\"__callback__\":\" -1x\"}")->data),
            18446744073709551615ull);
  EXPECT_EQ(json::ParseText("{\"__callback__\":\"abc\"}")->type, Value::Type::Null);
  EXPECT_EQ(json::ParseText("{\"__callback__\":\"18446744073709551616\"}")->type,
            Value::Type::Null);
  EXPECT_EQ(json::ParseText("{\"__callback__\":7}")->type, Value::Type::Dict);
  // The callback marker wins over the binary one; other keys are dropped.
  EXPECT_EQ(json::ParseText("{\"__binary__\":\"YQ\",\"__callback__\":\"3\",\"x\":1}")->type,
            Value::Type::Callback);

  auto bytes = [](const char* text) { return json::ParseText(text)->GetBinary().bytes; };
  EXPECT_EQ(bytes("{\"__binary__\":\"YWJj\"}"), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(bytes("{\"__binary__\":\"YQ\"}"), (std::vector<uint8_t>{'a'}));
  EXPECT_EQ(json::ParseText("{\"__binary__\":\"Y\"}")->type, Value::Type::Binary);
  EXPECT_TRUE(bytes("{\"__binary__\":\"Y\"}").empty());
  EXPECT_EQ(bytes("{\"__binary__\":\"Y W\\nJ-j_\"}"), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(bytes("{\"__binary__\":\"YQ==YWJj\"}"), (std::vector<uint8_t>{'a'}));

  // Markers are recognised at any depth.
  auto nested = json::ParseText("[{\"a\":[{\"__callback__\":\"2\"}]}]");
  EXPECT_EQ(nested->AsList()[0]->AsDict()["a"]->AsList()[0]->type, Value::Type::Callback);
}

TEST(JsonRoundTrip, TextReadsBackAsEqualValue) {
  // Every ASCII byte, multi-byte characters and a lone surrogate as the
  // reader stores it (three bytes).
  std::string all;
  for (int c = 0; c < 128; ++c) all += static_cast<char>(c);
  all += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xBF\xBF\xED\xA0\x80";
  auto dict = Value::Dict();
  dict->AsDict()["s"] = Value::String(all);
  dict->AsDict()[all] = Value::Int(-1);
  dict->AsDict()["b"] = Value::Binary(all.data(), all.size());
  dict->AsDict()["c"] = Value::Callback(123);
  dict->AsDict()["l"] = ListOf({Value::Null(), Value::Bool(true), Value::Double(0.1),
                                Value::Double(-1e-300), Value::List(), Value::Dict()});
  auto back = json::ParseText(Ser(dict));
  EXPECT_TRUE(wexlor::Equal(dict, back)) << Ser(back);

  // Integral doubles come back as ints; marker-shaped dicts as markers.
  EXPECT_EQ(json::ParseText(Ser(Value::Double(3.0)))->type, Value::Type::Int);
  auto marker = Value::Dict();
  marker->AsDict()["__binary__"] = Value::String("YQ");
  EXPECT_EQ(json::ParseText(Ser(marker))->type, Value::Type::Binary);
}

// What the writer promises whatever the value: valid UTF-8, cycles cut, shared
// subtrees written in full, and a size bound that stops work early.
TEST(JsonSerialize, OutputIsAlwaysSafe) {
  // Invalid bytes become U+FFFD; stored surrogates go back as escapes.
  EXPECT_EQ(Ser(Value::String("bad \xff\xc0\x80!")),
            "\"bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!\"");
  EXPECT_EQ(Ser(Value::String("\xED\xA0\x80|\xED\xBF\xBF")), "\"\\ud800|\\udfff\"");
  EXPECT_EQ(Ser(Value::String("\xE2\x82")), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // cut short
  EXPECT_EQ(json::ParseText(Ser(json::ParseText("\"\\ud800x\"")))->GetString(), "\xED\xA0\x80x");

  // A list holding itself twice, and a dict holding itself, end quickly.
  auto twice = Value::List();
  twice->AsList() = {twice, twice};
  EXPECT_EQ(Ser(twice), "[null,null]");
  twice->AsList().clear();
  auto self = Value::Dict();
  self->AsDict()["me"] = self;
  EXPECT_EQ(Ser(self), "{\"me\":null}");
  self->AsDict().clear();

  // A shared subtree (not a cycle) is written wherever it appears.
  auto leaf = ListOf({Value::Int(1)});
  EXPECT_EQ(Ser(ListOf({leaf, leaf})), "[[1],[1]]");

  // Doubling sharing 40 levels deep describes 2^40 leaves: the bound stops it.
  auto level = Value::List();
  for (int i = 0; i < 40; ++i) level = ListOf({level, level});
  std::string out = "x";
  EXPECT_FALSE(json::SerializeBounded(level, 1 << 20, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(json::SerializeBounded(leaf, 3, &out));
  EXPECT_EQ(out, "[1]");
  EXPECT_FALSE(json::SerializeBounded(Value::String("abcd"), 5, &out));

  // The reader tells when it dropped a container for lying too deep.
  bool tooDeep = true;
  json::ParseText("[[1]]", &tooDeep);
  EXPECT_FALSE(tooDeep);
  json::ParseText(std::string(json::kMaxDepth + 1, '['), &tooDeep);
  EXPECT_TRUE(tooDeep);
}
