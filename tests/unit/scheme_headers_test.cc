#include "backend/scheme_headers.h"

#include <gtest/gtest.h>

TEST(SchemeHeaders, FlattenLowersNamesOnly) {
  EXPECT_EQ(WexlorFlattenHeaders({{"Accept", "Text/HTML"}, {"X-Custom-Id", "7"}}),
            std::string("accept\0Text/HTML\0x-custom-id\0"
                        "7\0",
                        31));
  EXPECT_EQ(WexlorFlattenHeaders({}), "");
  EXPECT_EQ(WexlorFlattenHeaders({{"\xc3\x89", ""}}), std::string("\xc3\x89\0\0", 4));
}

TEST(SchemeHeaders, ParseIsLenientAtTheEnd) {
  const HeaderList one = {{"content-type", "text/html"}};
  const std::string block("content-type\0text/html\0", 23);
  EXPECT_EQ(WexlorParseFlatHeaders(block.data(), block.size()), one);
  EXPECT_EQ(WexlorParseFlatHeaders(block.data(), block.size() - 1), one);  // last NUL missing
  const std::string cut = block + "x-trailing";
  EXPECT_EQ(WexlorParseFlatHeaders(cut.data(), cut.size()), one);  // name without NUL dropped
  const std::string empties("\0\0A\0", 4);
  EXPECT_EQ(WexlorParseFlatHeaders(empties.data(), empties.size()),
            (HeaderList{{"", ""}, {"A", ""}}));
  EXPECT_TRUE(WexlorParseFlatHeaders(nullptr, 5).empty());
  EXPECT_TRUE(WexlorParseFlatHeaders("", 0).empty());

  const HeaderList pairs = {{"a", "1"}, {"a", "2"}, {"b", ""}};
  const std::string flat = WexlorFlattenHeaders(pairs);
  EXPECT_EQ(WexlorParseFlatHeaders(flat.data(), flat.size()), pairs);
}
