# tilo_sources(<var> <dir>): the .cpp files of one source folder (not recursive).
function(tilo_sources var dir)
  file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(${var} ${found} PARENT_SCOPE)
endfunction()

# tilo_test(<name> <dir> LIBS ...): one GoogleTest executable from every .cpp under dir.
function(tilo_test name dir)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${dir})
  target_compile_definitions(${name} PRIVATE
    TILO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TILO_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/tests/data"
    TILO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LANG=de_DE.UTF-8" TIMEOUT 60)
endfunction()
