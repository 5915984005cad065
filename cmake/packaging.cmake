# What users download, made by `cmake --build <build> --target package`:
#
# - a Windows build (cmake/mingw-w64.cmake) makes korvane-suite-<version>-win64.zip:
#   one folder holding the programs, their manual pages as text
#   (<program>.txt), README.md, USAGE.txt (for people who double-click) and
#   the licences of the libraries linked into them;
# - a Linux build makes korvane-suite_<version>-<revision>_<arch>.deb, which
#   installs the programs in /usr/bin, their manual pages in
#   /usr/share/man/man1, and the README, the copyright file and the changelog
#   in /usr/share/doc/korvane-suite; lintian accepts it without an error or
#   a warning.
#
# Only the shipped programs are installed (install() in each tool's
# CMakeLists.txt, to SUITE_INSTALL_BIN), with their pages
# (cmake/pages.cmake); tests and support tools are not. A CTest case unpacks
# each package and runs programs from it (packaging/check_zip.sh,
# packaging/check_deb.sh, which runs lintian too).

# The release: the latest entry of packaging/changelog (Debian's format)
# names the package's version, whose upstream part must be the project's,
# and its date, which the manual pages carry.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_lines)
list(GET changelog_lines 0 changelog_head)
if(NOT changelog_head MATCHES "^korvane-suite \\(([^ ()-]+)-([0-9]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line names no version <upstream>-<revision>: "
                      "${changelog_head}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the latest entry is for ${CMAKE_MATCH_1}, the project "
                      "is ${PROJECT_VERSION}; add an entry for this release")
endif()
set(SUITE_PACKAGE_REVISION ${CMAKE_MATCH_2})
set(SUITE_RELEASE_DATE "")
foreach(line IN LISTS changelog_lines)
  # " -- Name <address>  Wed, 09 Dec 2026 00:00:00 +0000"
  if(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND months ${CMAKE_MATCH_2} month)
    math(EXPR month "${month} + 1")
    if(month LESS 10)
      set(month 0${month})
    endif()
    set(SUITE_RELEASE_DATE ${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1})
    break()
  endif()
endforeach()
if(NOT SUITE_RELEASE_DATE OR SUITE_RELEASE_DATE MATCHES "-00-")
  message(FATAL_ERROR "packaging/changelog: the latest entry has no trailer line with its date")
endif()

suite_manual_pages(${SUITE_RELEASE_DATE})

set(CPACK_PACKAGE_NAME korvane-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "modding tools for one console game's archives, packs, texts and images")
set(CPACK_PACKAGE_CONTACT "korvane suite developers <noreply@korvane-suite.invalid>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)  # unzips into one folder
  # The suite's own licence; the libraries' follow.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/COPYING DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/USAGE.txt.in ${CMAKE_BINARY_DIR}/USAGE.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/USAGE.txt DESTINATION .)
  # tm2png.exe links libpng and zlib statically, brenmark.exe gettext's
  # libgettextpo and libunistring, modkit.exe compiles xxHash in and links
  # libgettextpo too; their licences travel with them (copied into the
  # dependency prefix by cmake/windows-deps.sh).
  foreach(library libpng zlib gettext libunistring xxhash)
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
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${SUITE_PACKAGE_REVISION})
  # The extended description: lines of at most 80 columns, which CPack
  # indents (no semicolons: CMake would take them for list separators).
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Command-line tools for modding and translating one console game. They take\n"
      "the game's archive, the packs inside it, the texts of its event files and\n"
      "its images apart into ordinary files, and put the edited files back,\n"
      "checking everything before they write and never leaving a file half\n"
      "written.\n"
      "\n"
      "Every program answers --help and has a manual page. The README in\n"
      "/usr/share/doc/korvane-suite says which to run in which order.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
  set(doc share/doc/korvane-suite)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${doc})
  # Debian keeps a package's changelog compressed as changelog.Debian.gz;
  # gzip -n leaves the name and time out, so the same sources give the same
  # package.
  find_program(SUITE_GZIP gzip REQUIRED)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/changelog.Debian
                 COPYONLY)
  execute_process(COMMAND ${SUITE_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/changelog.Debian
                  COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/changelog.Debian.gz DESTINATION ${doc})
  # The lintian rules that do not apply to this package, each with its reason.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION share/lintian/overrides RENAME korvane-suite)
endif()

include(CPack)

# The packages' smoke tests (not in sanitizer builds, whose programs are no
# one's download).
if(SUITE_TESTS AND NOT SUITE_SANITIZE)
  string(JOIN "," program_list ${SUITE_PROGRAMS})
  if(WIN32)
    add_test(NAME package.zip
             COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_zip.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_BINARY_DIR}/package-check ${CMAKE_CPACK_COMMAND} ${CMAKE_OBJDUMP}
                     ${program_list} ${CMAKE_CROSSCOMPILING_EMULATOR})
  else()
    add_test(NAME package.deb
             COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_deb.sh ${CMAKE_BINARY_DIR}
                     ${CMAKE_BINARY_DIR}/package-check ${CMAKE_CPACK_COMMAND} ${program_list})
  endif()
endif()
