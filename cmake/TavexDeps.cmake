# The plug-in's image libraries under one set of names in every build, so that a decoder
# links the same way natively and for Windows:
#   TavexDeps::zlib  ::png  ::gif  ::tiff  ::webp (decoder and demuxer)  ::lcms2  ::jpeg
#   TavexDeps::heif          libheif itself (the DLL's import library / the shared object)
#   TavexDeps::heif_headers  only its headers, for code that loads libheif at run time
# Windows: the static archives and the two DLLs that scripts/setup cross-builds into
# MINGW_DEPS_PREFIX; TAVEX_HEIF_DLLS names libheif.dll and libde265.dll, which the target
# tavex_heif_dlls copies into bin/, beside the plug-in (LGPL: they ship as DLLs).
# Native: Debian's shared libraries; TAVEX_HEIF_SONAME is libheif's soname.

if(WIN32)
  set(tavex_deps_lib "${MINGW_DEPS_PREFIX}/lib")
  set(tavex_deps_include "${MINGW_DEPS_PREFIX}/include")

  # A static archive of the prefix as TavexDeps::<name>, linking the targets that follow.
  function(tavex_static_dep name file)
    if(NOT EXISTS "${tavex_deps_lib}/${file}")
      message(FATAL_ERROR "${tavex_deps_lib}/${file} is missing: scripts/setup builds it")
    endif()
    add_library(TavexDeps::${name} STATIC IMPORTED GLOBAL)
    set_target_properties(TavexDeps::${name} PROPERTIES
      IMPORTED_LOCATION "${tavex_deps_lib}/${file}"
      INTERFACE_INCLUDE_DIRECTORIES "${tavex_deps_include}"
      INTERFACE_LINK_LIBRARIES "${ARGN}")
  endfunction()

  tavex_static_dep(zlib libz.a)
  tavex_static_dep(png libpng16.a TavexDeps::zlib)
  tavex_static_dep(gif libgif.a)
  tavex_static_dep(jpeg libjpeg.a)
  tavex_static_dep(tiff libtiff.a TavexDeps::jpeg TavexDeps::zlib)
  tavex_static_dep(webp_decoder libwebp.a)
  tavex_static_dep(webp libwebpdemux.a TavexDeps::webp_decoder)
  tavex_static_dep(lcms2 liblcms2.a)

  foreach(dll libheif libde265)
    if(NOT EXISTS "${MINGW_DEPS_PREFIX}/bin/${dll}.dll")
      message(FATAL_ERROR "${MINGW_DEPS_PREFIX}/bin/${dll}.dll is missing: scripts/setup builds it")
    endif()
  endforeach()
  add_library(TavexDeps::heif_headers INTERFACE IMPORTED GLOBAL)
  set_target_properties(TavexDeps::heif_headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${tavex_deps_include}")
  add_library(TavexDeps::heif SHARED IMPORTED GLOBAL)
  set_target_properties(TavexDeps::heif PROPERTIES
    IMPORTED_LOCATION "${MINGW_DEPS_PREFIX}/bin/libheif.dll"
    IMPORTED_IMPLIB "${tavex_deps_lib}/libheif.dll.a"
    INTERFACE_INCLUDE_DIRECTORIES "${tavex_deps_include}")
  set(TAVEX_HEIF_DLLS "${MINGW_DEPS_PREFIX}/bin/libheif.dll" "${MINGW_DEPS_PREFIX}/bin/libde265.dll")

  set(tavex_heif_copies)
  foreach(dll IN LISTS TAVEX_HEIF_DLLS)
    get_filename_component(dll_name "${dll}" NAME)
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/bin/${dll_name}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${dll}" "${CMAKE_BINARY_DIR}/bin/${dll_name}"
      DEPENDS "${dll}" COMMENT "Copying ${dll_name} beside the plug-in")
    list(APPEND tavex_heif_copies "${CMAKE_BINARY_DIR}/bin/${dll_name}")
  endforeach()
  add_custom_target(tavex_heif_dlls ALL DEPENDS ${tavex_heif_copies})
else()
  find_package(PkgConfig REQUIRED)
  find_package(ZLIB REQUIRED)
  find_package(PNG REQUIRED)
  find_package(GIF REQUIRED)
  find_package(TIFF REQUIRED)
  pkg_check_modules(TAVEX_WEBP REQUIRED IMPORTED_TARGET GLOBAL libwebp libwebpdemux)
  pkg_check_modules(TAVEX_LCMS2 REQUIRED IMPORTED_TARGET GLOBAL lcms2)
  pkg_check_modules(TAVEX_HEIF REQUIRED IMPORTED_TARGET GLOBAL libheif)

  function(tavex_native_dep name)
    add_library(TavexDeps::${name} INTERFACE IMPORTED GLOBAL)
    set_target_properties(TavexDeps::${name} PROPERTIES INTERFACE_LINK_LIBRARIES "${ARGN}")
  endfunction()
  tavex_native_dep(zlib ZLIB::ZLIB)
  tavex_native_dep(png PNG::PNG)
  tavex_native_dep(gif GIF::GIF)
  tavex_native_dep(jpeg JPEG::JPEG)
  tavex_native_dep(tiff TIFF::TIFF)
  tavex_native_dep(webp PkgConfig::TAVEX_WEBP)
  tavex_native_dep(lcms2 PkgConfig::TAVEX_LCMS2)
  tavex_native_dep(heif PkgConfig::TAVEX_HEIF)
  add_library(TavexDeps::heif_headers INTERFACE IMPORTED GLOBAL)
  set_target_properties(TavexDeps::heif_headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${TAVEX_HEIF_INCLUDE_DIRS}")

  # The soname of the shared object that pkg-config names, for loading it at run time.
  set(TAVEX_HEIF_SONAME "")
  find_library(tavex_heif_file NAMES heif HINTS ${TAVEX_HEIF_LIBRARY_DIRS})
  if(tavex_heif_file)
    execute_process(COMMAND objdump -p "${tavex_heif_file}" OUTPUT_VARIABLE heif_headers
      ERROR_QUIET RESULT_VARIABLE heif_objdump)
    if(heif_objdump EQUAL 0 AND heif_headers MATCHES "SONAME +([^ \n]+)")
      set(TAVEX_HEIF_SONAME "${CMAKE_MATCH_1}")
    endif()
  endif()
endif()
