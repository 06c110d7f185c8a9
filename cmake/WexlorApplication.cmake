# wexlor_add_application: one application on the host, laid out for
# installation and packaged as a .deb.
#
#   wexlor_add_application(<name>
#     RUNTIME <target or path>   the runtime library
#     APP_ID <id>                the desktop id, reverse-DNS (org.example.Hello)
#     NAME <text>                the name users see
#     VERSION <version>
#     ICON <png>                 one image; the hicolor sizes are made from it
#     [SUMMARY <text>] [DESCRIPTION <text>]
#     [CATEGORIES <Category;...>]  desktop menu categories (default Utility;)
#     [SCHEMES <scheme>...]      URL schemes the application opens (myapp://...)
#     [RESOURCES <file or directory>...]  copied beside the runtime library
#     [LICENSE <SPDX id>] [HOMEPAGE <url>] [DEVELOPER <name>]
#     [MAINTAINER <"Name <mail>">] [PACKAGE_NAME <Debian package name>]
#     [PACKAGE_IN_ALL])          build the .deb with "all" too
#
# Installed under a prefix (install component <name>; a plain "cmake
# --install" leaves it out):
#   bin/<name>                          → ../lib/<name>/<name>
#   lib/<name>/<name>                   the host under the application's name
#   lib/<name>/<name>.ini               its id, name and window icon
#   lib/<name>/libruntime.so            found beside the host, without flags
#   lib/<name>/libwexlor-gtk.so         the desktop shell
#   lib/<name>/icon.png, resources
#   share/applications/<id>.desktop     Exec=<name> %U, StartupWMClass=<id>
#   share/metainfo/<id>.metainfo.xml
#   share/icons/hicolor/<N>x<N>/apps/<id>.png
#
# Targets: <name>_files (in "all": icons, validation of the desktop entry and
# the metainfo when desktop-file-validate and appstreamcli are installed) and
# <name>_package (the .deb through CPack, with dpkg-shlibdeps; its path is the
# target's WEXLOR_DEB property).
include_guard(GLOBAL)

set(_WEXLOR_APPLICATION_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(_wexlor_xml_escape out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text for a quoted argument of a CMake script.
function(_wexlor_cmake_quote out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "$" "\\$" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(wexlor_add_application name)
  cmake_parse_arguments(PARSE_ARGV 1 APP "PACKAGE_IN_ALL"
    "RUNTIME;APP_ID;NAME;VERSION;ICON;SUMMARY;DESCRIPTION;CATEGORIES;LICENSE;HOMEPAGE;DEVELOPER;MAINTAINER;PACKAGE_NAME"
    "SCHEMES;RESOURCES")
  foreach(required RUNTIME APP_ID NAME VERSION ICON)
    if(NOT APP_${required})
      message(FATAL_ERROR "wexlor_add_application(${name}): ${required} is required")
    endif()
  endforeach()
  if(APP_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "wexlor_add_application(${name}): unknown arguments ${APP_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT name MATCHES "^[A-Za-z0-9][A-Za-z0-9._+-]*$")
    message(FATAL_ERROR "wexlor_add_application: \"${name}\" is not a usable command name")
  endif()
  # The rule g_application_id_is_valid applies, as far as a desktop file
  # name needs it.
  if(NOT APP_APP_ID MATCHES "^[A-Za-z_-][A-Za-z0-9_-]*(\\.[A-Za-z_-][A-Za-z0-9_-]*)+$")
    message(FATAL_ERROR "wexlor_add_application(${name}): APP_ID \"${APP_APP_ID}\" is not a reverse-DNS id")
  endif()
  foreach(text NAME SUMMARY DESCRIPTION)
    if(APP_${text} MATCHES "[\n\r]")
      message(FATAL_ERROR "wexlor_add_application(${name}): ${text} must be one line")
    endif()
  endforeach()
  foreach(scheme IN LISTS APP_SCHEMES)
    if(NOT scheme MATCHES "^[A-Za-z][A-Za-z0-9+.-]*$")
      message(FATAL_ERROR "wexlor_add_application(${name}): \"${scheme}\" is not a URL scheme")
    endif()
  endforeach()
  if(NOT APP_SUMMARY)
    set(APP_SUMMARY "${APP_NAME}")
  endif()
  if(NOT APP_DESCRIPTION)
    set(APP_DESCRIPTION "${APP_SUMMARY}.")
  endif()
  if(NOT APP_CATEGORIES)
    set(APP_CATEGORIES "Utility;")
  endif()
  if(NOT APP_LICENSE)
    set(APP_LICENSE "LicenseRef-proprietary")
  endif()
  if(NOT APP_DEVELOPER)
    set(APP_DEVELOPER "${APP_NAME}")
  endif()
  if(NOT APP_MAINTAINER)
    set(APP_MAINTAINER "${APP_DEVELOPER} <nobody@localhost>")
  endif()
  if(NOT APP_PACKAGE_NAME)
    string(TOLOWER "${name}" APP_PACKAGE_NAME)
    string(REGEX REPLACE "[^a-z0-9+.-]" "-" APP_PACKAGE_NAME "${APP_PACKAGE_NAME}")
  endif()
  get_filename_component(icon "${APP_ICON}" ABSOLUTE)
  set(id "${APP_APP_ID}")
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${name}-app")
  set(libdir "lib/${name}")
  set(component "${name}")

  # The files made at configure time.
  set(mime "")
  foreach(scheme IN LISTS APP_SCHEMES)
    string(APPEND mime "x-scheme-handler/${scheme};")
  endforeach()
  set(desktop "[Desktop Entry]\nType=Application\nName=${APP_NAME}\nComment=${APP_SUMMARY}\n")
  string(APPEND desktop "Exec=${name} %U\nIcon=${id}\nTerminal=false\n")
  string(APPEND desktop "Categories=${APP_CATEGORIES}\nStartupWMClass=${id}\nStartupNotify=true\n")
  if(mime)
    string(APPEND desktop "MimeType=${mime}\n")
  endif()
  file(CONFIGURE OUTPUT "${dir}/${id}.desktop" CONTENT "${desktop}" @ONLY)
  file(CONFIGURE OUTPUT "${dir}/${name}.ini"
    CONTENT "[Application]\nId=${id}\nName=${APP_NAME}\nIcon=icon.png\n" @ONLY)
  _wexlor_xml_escape(x_name "${APP_NAME}")
  _wexlor_xml_escape(x_summary "${APP_SUMMARY}")
  _wexlor_xml_escape(x_description "${APP_DESCRIPTION}")
  _wexlor_xml_escape(x_developer "${APP_DEVELOPER}")
  string(TIMESTAMP today "%Y-%m-%d" UTC)
  set(metainfo "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")
  string(APPEND metainfo "<component type=\"desktop-application\">\n  <id>${id}</id>\n")
  string(APPEND metainfo "  <metadata_license>CC0-1.0</metadata_license>\n")
  string(APPEND metainfo "  <project_license>${APP_LICENSE}</project_license>\n")
  string(APPEND metainfo "  <name>${x_name}</name>\n  <summary>${x_summary}</summary>\n")
  string(APPEND metainfo "  <description>\n    <p>${x_description}</p>\n  </description>\n")
  string(APPEND metainfo "  <developer_name>${x_developer}</developer_name>\n")
  string(APPEND metainfo "  <launchable type=\"desktop-id\">${id}.desktop</launchable>\n")
  if(APP_HOMEPAGE)
    _wexlor_xml_escape(x_homepage "${APP_HOMEPAGE}")
    string(APPEND metainfo "  <url type=\"homepage\">${x_homepage}</url>\n")
  endif()
  string(APPEND metainfo "  <provides>\n    <binary>${name}</binary>\n")
  foreach(scheme IN LISTS APP_SCHEMES)
    string(APPEND metainfo "    <mediatype>x-scheme-handler/${scheme}</mediatype>\n")
  endforeach()
  string(APPEND metainfo "  </provides>\n  <content_rating type=\"oars-1.1\"/>\n")
  string(APPEND metainfo "  <releases>\n    <release version=\"${APP_VERSION}\" date=\"${today}\"/>\n")
  string(APPEND metainfo "  </releases>\n</component>\n")
  # Rewritten only when the text changes, so the date alone rebuilds nothing.
  set(metainfo_file "${dir}/${id}.metainfo.xml")
  if(EXISTS "${metainfo_file}")
    file(READ "${metainfo_file}" old)
    string(REGEX REPLACE "date=\"[0-9-]+\"" "" old_undated "${old}")
    string(REGEX REPLACE "date=\"[0-9-]+\"" "" new_undated "${metainfo}")
    if(old_undated STREQUAL new_undated)
      set(metainfo "${old}")
    endif()
  endif()
  file(CONFIGURE OUTPUT "${metainfo_file}" CONTENT "${metainfo}" @ONLY)
  file(MAKE_DIRECTORY "${dir}/bin")
  file(CREATE_LINK "../${libdir}/${name}" "${dir}/bin/${name}" SYMBOLIC)

  # Built: the icons, and the checks of the desktop entry and the metainfo.
  set(icons "${dir}/hicolor")
  set(stamps "${icons}/${id}.sizes")
  add_custom_command(OUTPUT "${icons}/${id}.sizes"
    COMMAND Wexlor::icons "${icon}" "${icons}" "${id}"
    DEPENDS "${icon}" "$<TARGET_FILE:Wexlor::icons>"
    COMMENT "Making the icons of ${name}"
    VERBATIM)
  find_program(WEXLOR_DESKTOP_FILE_VALIDATE desktop-file-validate)
  find_program(WEXLOR_APPSTREAMCLI appstreamcli)
  if(WEXLOR_DESKTOP_FILE_VALIDATE)
    add_custom_command(OUTPUT "${dir}/desktop.checked"
      COMMAND "${WEXLOR_DESKTOP_FILE_VALIDATE}" "${dir}/${id}.desktop"
      COMMAND "${CMAKE_COMMAND}" -E touch "${dir}/desktop.checked"
      DEPENDS "${dir}/${id}.desktop"
      COMMENT "Checking ${id}.desktop"
      VERBATIM)
    list(APPEND stamps "${dir}/desktop.checked")
  endif()
  if(WEXLOR_APPSTREAMCLI)
    add_custom_command(OUTPUT "${dir}/metainfo.checked"
      COMMAND "${WEXLOR_APPSTREAMCLI}" validate --no-net --no-color "${metainfo_file}"
      COMMAND "${CMAKE_COMMAND}" -E touch "${dir}/metainfo.checked"
      DEPENDS "${metainfo_file}"
      COMMENT "Checking ${id}.metainfo.xml"
      VERBATIM)
    list(APPEND stamps "${dir}/metainfo.checked")
  endif()
  add_custom_target(${name}_files ALL DEPENDS ${stamps})

  # The layout.
  if(TARGET ${APP_RUNTIME})
    set(runtime "$<TARGET_FILE:${APP_RUNTIME}>")
  else()
    get_filename_component(runtime "${APP_RUNTIME}" ABSOLUTE)
  endif()
  install(PROGRAMS "$<TARGET_FILE:Wexlor::host>" DESTINATION "${libdir}" RENAME "${name}"
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(PROGRAMS "$<TARGET_FILE:Wexlor::shell>" DESTINATION "${libdir}"
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(PROGRAMS "${runtime}" DESTINATION "${libdir}" RENAME libruntime.so
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES "${dir}/${name}.ini" DESTINATION "${libdir}" COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES "${icon}" DESTINATION "${libdir}" RENAME icon.png
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  foreach(resource IN LISTS APP_RESOURCES)
    get_filename_component(resource "${resource}" ABSOLUTE)
    if(IS_DIRECTORY "${resource}")
      install(DIRECTORY "${resource}" DESTINATION "${libdir}" COMPONENT ${component} EXCLUDE_FROM_ALL)
    else()
      install(FILES "${resource}" DESTINATION "${libdir}" COMPONENT ${component} EXCLUDE_FROM_ALL)
    endif()
  endforeach()
  # Debug information stays out of packages (CPack strips).
  if(CMAKE_STRIP)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        foreach(f \"${name}\" libwexlor-gtk.so libruntime.so)
          execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${libdir}/\${f}\")
        endforeach()
      endif()" COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
  install(FILES "${dir}/bin/${name}" DESTINATION bin COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES "${dir}/${id}.desktop" DESTINATION share/applications
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES "${metainfo_file}" DESTINATION share/metainfo COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(DIRECTORY "${icons}/" DESTINATION share/icons/hicolor
    COMPONENT ${component} EXCLUDE_FROM_ALL FILES_MATCHING PATTERN "*.png")

  # The package.
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT arch)
    set(arch "${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(package_dir "${CMAKE_CURRENT_BINARY_DIR}/${name}-package")
  set(package_file "${APP_PACKAGE_NAME}_${APP_VERSION}_${arch}")
  set(deb "${package_dir}/${package_file}.deb")
  set(stage "${package_dir}/stage")
  set(WEXLOR_APP_STAGE "${stage}")
  set(WEXLOR_APP_PACKAGE_NAME "${APP_PACKAGE_NAME}")
  set(WEXLOR_APP_VERSION "${APP_VERSION}")
  _wexlor_cmake_quote(WEXLOR_APP_SUMMARY "${APP_SUMMARY}")
  _wexlor_cmake_quote(WEXLOR_APP_DESCRIPTION "${APP_DESCRIPTION}")
  _wexlor_cmake_quote(WEXLOR_APP_MAINTAINER "${APP_MAINTAINER}")
  _wexlor_cmake_quote(WEXLOR_APP_HOMEPAGE "${APP_HOMEPAGE}")
  set(WEXLOR_APP_ARCH "${arch}")
  set(WEXLOR_APP_PACKAGE_DIR "${package_dir}")
  set(WEXLOR_APP_PACKAGE_FILE "${package_file}")
  configure_file("${_WEXLOR_APPLICATION_DIR}/WexlorApplicationPackage.cmake.in"
    "${dir}/CPackConfig.cmake" @ONLY)
  set(resource_files)
  foreach(resource IN LISTS APP_RESOURCES)
    get_filename_component(resource "${resource}" ABSOLUTE)
    if(IS_DIRECTORY "${resource}")
      file(GLOB_RECURSE found CONFIGURE_DEPENDS "${resource}/*")
      list(APPEND resource_files ${found})
    else()
      list(APPEND resource_files "${resource}")
    endif()
  endforeach()
  add_custom_command(OUTPUT "${deb}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${stage}"
    COMMAND "${CMAKE_COMMAND}" --install "${CMAKE_BINARY_DIR}" --component "${component}"
            --prefix "${stage}" --strip
    COMMAND "${CMAKE_CPACK_COMMAND}" --config "${dir}/CPackConfig.cmake"
    DEPENDS "$<TARGET_FILE:Wexlor::host>" "$<TARGET_FILE:Wexlor::shell>" "${runtime}" ${stamps} "${dir}/${name}.ini"
            "${dir}/${id}.desktop" "${metainfo_file}" "${icon}" ${resource_files}
            "${dir}/CPackConfig.cmake" "${CMAKE_CURRENT_BINARY_DIR}/cmake_install.cmake"
    COMMENT "Packaging ${name} as ${package_file}.deb"
    VERBATIM)
  if(APP_PACKAGE_IN_ALL)
    add_custom_target(${name}_package ALL DEPENDS "${deb}")
  else()
    add_custom_target(${name}_package DEPENDS "${deb}")
  endif()
  set_target_properties(${name}_package PROPERTIES WEXLOR_DEB "${deb}")
endfunction()
