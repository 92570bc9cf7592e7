# kvo_add_fuzzer(NAME SOURCES files... LIBS libs... CORPUS dir [DICT file]): one fuzzing harness
# (a file defining LLVMFuzzerTestOneInput).
# - KVO_FUZZ on (clang): the libFuzzer program fuzz_NAME, sanitizers on; scripts/fuzz.sh runs it.
# - otherwise, with the tests: replay_NAME, which feeds every file of CORPUS to the harness once,
#   registered as the test Fuzz.NAME (no fuzzing engine needed).
function(kvo_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS;DICT" "SOURCES;LIBS" ${ARGN})
  if(KVO_FUZZ)
    add_executable(fuzz_${name} ${F_SOURCES})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    set(target fuzz_${name})
    # Where scripts/fuzz.sh finds the seeds and the dictionary of each harness.
    file(WRITE ${CMAKE_BINARY_DIR}/fuzzers/${name} "${F_CORPUS}\n${F_DICT}\n")
  elseif(BUILD_TESTING)
    add_executable(replay_${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/ReplayMain.cpp)
    set(target replay_${name})
    add_test(NAME Fuzz.${name} COMMAND replay_${name} ${F_CORPUS})
    set_tests_properties(Fuzz.${name} PROPERTIES TIMEOUT 300)
  else()
    return()
  endif()
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  target_compile_definitions(${target} PRIVATE KVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endfunction()
