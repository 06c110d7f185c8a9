# Key and code naming for keyboard reports: toolkit-free, so it builds in the
# core-only configuration too.
add_executable(wexlor_key_names_tests unit/key_names_test.cc)
target_link_libraries(wexlor_key_names_tests PRIVATE wexlor_core GTest::gtest_main)
gtest_discover_tests(wexlor_key_names_tests DISCOVERY_TIMEOUT 30)
