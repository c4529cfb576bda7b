# Shared settings and the small helpers every folder uses to declare its targets.

if(MSVC)
  add_compile_options(/W4 /permissive- /utf-8)
  add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
else()
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
endif()

if(WIN32)
  # The code names the W functions itself; the macros only keep stray headers consistent.
  add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600)
endif()

if(MINGW)
  # Every image carries a CodeView record: the debug id a crash report names it by, which its
  # .debug file keeps when the debug information is split off (launcher_split_debug_info), so
  # the crash reporting service and its tools match the two. Visual Studio's linker writes one
  # with every PDB. The record names a PDB, <image>.pdb, which the linker writes beside the
  # image in the build tree and nothing ships: Wine's dbghelp takes a record that names no file
  # for a wildcard, reads every file of its search path as a PDB and faults on them, losing the
  # minidump of a crash.
  set(_launcher_self $<TARGET_PROPERTY:NAME>)
  add_link_options(-Wl,--build-id
    "-Wl,--pdb=$<TARGET_FILE_DIR:${_launcher_self}>/$<TARGET_FILE_BASE_NAME:${_launcher_self}>.pdb")
endif()

if(LAUNCHER_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing: every object carries libFuzzer's coverage hooks and both sanitizers, so the
# libraries under test report what the targets drive them into; only a target links the
# fuzzing engine itself (launcher_add_fuzzer).
if(LAUNCHER_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "LAUNCHER_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Boost: header-only parts. The cross build must never see the host's /usr/include,
# so it gets an include directory of its own that holds boost/ alone.
add_library(launcher_boost INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_boost_root ${CMAKE_BINARY_DIR}/boost-include)
  if(NOT EXISTS ${_boost_root}/boost)
    file(MAKE_DIRECTORY ${_boost_root})
    file(CREATE_LINK /usr/include/boost ${_boost_root}/boost SYMBOLIC)
  endif()
  target_include_directories(launcher_boost SYSTEM INTERFACE ${_boost_root})
  target_link_libraries(launcher_boost INTERFACE ws2_32 mswsock)
else()
  find_package(Boost 1.74 REQUIRED)
  target_link_libraries(launcher_boost INTERFACE Boost::headers)
  if(WIN32)
    target_link_libraries(launcher_boost INTERFACE ws2_32 mswsock)
  endif()
endif()
target_compile_definitions(launcher_boost INTERFACE BOOST_ERROR_CODE_HEADER_ONLY)

# GoogleTest: the system package on the host; its sources built by the cross compiler
# for Windows.
if(NOT BUILD_TESTING)
  # Nothing to test with.
elseif(CMAKE_CROSSCOMPILING AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

# A unit test of portable logic: built and run on the host builds only.
function(launcher_add_host_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(WIN32 OR NOT BUILD_TESTING OR LAUNCHER_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

# A fuzz target, <what>_fuzzer, built by the host-fuzz preset only and written to the top of
# the build folder, where scripts/fuzz.sh finds every *_fuzzer. Its seed corpus lives in
# tests/fuzz/corpus/<name>/.
function(launcher_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT LAUNCHER_FUZZ)
    return()
  endif()
  if(NOT name MATCHES "_fuzzer$")
    message(FATAL_ERROR "a fuzz target's name ends in _fuzzer: ${name}")
  endif()
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/sanitizer_options.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# A Windows test program: built by the cross build and run under Wine.
function(launcher_add_windows_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT WIN32 OR NOT BUILD_TESTING)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wineprefix)
endfunction()
