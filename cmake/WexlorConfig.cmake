# find_package(Wexlor): the installed host.
#   Wexlor::wexlor  the runtime interface (include directory); link a runtime
#                   library against it
#   Wexlor::host    the host executable, Wexlor::shell its desktop shell module
#   wexlor_add_application(...)  one application's layout and package (see
#                   WexlorApplication.cmake)
# Every path is found from this file's place, so the installed tree may move.
get_filename_component(_wexlor_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET Wexlor::wexlor)
  add_library(Wexlor::wexlor INTERFACE IMPORTED)
  set_target_properties(Wexlor::wexlor PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_wexlor_prefix}/include")
  add_executable(Wexlor::host IMPORTED)
  set_target_properties(Wexlor::host PROPERTIES IMPORTED_LOCATION "${_wexlor_prefix}/bin/wexlor")
  add_library(Wexlor::shell MODULE IMPORTED)
  set_target_properties(Wexlor::shell PROPERTIES
    IMPORTED_LOCATION "${_wexlor_prefix}/lib/wexlor/libwexlor-gtk.so")
  add_executable(Wexlor::icons IMPORTED)
  set_target_properties(Wexlor::icons PROPERTIES
    IMPORTED_LOCATION "${_wexlor_prefix}/lib/wexlor/wexlor-icons")
endif()
unset(_wexlor_prefix)
include("${CMAKE_CURRENT_LIST_DIR}/WexlorApplication.cmake")
