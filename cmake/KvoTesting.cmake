# kvo_add_gtest(NAME): one GoogleTest program from every *.cpp of the calling
# tests/ folder, linked against the library, each case registered with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(kvo_add_gtest name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE kvoomx GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KVO_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    KVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KVO_TEST_TMP="${CMAKE_BINARY_DIR}/testtmp")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 300)
endfunction()
