# Everything that exists only in the Windows build: the Win32 platform layer, the dialog program
# vyrmodel.exe, the console driver vyr-survey.exe, the package folder, and the tests, which CTest
# runs under Wine. The portable targets (vyr_core, vyr_memory) come from the top-level file.

enable_language(RC)

# Plain ASCII and wide calls are named explicitly; the headers' short forms stay out of the way.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_library(vyr_win32 STATIC
  src/platform/win32/win32_clock.cpp
  src/platform/win32/win32_files.cpp
  src/platform/win32/win32_udp_socket.cpp
)
target_link_libraries(vyr_win32 PUBLIC vyr_platform ws2_32)

# The dialog, its list box, and its messages turned into the survey driver's verbs.
add_library(vyr_win32_app STATIC
  src/app/win32/win32_dialog.cpp
  src/app/win32/list_box.cpp
  src/app/win32/main_window.cpp
)
target_link_libraries(vyr_win32_app PUBLIC vyr_core vyr_win32 user32 gdi32)

set(VYR_MAIN_TEMPLATE ${PROJECT_SOURCE_DIR}/src/app/win32/main_dialog.rc)

add_executable(vyrmodel WIN32 src/app/win32/main.cpp ${VYR_MAIN_TEMPLATE})
target_link_libraries(vyrmodel PRIVATE vyr_win32_app)
target_link_options(vyrmodel PRIVATE -municode)

# The dialog surveying a fleet over loopback under Wine (scripts/bench-win32-dialog runs it).
if(VYR_BENCHMARKS)
  add_executable(vyr_win32_dialog_survey_bench bench/win32_dialog_survey_bench.cpp
                 ${VYR_MAIN_TEMPLATE})
  target_link_libraries(vyr_win32_dialog_survey_bench PRIVATE vyr_win32_app psapi)
endif()

# The same survey without a window, from the Linux command's sources, for scripts and for the
# loopback tests against vyr-fleet.
include(cmake/survey_command.cmake)
# vyr-report.exe, from the Linux command's sources.
add_subdirectory(tools/report)

# The Windows folder: the dialog, the two console commands and a short README; `cpack` zips it.
# Each .exe is linked statically and needs nothing beside it.
install(TARGETS vyrmodel vyr-survey vyr-report RUNTIME DESTINATION .)
install(FILES docs/windows/README.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_FILE_NAME vyrmodel-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

include(CTest)
if(NOT BUILD_TESTING)
  return()
endif()

# GoogleTest from Debian's sources, built with this toolchain.
set(VYR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VYR_GOOGLETEST_SOURCE} googletest EXCLUDE_FROM_ALL)
# Its own code is not held to this project's warnings.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
include(GoogleTest)

# Every test program runs under Wine in a prefix of this build folder (see tests/win32/wine_run.sh).
set(VYR_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${PROJECT_SOURCE_DIR}/tests/win32/wine_run.sh ${VYR_WINEPREFIX})
set(VYR_WINE_RUN ${CMAKE_CROSSCOMPILING_EMULATOR})

# The native Linux build that holds vyr-fleet and vyr-survey, for the loopback and Xvfb tests.
set(VYR_LINUX_BUILD "" CACHE PATH "A Linux build folder of this tree (for vyr-fleet)")

function(vyr_wine_tests target)
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 ${ARGN}
    PROPERTIES FIXTURES_REQUIRED wine)
endfunction()

# The core's own tests, built for Windows: they need only the core and the in-memory platform.
add_library(vyr_fleet_model STATIC tools/fleet/fleet_model.cpp tools/fleet/fleet_units_file.cpp)
target_include_directories(vyr_fleet_model PUBLIC tools)
target_link_libraries(vyr_fleet_model PUBLIC vyr_core)

add_executable(vyr_core_tests ${VYR_CORE_TEST_SOURCES})
target_include_directories(vyr_core_tests PRIVATE tests)
target_link_libraries(vyr_core_tests PRIVATE vyr_core vyr_memory vyr_fleet_model GTest::gtest
                      GTest::gtest_main)
vyr_wine_tests(vyr_core_tests TEST_PREFIX "win32.")

# The Win32 platform layer: files and directory, socket and clock.
add_executable(vyr_win32_tests
  tests/win32/win32_files_test.cpp
  tests/platform/file_system_contract.cpp
  tests/win32/win32_udp_socket_test.cpp
  tests/platform/udp_socket_contract.cpp
)
target_include_directories(vyr_win32_tests PRIVATE tests)
target_link_libraries(vyr_win32_tests PRIVATE vyr_core vyr_win32 vyr_memory GTest::gtest
                      GTest::gtest_main)
vyr_wine_tests(vyr_win32_tests TEST_PREFIX "win32.")

# The dialog from its template, its routing and its list box.
add_executable(vyr_win32_dialog_tests tests/win32/main_dialog_test.cpp ${VYR_MAIN_TEMPLATE})
target_include_directories(vyr_win32_dialog_tests PRIVATE tests)
target_link_libraries(vyr_win32_dialog_tests PRIVATE vyr_win32_app GTest::gtest GTest::gtest_main)
vyr_wine_tests(vyr_win32_dialog_tests TEST_PREFIX "win32.")

# A survey of vyr-fleet (native Linux) by vyr-survey.exe under Wine, against the Linux vyr-survey.
add_test(NAME win32.loopback_survey
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/win32/loopback_survey.sh ${VYR_WINE_RUN}
          $<TARGET_FILE:vyr-survey> ${VYR_LINUX_BUILD} ${PROJECT_SOURCE_DIR})
set_tests_properties(win32.loopback_survey PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 600
                     FIXTURES_REQUIRED wine)

# The command's own parts built for Windows: its options, progress line, JSON and output file.
vyr_add_command_tests()
vyr_wine_tests(vyr_command_tests TEST_PREFIX "win32.")

# The Linux command tests (from the Linux build) against vyr-survey.exe under Wine: the same cases,
# those without a Windows meaning skipped with their reason.
list(JOIN VYR_WINE_RUN "|" wine_run_words)
add_test(NAME win32.command_process_tests
  COMMAND ${CMAKE_COMMAND} -E env "VYR_SURVEY_COMMAND=${wine_run_words}|$<TARGET_FILE:vyr-survey>"
          ${VYR_LINUX_BUILD}/vyr_command_process_tests)
set_tests_properties(win32.command_process_tests PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 600
                     FIXTURES_REQUIRED wine)

# vyrmodel.exe on an X display, driven from the keyboard, against vyr-fleet and the Linux
# vyr-survey.
add_test(NAME win32.dialog_under_xvfb
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/win32/dialog_smoke_test.sh ${VYR_WINE_RUN}
          $<TARGET_FILE:vyrmodel> ${VYR_LINUX_BUILD} ${PROJECT_SOURCE_DIR})
# It runs alone: the dialog tests' windows on the same display would take the keyboard's focus.
set_tests_properties(win32.dialog_under_xvfb PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 300
                     FIXTURES_REQUIRED wine RUN_SERIAL TRUE)

# Wine's server, started by the first test, goes when the last one is done.
add_test(NAME win32.stop_wineserver
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${VYR_WINEPREFIX} sh -c "wineserver -k || true")
set_tests_properties(win32.stop_wineserver PROPERTIES FIXTURES_CLEANUP wine)
