# Fault injection through the file layer, and killing the real program while it saves.

if(BUILD_TESTING)
  # Every file fault at every step of a save, on a real directory and in memory.
  add_executable(vyr_hardening_tests tests/survey/file_faults_test.cpp)
  target_include_directories(vyr_hardening_tests PRIVATE tests)
  target_link_libraries(vyr_hardening_tests PRIVATE vyr_core vyr_posix vyr_memory vyr_fleet_model
                        GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vyr_hardening_tests TEST_PREFIX "hardening." DISCOVERY_TIMEOUT 60)

  # vyr-survey killed at random moments, inside its saves too, against the fleet simulator on the
  # fixed ports: every progress file left behind must be whole and resumable.
  add_test(NAME kill_during_save
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/crash/kill_during_save.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR})
  set_tests_properties(kill_during_save PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 300
                       SKIP_RETURN_CODE 77)
endif()
