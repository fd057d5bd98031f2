# vlx_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [TIMEOUT s] [LABELS l])
# Builds a GoogleTest executable and registers each of its tests with CTest.
# Tests find the build through VLX_BUILD_DIR and the source tree through
# VLX_SOURCE_DIR; GStreamer finds our plugins on GST_PLUGIN_PATH.
function(vlx_add_gtest name)
  if(NOT VLX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  set(env
    "VLX_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "VLX_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "GST_PLUGIN_PATH=${VLX_PLUGIN_DIR}"
    "GST_REGISTRY=${CMAKE_BINARY_DIR}/gst-registry.bin"
    "GST_REGISTRY_FORK=no"
    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  # The environment goes in through env(1) as the test launcher: a list in
  # the ENVIRONMENT property would be flattened by the discovery script.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "/usr/bin/env;${env}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
