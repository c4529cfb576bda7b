# A stand-in for the crash-reporter SDK's package file, laid out as the SDK's install lays it
# out: <prefix>/lib/cmake/sentry/sentry-config.cmake, with the DLL in bin/, its import library
# in lib/, the header in include/ and crashpad_handler.exe in bin/. The tests put the recording
# sentry.dll there, so a launcher built against the package shows which DLL it runs with.
get_filename_component(_IMPORT_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET sentry::sentry)
  add_library(sentry::sentry SHARED IMPORTED)
  set_target_properties(sentry::sentry PROPERTIES
    IMPORTED_CONFIGURATIONS RELEASE
    IMPORTED_IMPLIB_RELEASE "${_IMPORT_PREFIX}/lib/libsentry.dll.a"
    IMPORTED_LOCATION_RELEASE "${_IMPORT_PREFIX}/bin/sentry.dll"
    INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include")
endif()

unset(_IMPORT_PREFIX)
