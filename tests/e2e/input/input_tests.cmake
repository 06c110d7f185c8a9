# Input reports end to end: the host under a private X server, real XTest
# input through xdotool, and a runtime that logs every handler call.
if(NOT TARGET wexlor)
  return()
endif()

find_package(Threads REQUIRED)

add_library(wexlor_input_test_runtime MODULE e2e/input/input_runtime.c)
target_include_directories(wexlor_input_test_runtime PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(wexlor_input_test_runtime PRIVATE Threads::Threads)

add_executable(wexlor_input_tests e2e/input/input_test.cc)
target_link_libraries(wexlor_input_tests PRIVATE GTest::gtest_main)
target_compile_definitions(wexlor_input_tests PRIVATE
  "WEXLOR_INPUT_HOST=\"$<TARGET_FILE:wexlor>\""
  "WEXLOR_INPUT_RUNTIME=\"$<TARGET_FILE:wexlor_input_test_runtime>\"")
# The host and the runtime are run, not linked, so they must be built first.
add_dependencies(wexlor_input_tests wexlor wexlor_input_test_runtime)
# One X server and one host serve the whole suite.
add_test(NAME GuiInput COMMAND wexlor_input_tests)
set_tests_properties(GuiInput PROPERTIES TIMEOUT 240 LABELS gui)
