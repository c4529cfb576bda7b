# The Sentry Native SDK as the crash reporter: its package, found through CMAKE_PREFIX_PATH or
# sentry_DIR, or in the SDK install that LAUNCHER_SENTRY_SDK_PREFIX names for the tests and the
# benchmark (the cross build's toolchain makes that install a find root as well). Installing
# puts its sentry.dll and its crash handler crashpad_handler.exe beside the launcher, when the
# package provides them.
find_package(sentry CONFIG REQUIRED HINTS $ENV{LAUNCHER_SENTRY_SDK_PREFIX})

get_target_property(_sentry_type sentry::sentry TYPE)
if(_sentry_type STREQUAL "SHARED_LIBRARY")
  install(IMPORTED_RUNTIME_ARTIFACTS sentry::sentry
    RUNTIME DESTINATION . COMPONENT launcher LIBRARY DESTINATION . COMPONENT launcher)
endif()

# The handler is an executable of the package; packages differ in whether they export it as
# a target, so it is also looked for beside the package's files. Set
# LAUNCHER_CRASHPAD_HANDLER to name it directly.
if(TARGET sentry_crashpad::crashpad_handler)
  install(IMPORTED_RUNTIME_ARTIFACTS sentry_crashpad::crashpad_handler
    RUNTIME DESTINATION . COMPONENT launcher)
else()
  set(_sentry_root ${sentry_DIR}/../..)
  find_program(LAUNCHER_CRASHPAD_HANDLER
    NAMES crashpad_handler.exe crashpad_handler
    HINTS ${_sentry_root}/bin ${_sentry_root}/tools/sentry-native ${_sentry_root}/../bin
    NO_DEFAULT_PATH)
  if(LAUNCHER_CRASHPAD_HANDLER)
    install(PROGRAMS ${LAUNCHER_CRASHPAD_HANDLER} DESTINATION . RENAME crashpad_handler.exe
      COMPONENT launcher)
  else()
    message(STATUS "crashpad_handler.exe not found beside the sentry package: not installed")
  endif()
endif()
