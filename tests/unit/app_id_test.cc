#include "common/gtk/app_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>

TEST(ApplicationId, OnlyValidIdsCount) {
  unsetenv("WEXLOR_APP_ID");
  EXPECT_EQ(wexlor_common::ApplicationIdGtk(), "");
  setenv("WEXLOR_APP_ID", "org.example.Hello", 1);
  EXPECT_EQ(wexlor_common::ApplicationIdGtk(), "org.example.Hello");
  for (const char* invalid : {"", "hello", "org..example", "org.example.", "1org.example",
                              "org.exa mple", "org.ex/ample"}) {
    setenv("WEXLOR_APP_ID", invalid, 1);
    EXPECT_EQ(wexlor_common::ApplicationIdGtk(), "") << invalid;
  }
  unsetenv("WEXLOR_APP_ID");
}
