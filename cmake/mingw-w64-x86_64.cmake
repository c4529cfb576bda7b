# Cross build for Windows x86-64 with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Packages are looked for under the find roots only, so the host's own (Linux) packages stay
# out of reach. A prefix named through CMAKE_PREFIX_PATH (the variable or the environment), or
# the crash reporter's SDK install named by LAUNCHER_SENTRY_SDK_PREFIX, is made a root of its
# own: CMake leaves a prefix that already lies under a root as it is, instead of looking for it
# again under the mingw root, so a Windows package installed anywhere is found. The host's
# system prefixes never become roots: under them every host package would be found.
set(_launcher_prefixes ${CMAKE_PREFIX_PATH} $ENV{LAUNCHER_SENTRY_SDK_PREFIX})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  # The environment's list uses the host's path separator.
  string(REPLACE ":" ";" _launcher_env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND _launcher_prefixes ${_launcher_env_prefixes})
endif()
foreach(_launcher_prefix IN LISTS _launcher_prefixes)
  if(NOT _launcher_prefix MATCHES "^/(usr(/local)?)?/*$")
    list(APPEND CMAKE_FIND_ROOT_PATH "${_launcher_prefix}")
  endif()
endforeach()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)

# The compiler's runtime goes into every image, so nothing we ship or test
# needs a mingw DLL at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Windows programs built here run under Wine, in a prefix private to the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
