# Installation and the release packages (cpack), included at the end of the
# top CMakeLists.txt.
#   Linux: bin/resurgo, share/man/man1/resurgo.1.gz (made by resurgo_docgen
#   from the command's definitions, as --help), the bash completion, and
#   share/doc/resurgo (user guide, copyright, changelog); cpack makes
#   resurgo_VERSION_amd64.deb.
#   Windows: resurgo.exe, the user guide, LICENSE.txt and README.txt in one
#   folder; cpack makes resurgo-VERSION-windows-x64.zip.
# scripts/package.sh builds both from release builds.
include(GNUInstallDirs)

set(RESURGO_PACKAGE_MAINTAINER "The Resurgo developers <resurgo@example.org>"
    CACHE STRING "Maintainer of the packages: Name <address>")
set(RESURGO_PACKAGE_SUMMARY "find and restore deleted files on NTFS volumes")
set(RESURGO_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package-files)
file(GLOB RESURGO_GUIDE_FILES ${PROJECT_SOURCE_DIR}/docs/resurgo.html ${PROJECT_SOURCE_DIR}/docs/*.png)


if(TARGET resurgo AND NOT WIN32)
  # Man page and bash completion, generated from the command's definitions.
  add_executable(resurgo_docgen cli/DocGenMain.cpp)
  target_link_libraries(resurgo_docgen PRIVATE resurgo_cli)
  string(TIMESTAMP RESURGO_DOC_DATE "%Y-%m-%d" UTC)
  add_custom_command(
    OUTPUT ${RESURGO_PACKAGE_DIR}/resurgo.1.gz ${RESURGO_PACKAGE_DIR}/completion/resurgo
    COMMAND ${CMAKE_COMMAND} -E make_directory ${RESURGO_PACKAGE_DIR}/completion
    COMMAND resurgo_docgen man ${RESURGO_DOC_DATE} ${RESURGO_PACKAGE_DIR}/resurgo.1
    COMMAND gzip -9 -n -f ${RESURGO_PACKAGE_DIR}/resurgo.1
    COMMAND resurgo_docgen completion ${RESURGO_PACKAGE_DIR}/completion/resurgo
    DEPENDS resurgo_docgen
    COMMENT "Man page and bash completion of resurgo"
    VERBATIM)
  add_custom_target(resurgo_docs ALL
    DEPENDS ${RESURGO_PACKAGE_DIR}/resurgo.1.gz ${RESURGO_PACKAGE_DIR}/completion/resurgo)

  # The copyright file in the Debian format, with the license text
  # (without its title and copyright line).
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE text)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  string(FIND "${text}" "Permission is hereby granted" start)
  string(SUBSTRING "${text}" ${start} -1 text)
  string(STRIP "${text}" text)
  string(REGEX REPLACE "\n\n" "\n.\n" text "${text}")
  string(REGEX REPLACE "\n" "\n " RESURGO_EXPAT_TEXT " ${text}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${RESURGO_PACKAGE_DIR}/copyright @ONLY)

  # The changelog of the package: one entry for this version.
  string(TIMESTAMP RESURGO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${RESURGO_PACKAGE_DIR}/changelog
    "resurgo (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${RESURGO_PACKAGE_MAINTAINER}  ${RESURGO_CHANGELOG_DATE}\n")
  add_custom_command(
    OUTPUT ${RESURGO_PACKAGE_DIR}/changelog.gz
    COMMAND gzip -9 -n -k -f ${RESURGO_PACKAGE_DIR}/changelog
    DEPENDS ${RESURGO_PACKAGE_DIR}/changelog
    VERBATIM)
  add_custom_target(resurgo_changelog ALL DEPENDS ${RESURGO_PACKAGE_DIR}/changelog.gz)

  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/resurgo)
  install(FILES ${RESURGO_PACKAGE_DIR}/resurgo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${RESURGO_PACKAGE_DIR}/completion/resurgo
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  install(FILES ${RESURGO_GUIDE_FILES} ${RESURGO_PACKAGE_DIR}/copyright ${RESURGO_PACKAGE_DIR}/changelog.gz
          DESTINATION ${docdir})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
  # The long description, in lines of at most 80 characters.
  set(CPACK_PACKAGE_DESCRIPTION [=[resurgo lists the deleted files of an NTFS volume, an image file or a
block device, by name pattern and age, and restores them byte for byte:
one file, or all of them with their directories. The volume is only ever
read.]=])
elseif(TARGET resurgo AND WIN32)
  # resurgo.exe with its user guide, license and README in one folder.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt.in ${RESURGO_PACKAGE_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${RESURGO_PACKAGE_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${RESURGO_GUIDE_FILES} ${RESURGO_PACKAGE_DIR}/README.txt ${RESURGO_PACKAGE_DIR}/LICENSE.txt
          DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME resurgo-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

set(CPACK_PACKAGE_NAME resurgo)
set(CPACK_PACKAGE_VENDOR "The Resurgo developers")
set(CPACK_PACKAGE_CONTACT ${RESURGO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${RESURGO_PACKAGE_SUMMARY})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)
include(CPack)
