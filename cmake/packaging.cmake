# What users download, made by `cmake --build <build> --target package`:
#
# - a Windows build (cmake/mingw-w64.cmake) makes korvane-suite-<version>-win64.zip:
#   one folder holding the programs, README.md, USAGE.txt (for people who
#   double-click) and the licences of the libraries linked into them;
# - a Linux build makes korvane-suite_<version>_<arch>.deb, which installs
#   the programs in /usr/bin and the README in /usr/share/doc/korvane-suite.
#
# Only the shipped programs are installed (install() in each tool's
# CMakeLists.txt, to SUITE_INSTALL_BIN); tests and support tools are not.
# A CTest case unpacks each package and runs programs from it
# (packaging/check_zip.sh, packaging/check_deb.sh).

set(CPACK_PACKAGE_NAME korvane-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tools to take one console game's archives, packs, texts and images apart and back")
set(CPACK_PACKAGE_CONTACT "korvane suite developers <noreply@korvane-suite.invalid>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)  # unzips into one folder
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/USAGE.txt.in ${CMAKE_BINARY_DIR}/USAGE.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/USAGE.txt DESTINATION .)
  # tm2png.exe links libpng and zlib statically; their licences travel with
  # it (copied into the dependency prefix by cmake/windows-deps.sh).
  foreach(library libpng zlib)
    file(GLOB licence_files ${SUITE_WINDOWS_DEPS}/share/doc/${library}/*)
    if(NOT licence_files)
      message(FATAL_ERROR "no licence of ${library} in ${SUITE_WINDOWS_DEPS}/share/doc")
    endif()
    install(FILES ${licence_files} DESTINATION licenses/${library})
  endforeach()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The libraries the programs link (libpng, the C++ runtime) become the
  # package's dependencies (dpkg-shlibdeps, from dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/korvane-suite)
endif()

include(CPack)

# The packages' smoke tests (not in sanitizer builds, whose programs are no
# one's download).
if(SUITE_TESTS AND NOT SUITE_SANITIZE)
  if(WIN32)
    add_test(NAME package.zip
             COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_zip.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_BINARY_DIR}/package-check ${CMAKE_CPACK_COMMAND} ${CMAKE_OBJDUMP}
                     ${CMAKE_CROSSCOMPILING_EMULATOR})
  else()
    add_test(NAME package.deb
             COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_deb.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_BINARY_DIR}/package-check ${CMAKE_CPACK_COMMAND})
  endif()
endif()
