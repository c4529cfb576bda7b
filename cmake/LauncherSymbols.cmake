# Shipped images carry no debug information: it goes into the `symbols` install component, one
# file per image, for whoever reads a crash report. With mingw each image is built with -g,
# then its DWARF sections are moved into <image>.debug beside it and the image keeps only a
# GNU debug link naming that file, so unpacking the symbols archive over the launcher folder
# puts every .debug file where a debugger looks for it. With MSVC the PDB is that file.
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
    target_compile_options(${target} PRIVATE -g)
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
