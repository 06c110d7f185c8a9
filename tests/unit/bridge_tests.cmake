# Bridge script builders, and the page-side scripts run in a real engine.
find_package(PkgConfig REQUIRED)
pkg_check_modules(JSC REQUIRED IMPORTED_TARGET javascriptcoregtk-4.1)
add_executable(wexlor_bridge_tests unit/bridge_scripts_test.cc unit/bridge_jsc_test.cc)
target_link_libraries(wexlor_bridge_tests PRIVATE wexlor_core GTest::gtest_main PkgConfig::JSC)
gtest_discover_tests(wexlor_bridge_tests DISCOVERY_TIMEOUT 30)
