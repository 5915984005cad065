# add_layout_tool(<tool> LAYOUT_MACRO <macro> SOURCES <src...> PAGE <src> LIBS <lib...>)
#
# Builds <tool>-a and <tool>-b from the same sources. The two programs differ
# only in the layout record they are compiled with: <macro> is defined to 'A'
# or 'B', and the source picks its constants from it. TOOL_NAME is the
# program's name and TOOL_OTHER_NAME the other build's ("korvane-b" for
# korvane-a). PAGE is the page source both programs share
# (cmake/pages.cmake).
function(add_layout_tool tool)
  cmake_parse_arguments(ARG "" "LAYOUT_MACRO;PAGE" "SOURCES;LIBS" ${ARGN})
  foreach(layout a b)
    string(TOUPPER ${layout} upper)
    if(layout STREQUAL a)
      set(other b)
    else()
      set(other a)
    endif()
    add_executable(${tool}-${layout} ${ARG_SOURCES})
    target_compile_definitions(${tool}-${layout} PRIVATE ${ARG_LAYOUT_MACRO}='${upper}'
                               TOOL_NAME="${tool}-${layout}" TOOL_OTHER_NAME="${tool}-${other}")
    target_link_libraries(${tool}-${layout} PRIVATE ${ARG_LIBS})
    install(TARGETS ${tool}-${layout} RUNTIME DESTINATION ${SUITE_INSTALL_BIN})
    add_tool_page(${tool}-${layout} ${ARG_PAGE})
  endforeach()
endfunction()

# add_suite_test(<name> [FIRST] SOURCES <src...> LIBS <lib...>)
#
# One GoogleTest binary, kept out of build/bin, registered with CTest. Tests
# that run the suite's programs find them through SUITE_BIN_DIR.
function(add_suite_test name)
  if(NOT SUITE_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "FIRST" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${name} PRIVATE SUITE_BIN_DIR="${SUITE_BIN_DIR}")
  # FIRST: the binary holds the longest tests (whole generated games
  # extracted and rebuilt); CTest starts tests of a higher cost first, so
  # that on a fresh build, before it has timings of its own, they do not
  # end a parallel run alone.
  set(cost 0)
  if(ARG_FIRST)
    set(cost 100)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600 COST ${cost})
endfunction()
