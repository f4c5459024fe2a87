# The poll()-driven headless loop and its command-line front-end.

add_library(vyr_headless STATIC tools/survey_command/poll_loop.cpp
            tools/survey_command/driver_loop.cpp)
target_include_directories(vyr_headless PUBLIC tools)
target_link_libraries(vyr_headless PUBLIC vyr_core vyr_posix)

include(cmake/survey_command.cmake)

if(BUILD_TESTING)
  add_executable(vyr_posix_tests tests/platform/udp_socket_test.cpp
                 tests/platform/udp_socket_contract.cpp)
  target_include_directories(vyr_posix_tests PRIVATE tests)
  target_link_libraries(vyr_posix_tests PRIVATE vyr_posix GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vyr_posix_tests DISCOVERY_TIMEOUT 60)
endif()

if(BUILD_TESTING)
  # The parts of vyr-survey: its command line, progress line, finished-unit count and JSON.
  vyr_add_command_tests()
  gtest_discover_tests(vyr_command_tests DISCOVERY_TIMEOUT 60)

  # The built vyr-survey against the fleet simulator on the fixed ports: exit statuses, FIFOs,
  # JSON and progress output.
  add_executable(vyr_command_process_tests tests/command/survey_process_test.cpp)
  target_include_directories(vyr_command_process_tests PRIVATE tests)
  target_compile_definitions(vyr_command_process_tests PRIVATE
    VYR_SURVEY_PROGRAM="$<TARGET_FILE:vyr-survey>")
  add_dependencies(vyr_command_process_tests vyr-survey)
  target_link_libraries(vyr_command_process_tests PRIVATE vyr_fleet_sim
                        nlohmann_json::nlohmann_json GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vyr_command_process_tests DISCOVERY_TIMEOUT 60
    PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 300)
endif()
