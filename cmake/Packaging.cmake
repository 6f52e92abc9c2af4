# Installation and packages: a Debian package on Linux, a zip of the two
# Windows files from the Windows cross-build.
include(GNUInstallDirs)

string(TIMESTAMP XIPSAW_RELEASE_DATE "%Y-%m-%d" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/xipsaw.1.in ${PROJECT_BINARY_DIR}/xipsaw.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)

if(WIN32)
  # What a Windows user copies: the executable and its library side by side.
  install(TARGETS xipsaw CECompressv4 RUNTIME DESTINATION . LIBRARY DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # The library is private to the tool, so it goes into a directory of its
  # own below the library directory (XIPSAW_PRIVATE_LIBDIR, set beside the
  # executable's target), where the executable looks for it and no other
  # program's loader finds it by chance.
  install(TARGETS xipsaw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS CECompressv4 LIBRARY DESTINATION ${XIPSAW_PRIVATE_LIBDIR})
  # Debian wants compressed manual pages and a changelog; gzip -n keeps the
  # result the same from build to build.
  add_custom_command(OUTPUT xipsaw.1.gz
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/xipsaw.1 > xipsaw.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/xipsaw.1 ${PROJECT_SOURCE_DIR}/packaging/xipsaw.1.in)
  add_custom_command(OUTPUT changelog.gz
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/changelog > changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/changelog)
  add_custom_target(xipsaw_docs ALL DEPENDS xipsaw.1.gz changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/xipsaw.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME xipsaw)
set(CPACK_PACKAGE_VENDOR "The xipsaw developers")
set(CPACK_PACKAGE_CONTACT "xipsaw developers <maintainers@users.noreply.c-seed-a2c056cf.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list, extract and update Windows CE ROM images in BIN files")
set(CPACK_PACKAGE_DESCRIPTION
  "xipsaw looks inside Windows CE ROM images kept in the record-based BIN
container. It lists the modules and files of an image, extracts them
(rebuilding each module into a PE32 executable and expanding compressed data
with its own LZX codec), and replaces a file inside the image in place, all
or nothing.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
