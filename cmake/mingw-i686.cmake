# Cross toolchain: i686-w64-mingw32 (posix thread model), tests run under wine64's
# WoW64 mode (wine32-test.sh, with the runtime scripts/setup unpacks) on machines
# that run 32-bit code; scripts/test asks cmake/ia32-probe.sh first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)

set(TAVEX_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TAVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${TAVEX_MINGW_TRIPLET}-windres)

set(MINGW_DEPS_PREFIX /opt/tavex-deps/${TAVEX_MINGW_TRIPLET}
    CACHE PATH "Prefix holding the cross-built libjpeg-turbo for ${TAVEX_MINGW_TRIPLET}")
# try_compile projects re-read this file; hand them the override too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_DEPS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVEX_MINGW_TRIPLET} ${MINGW_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the exes and plug-ins then import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT    -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine32-test.sh)
