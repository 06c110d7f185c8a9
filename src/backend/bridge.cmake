# Page-side scripts and the builders that splice host text into them.
set(_wexlor_bridge_js ${CMAKE_CURRENT_LIST_DIR}/bridge/bridge.js)
set(_wexlor_link_policy_js ${CMAKE_CURRENT_LIST_DIR}/bridge/link_policy.js)

# bridge_scripts.cc splits the scripts at these markers, so each must occur
# exactly once (also not in comments). Editing a script re-runs this check.
function(wexlor_check_splice_markers file)
  file(READ ${file} text)
  string(LENGTH "${text}" full_length)
  foreach(marker IN LISTS ARGN)
    string(REPLACE "${marker}" "" stripped "${text}")
    string(LENGTH "${stripped}" stripped_length)
    string(LENGTH "${marker}" marker_length)
    math(EXPR count "(${full_length} - ${stripped_length}) / ${marker_length}")
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "${file}: marker ${marker} occurs ${count} times, expected once")
    endif()
  endforeach()
endfunction()

wexlor_check_splice_markers(${_wexlor_bridge_js} "/*@SEND@*/" "/*@NAMESPACE@*/" "/*@KEY@*/"
  "/*@TRUST@*/" "/*@BYTESMIN@*/")
wexlor_check_splice_markers(${_wexlor_link_policy_js} "/*@NAMESPACE@*/")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_wexlor_bridge_js} ${_wexlor_link_policy_js})

wexlor_embed_text(${CMAKE_CURRENT_BINARY_DIR}/bridge_script.cc
  kWexlorBridgeScriptSource ${_wexlor_bridge_js})
wexlor_embed_text(${CMAKE_CURRENT_BINARY_DIR}/link_policy_script.cc
  kWexlorLinkPolicyScriptSource ${_wexlor_link_policy_js})

target_sources(wexlor_core PRIVATE
  backend/bridge_scripts.cc
  ${CMAKE_CURRENT_BINARY_DIR}/bridge_script.cc
  ${CMAKE_CURRENT_BINARY_DIR}/link_policy_script.cc
)
