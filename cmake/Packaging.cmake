# What the packages hold and how CPack makes them: `cmake --build <folder> --target package`.
#   Windows presets: tarnwick-<version>-win64.zip / -win32.zip with tarnwk.exe (the window
#                    program), tarnwkc.exe (the console program for scripts), README.txt and
#                    LICENSE.txt (both with CR LF line endings).
#   Linux:           a .deb with /usr/bin/tarnwk, its man page, bash completion, copyright and
#                    changelog.
# Only the program and its documents are installed; the tests and the benchmark are not. Each
# packages folder also gets SHA256SUMS for what it holds.

set(TARNWICK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(TARNWICK_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "The Tarnwick developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compacts large hosts files")
# The project has no mail address of its own: the reserved ".invalid" domain says so, in the form
# Debian's tools require for a contact.
set(CPACK_PACKAGE_CONTACT "Tarnwick developers <developers@tarnwick.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  # The readme and the licence are read with Notepad: CR LF line endings.
  configure_file(${TARNWICK_PACKAGING_DIR}/README-windows.txt ${TARNWICK_PACKAGING_OUT}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${TARNWICK_PACKAGING_OUT}/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)

  install(TARGETS tarnwk tarnwkc RUNTIME DESTINATION .)
  install(FILES ${TARNWICK_PACKAGING_OUT}/README.txt ${TARNWICK_PACKAGING_OUT}/LICENSE.txt
          DESTINATION .)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  # Unzips into one folder named like the archive.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  include(GNUInstallDirs)

  # The man page carries the version and is installed compressed, as Debian does.
  find_program(TARNWICK_GZIP gzip REQUIRED)
  configure_file(${TARNWICK_PACKAGING_DIR}/tarnwk.1 ${TARNWICK_PACKAGING_OUT}/tarnwk.1 @ONLY)
  add_custom_command(
    OUTPUT ${TARNWICK_PACKAGING_OUT}/tarnwk.1.gz
    COMMAND ${TARNWICK_GZIP} -9 -n -c ${TARNWICK_PACKAGING_OUT}/tarnwk.1
            > ${TARNWICK_PACKAGING_OUT}/tarnwk.1.gz
    DEPENDS ${TARNWICK_PACKAGING_OUT}/tarnwk.1
    COMMENT "Compressing the man page"
    VERBATIM)
  # The changelog of the package (a native one: changelog.gz), compressed the same way.
  configure_file(${TARNWICK_PACKAGING_DIR}/changelog ${TARNWICK_PACKAGING_OUT}/changelog @ONLY)
  add_custom_command(
    OUTPUT ${TARNWICK_PACKAGING_OUT}/changelog.gz
    COMMAND ${TARNWICK_GZIP} -9 -n -c ${TARNWICK_PACKAGING_OUT}/changelog
            > ${TARNWICK_PACKAGING_OUT}/changelog.gz
    DEPENDS ${TARNWICK_PACKAGING_OUT}/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(tarnwick_manpage ALL DEPENDS ${TARNWICK_PACKAGING_OUT}/tarnwk.1.gz
                                                 ${TARNWICK_PACKAGING_OUT}/changelog.gz)

  # Debian's copyright file, from the licence.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
  file(CONFIGURE OUTPUT ${TARNWICK_PACKAGING_OUT}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tarnwick

Files: *
Copyright: 2026 The Tarnwick developers
License: MIT

License: MIT
@licence@")

  install(TARGETS tarnwk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${TARNWICK_PACKAGING_OUT}/tarnwk.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${TARNWICK_PACKAGING_DIR}/tarnwk.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarnwk)
  install(FILES ${TARNWICK_PACKAGING_OUT}/copyright ${TARNWICK_PACKAGING_OUT}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME tarnwick)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Below the one-line summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY).
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "tarnwk rewrites a hosts file into a compact form: comments, blank lines,\n"
      "unusable lines and localhost names go, and the host names of entries that\n"
      "share an address are gathered onto lines of at most nine names. It is made\n"
      "for large ad-blocking hosts files of hundreds of thousands or millions of\n"
      "lines, which slow the Windows DNS client down.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
  # The C and C++ runtime libraries the program links against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# SHA256SUMS beside the packages.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/WriteChecksums.cmake)

include(CPack)
