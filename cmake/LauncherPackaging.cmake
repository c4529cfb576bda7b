# The release archives, made by `cmake --build <build> --target package` in the build folder:
#   tavro-gcodeviewer-<version>-win64.zip          the launcher component, stripped images
#   tavro-gcodeviewer-<version>-win64-symbols.zip  the debug information of each image
# Both hold the one top folder tavro-gcodeviewer-<version>-win64, so unpacking the symbols
# archive over the launcher's puts each .debug file beside its image.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tavro-gcodeviewer)
set(CPACK_PACKAGE_VENDOR Tavro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tavro-gcodeviewer-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL launcher symbols)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_LAUNCHER_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-symbols)
# Only what the install rules lay out, never the source tree.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
