# A long survey on a hostile network: loss, duplicates, reordering, late replies of an earlier
# survey and a flood of noise, against the fleet simulator over loopback UDP. The short case runs
# with the other tests; scripts/soak runs the long one.

if(BUILD_TESTING)
  add_executable(vyr_soak_tests tests/soak/hostile_network_test.cpp)
  target_include_directories(vyr_soak_tests PRIVATE tests)
  target_link_libraries(vyr_soak_tests PRIVATE vyr_headless vyr_memory vyr_fleet_sim
                        GTest::gtest GTest::gtest_main)
  gtest_discover_tests(vyr_soak_tests DISCOVERY_TIMEOUT 60
    PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 900)
endif()
