# Every shipped program's page: one source per program (a ToolPage, see
# common/tool_page.h for how to add a program) gives its usage line, its
# --help and --version, and its manual page, which a page writer built from
# the same source makes at build time: roff for the .deb
# (share/man/man1/<program>.1.gz), plain text for the Windows zip
# (<program>.txt beside the programs).

# add_tool_page(<program> <page source>)
#
# Compiles the page source into <program> and builds <program>-page, the
# page writer: the same source with common/write_page_main.cpp, the same
# definitions and libraries as the program. suite_manual_pages() (called
# once every program is known) then makes and installs the page.
function(add_tool_page program source)
  target_sources(${program} PRIVATE ${source})
  set(writer ${program}-page)
  add_executable(${writer} ${source} ${PROJECT_SOURCE_DIR}/common/write_page_main.cpp)
  target_link_libraries(${writer} PRIVATE man_page $<TARGET_PROPERTY:${program},LINK_LIBRARIES>)
  target_compile_definitions(${writer} PRIVATE
                             $<TARGET_PROPERTY:${program},COMPILE_DEFINITIONS>)
  set_target_properties(${writer} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                             ${CMAKE_BINARY_DIR}/page-writers)
  set_property(GLOBAL APPEND PROPERTY SUITE_PROGRAMS ${program})
endfunction()

# suite_manual_pages(<date>)
#
# Makes every page (dated <date>, YYYY-MM-DD) and installs it; sets
# SUITE_PROGRAMS (every program with a page, sorted) and SUITE_MANUAL_PAGES
# (the roff pages, or on Windows the text pages) in the caller's scope.
function(suite_manual_pages date)
  get_property(programs GLOBAL PROPERTY SUITE_PROGRAMS)
  list(SORT programs)
  set(pages)
  set(made)
  if(WIN32)
    set(folder ${CMAKE_BINARY_DIR}/manual)
  else()
    set(folder ${CMAKE_BINARY_DIR}/man)
    find_program(SUITE_GZIP gzip REQUIRED)
  endif()
  foreach(program IN LISTS programs)
    set(others ${programs})
    list(REMOVE_ITEM others ${program})
    if(WIN32)
      # The writer runs under the cross build's emulator (wine), which takes
      # a path on the Linux file system with its drive letter.
      set(page ${folder}/${program}.txt)
      add_custom_command(OUTPUT ${page}
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                         COMMAND ${program}-page text ${SUITE_TARGET_ROOT}${page} ${date} ${others}
                         DEPENDS ${program}-page VERBATIM)
      install(FILES ${page} DESTINATION ${SUITE_INSTALL_BIN})
      list(APPEND made ${page})
    else()
      # man finds pages compressed; gzip -n keeps the name and time out, so
      # that the same sources give the same package.
      set(page ${folder}/${program}.1)
      add_custom_command(OUTPUT ${page} ${page}.gz
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
                         COMMAND ${program}-page man ${page} ${date} ${others}
                         COMMAND ${SUITE_GZIP} -9 -n -f -k ${page}
                         DEPENDS ${program}-page VERBATIM)
      install(FILES ${page}.gz DESTINATION share/man/man1)
      list(APPEND made ${page} ${page}.gz)
    endif()
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${made})

  if(SUITE_TESTS)
    # --help and --version of every program, on this system (under wine for
    # a cross build), and the usage lines the README quotes.
    string(JOIN "," program_list ${programs})
    add_suite_test(program_help_tests SOURCES ${PROJECT_SOURCE_DIR}/common/program_help_test.cpp
                   LIBS ossory_core test_support common)
    target_compile_definitions(program_help_tests PRIVATE SUITE_PROGRAMS="${program_list}"
                               SUITE_README="${SUITE_TARGET_ROOT}${PROJECT_SOURCE_DIR}/README.md")
    add_dependencies(program_help_tests ${programs})
    if(NOT WIN32)
      # Every page renders without a warning, as man and lintian read it.
      add_test(NAME manual_pages.render
               COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_man_pages.sh ${pages})
    endif()
  endif()
  set(SUITE_PROGRAMS ${programs} PARENT_SCOPE)
  set(SUITE_MANUAL_PAGES ${pages} PARENT_SCOPE)
endfunction()
