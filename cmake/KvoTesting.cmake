# kvo_add_gtest(NAME LIBS...): one GoogleTest program from every *.cpp of the calling
# tests/ folder, linked against the module libraries it tests, each case registered with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(kvo_add_gtest name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KVO_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    KVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KVO_TEST_TMP="${CMAKE_BINARY_DIR}/testtmp")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 300)
endfunction()

# The module boundaries hold: a file may include the headers of the modules its library
# links and no others. The probes link kvo_config only; those including an HTTP or a TCP
# server header must fail to compile for want of that header, the control must build.
foreach(probe declared undeclared undeclared_server)
  add_executable(kvo_include_${probe} EXCLUDE_FROM_ALL
                 ${CMAKE_SOURCE_DIR}/cmake/include-check/${probe}.cpp)
  target_link_libraries(kvo_include_${probe} PRIVATE kvo_config)
  add_test(NAME ModuleBoundary.${probe}
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target kvo_include_${probe})
endforeach()
set_tests_properties(ModuleBoundary.undeclared PROPERTIES
                     PASS_REGULAR_EXPRESSION "http/HttpParser.h: No such file"
                     DEPENDS ModuleBoundary.declared)
set_tests_properties(ModuleBoundary.undeclared_server PROPERTIES
                     PASS_REGULAR_EXPRESSION "server/GenericServer.h: No such file"
                     DEPENDS ModuleBoundary.declared)
