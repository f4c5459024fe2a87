# The poll()-driven headless loop and its command-line front-end.

add_library(vyr_headless STATIC src/app/headless_loop.cpp)
target_link_libraries(vyr_headless PUBLIC vyr_core vyr_posix)

add_executable(vyr-survey tools/headless_survey.cpp)
target_link_libraries(vyr-survey PRIVATE vyr_headless vyr_memory)

if(BUILD_TESTING)
  add_executable(vyr_posix_tests tests/platform/udp_socket_test.cpp)
  target_include_directories(vyr_posix_tests PRIVATE tests)
  target_link_libraries(vyr_posix_tests PRIVATE vyr_posix GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vyr_posix_tests DISCOVERY_TIMEOUT 60)
endif()
