# Checks that the committed seeds are exactly what fuzz-seeds writes today:
# every seed it makes is committed unchanged, and no committed seed is one it
# no longer makes.
#
#     cmake -DSEEDS=<fuzz-seeds> -DOUT=<scratch dir> -DCORPUS=<fuzz/corpus> -P check_seeds.cmake
#
# EMULATOR: what runs the program in a cross build (wine), if anything.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${EMULATOR} ${SEEDS} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzz-seeds failed (${rc})")
endif()
file(GLOB_RECURSE made RELATIVE ${OUT} ${OUT}/*)
file(GLOB_RECURSE committed RELATIVE ${CORPUS} ${CORPUS}/*/seed-*)
if(NOT made)
  message(FATAL_ERROR "fuzz-seeds wrote nothing")
endif()
foreach(seed IN LISTS made)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/${seed} ${CORPUS}/${seed}
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${CORPUS}/${seed} is missing or differs from what fuzz-seeds writes")
  endif()
endforeach()
foreach(seed IN LISTS committed)
  if(NOT seed IN_LIST made)
    message(FATAL_ERROR "${CORPUS}/${seed} is committed but fuzz-seeds no longer writes it")
  endif()
endforeach()
list(LENGTH made count)
message(STATUS "${count} seeds match")
