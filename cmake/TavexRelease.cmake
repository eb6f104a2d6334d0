# What a user downloads: the files scripts/package puts into an archive, one version for all
# of them, and what the archive's notices need to know about each.
#  - The project's version is the one version: tavex-cli --version, the own plug-in's
#    description and, on Windows, a version resource in every shipped file (Version.rc.in).
#  - Every shipped file is linked with a link map (release/linkmaps/<file>.map), from which
#    scripts/notices learns which libraries went into it; release/release.json names the
#    shipped files, the DLLs that go beside them and the libraries loaded at run time.
#  - Windows files carry no link time in their headers, so the same sources give the same
#    bytes (the archives are compared byte for byte).
# Included before the programs; tavex_release_manifest() runs once they all exist.
set(TAVEX_COMPANY "The Tavex developers")
set(TAVEX_COPYRIGHT "© 2026 The Tavex developers")
set(TAVEX_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
file(MAKE_DIRECTORY ${TAVEX_RELEASE_DIR}/linkmaps ${TAVEX_RELEASE_DIR}/rc)
if(WIN32)
  add_link_options(LINKER:--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(TAVEX_RELEASE_PLATFORM win64)
  else()
    set(TAVEX_RELEASE_PLATFORM win32)
  endif()
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" TAVEX_RELEASE_PLATFORM)
endif()

# tavex_version_rc(<var> <file name> <description> APP|DLL [resource lines...]): writes the
# version resource of one shipped file and sets <var> to its path.
function(tavex_version_rc var file_name description kind)
  set(TAVEX_RC_FILE_NAME "${file_name}")
  set(TAVEX_RC_DESCRIPTION "${description}")
  set(TAVEX_RC_FILE_TYPE VFT_${kind})
  get_filename_component(TAVEX_RC_INTERNAL_NAME "${file_name}" NAME_WE)
  list(JOIN ARGN "\n" TAVEX_RC_EXTRA)
  set(rc ${TAVEX_RELEASE_DIR}/rc/${file_name}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Version.rc.in ${rc} @ONLY)
  set(${var} ${rc} PARENT_SCOPE)
endfunction()

# Records one shipped file for release.json: its path (generator expressions allowed) and its
# link map, if it is linked here.
function(tavex_release_file path map)
  set_property(GLOBAL APPEND PROPERTY TAVEX_RELEASE_FILES "${path}|${map}")
endfunction()

# tavex_release_target(<target> <file name> <description> [resource lines...]): a target
# of this build that ships, under its file name.
function(tavex_release_target target file_name description)
  set(map ${TAVEX_RELEASE_DIR}/linkmaps/${file_name}.map)
  target_link_options(${target} PRIVATE "LINKER:-Map=${map}")
  if(WIN32)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(kind APP)
    else()
      set(kind DLL)
    endif()
    tavex_version_rc(rc "${file_name}" "${description}" ${kind} ${ARGN})
    target_sources(${target} PRIVATE ${rc})
  else()
    # The shipped files find each other (the local memory library) wherever they are unpacked.
    set_target_properties(${target} PROPERTIES BUILD_RPATH_USE_ORIGIN ON)
  endif()
  tavex_release_file("$<TARGET_FILE:${target}>" "${map}")
  set_property(GLOBAL APPEND PROPERTY TAVEX_RELEASE_TARGETS ${target})
endfunction()

# release/release.json and the target tavex_release, which builds every shipped file.
function(tavex_release_manifest)
  # The prebuilt DLLs beside the plug-in (built by scripts/setup, linked elsewhere).
  foreach(dll IN LISTS TAVEX_HEIF_DLLS)
    get_filename_component(dll_name "${dll}" NAME)
    tavex_release_file("${CMAKE_BINARY_DIR}/bin/${dll_name}" "")
  endforeach()
  get_property(files GLOBAL PROPERTY TAVEX_RELEASE_FILES)
  get_property(targets GLOBAL PROPERTY TAVEX_RELEASE_TARGETS)
  set(entries)
  foreach(file IN LISTS files)
    string(REPLACE "|" ";" parts "${file}")
    list(GET parts 0 path)
    list(LENGTH parts n)
    set(map "")
    if(n GREATER 1)
      list(GET parts 1 map)
    endif()
    list(APPEND entries "    {\"path\": \"${path}\", \"map\": \"${map}\"}")
  endforeach()
  # The libraries the own plug-in opens by name when a file needs them (natively).
  set(loaded)
  get_target_property(definitions iftavex COMPILE_DEFINITIONS)
  foreach(definition IN LISTS definitions)
    if(definition MATCHES "^TAVEX_[A-Z]+_SONAME=\"(.+)\"$")
      list(APPEND loaded "\"${CMAKE_MATCH_1}\"")
    endif()
  endforeach()
  # Where scripts/setup put the libraries it built from Debian's sources.
  if(WIN32)
    set(deps_prefix "${MINGW_DEPS_PREFIX}")
  else()
    set(deps_prefix "${TAVEX_NATIVE_DEPS}")
  endif()
  list(JOIN entries ",\n" entries)
  list(JOIN loaded ", " loaded)
  file(GENERATE OUTPUT ${TAVEX_RELEASE_DIR}/release.json CONTENT "{
  \"version\": \"${PROJECT_VERSION}\",
  \"platform\": \"${TAVEX_RELEASE_PLATFORM}\",
  \"source_dir\": \"${PROJECT_SOURCE_DIR}\",
  \"deps_prefix\": \"${deps_prefix}\",
  \"strip\": \"${CMAKE_STRIP}\",
  \"objdump\": \"${CMAKE_OBJDUMP}\",
  \"files\": [
${entries}
  ],
  \"loaded\": [${loaded}]
}
")
  add_custom_target(tavex_release DEPENDS ${targets})
  foreach(extra tavex_heif_dlls tavex_plugin_host32 tavex_plugin_hosts)
    if(TARGET ${extra})
      add_dependencies(tavex_release ${extra})
    endif()
  endforeach()
endfunction()
