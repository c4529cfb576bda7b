# Shipped images carry no debug information: it goes into the `symbols` install component, one
# file per image, for whoever reads a crash report. With mingw each image is built with DWARF 4
# (LAUNCHER_DWARF_FLAGS), then its DWARF sections are moved into <image>.debug beside it and
# the image keeps only a GNU debug link naming that file, so unpacking the symbols archive over
# the launcher folder puts every .debug file where a debugger looks for it. The image's CodeView
# record (the toolchain links with --build-id) stays in both, so the .debug file has the debug
# id the crash reports give the image. With MSVC the PDB is that file, and the image's CodeView
# record names it by the same kind of id.

# DWARF 4, not GCC's default 5: Wine's dbghelp reads functions and lines from version 4 only,
# and symbolising on the machine under Wine goes through it.
set(LAUNCHER_DWARF_FLAGS -gdwarf-4)
# DESTINATION: the folder of the image in the install tree (default: the top). COMPONENT: where
# the debug information installs (default: symbols, which goes into the symbols archive; an
# image that is not in the launcher folder, such as a sample's, keeps it in its own component).
function(launcher_split_debug_info target)
  cmake_parse_arguments(ARG "" "DESTINATION;COMPONENT" "" ${ARGN})
  if(NOT ARG_DESTINATION)
    set(ARG_DESTINATION .)
  endif()
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT symbols)
  endif()
  if(MINGW)
    target_compile_options(${target} PRIVATE ${LAUNCHER_DWARF_FLAGS})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
              $<TARGET_FILE:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
              $<TARGET_FILE:${target}>
      VERBATIM)
    install(FILES $<TARGET_FILE:${target}>.debug DESTINATION ${ARG_DESTINATION}
      COMPONENT ${ARG_COMPONENT} EXCLUDE_FROM_ALL)
  elseif(MSVC)
    install(FILES $<TARGET_PDB_FILE:${target}> DESTINATION ${ARG_DESTINATION}
      COMPONENT ${ARG_COMPONENT} EXCLUDE_FROM_ALL OPTIONAL)
  endif()
endfunction()
