# vyr-survey, from the same sources for Linux and Windows: its parts in a library the tests link
# too, argument parsing by CLI11 and JSON by nlohmann-json, both header-only from Debian.

if(WIN32)
  # Debian's packages put their headers in /usr/include beside glibc's, which a mingw build must
  # not see; only their two folders are linked into the build folder and put on the path.
  find_path(VYR_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  find_path(VYR_JSON_HEADERS nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT VYR_CLI11_HEADERS OR NOT VYR_JSON_HEADERS)
    message(FATAL_ERROR "vyr-survey needs Debian's libcli11-dev and nlohmann-json3-dev")
  endif()
  set(header_only ${PROJECT_BINARY_DIR}/header_only)
  file(MAKE_DIRECTORY ${header_only})
  file(CREATE_LINK ${VYR_CLI11_HEADERS}/CLI ${header_only}/CLI SYMBOLIC)
  file(CREATE_LINK ${VYR_JSON_HEADERS}/nlohmann ${header_only}/nlohmann SYMBOLIC)
  add_library(vyr_header_only INTERFACE)
  target_include_directories(vyr_header_only SYSTEM INTERFACE ${header_only})
  add_library(CLI11::CLI11 ALIAS vyr_header_only)
  add_library(nlohmann_json::nlohmann_json ALIAS vyr_header_only)
  set(VYR_COMMAND_SYSTEM tools/survey_command/winsock_loop.cpp tools/survey_command/driver_loop.cpp
      src/platform/win32/win32_console.cpp src/platform/win32/win32_output_file.cpp)
  set(VYR_COMMAND_PLATFORM vyr_win32 shell32)
else()
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json 3.10 REQUIRED)
  set(VYR_COMMAND_SYSTEM src/platform/posix/posix_console.cpp
      src/platform/posix/posix_output_file.cpp)
  # vyr_headless: the poll() loop, which the benchmarks and loopback tests use too.
  set(VYR_COMMAND_PLATFORM vyr_headless)
endif()

add_library(vyr_survey_command STATIC
  tools/survey_command/survey_options.cpp
  tools/survey_command/progress_line.cpp
  tools/survey_command/finished_units.cpp
  tools/survey_command/list_file_rows.cpp
  tools/survey_command/unfinished_units.cpp
  tools/survey_command/unit_json.cpp
  tools/survey_command/save_words.cpp
  tools/survey_command/stderr_output.cpp
  ${VYR_COMMAND_SYSTEM}
)
target_include_directories(vyr_survey_command PUBLIC tools)
target_compile_definitions(vyr_survey_command PRIVATE VYR_VERSION="${PROJECT_VERSION}")
target_link_libraries(vyr_survey_command PUBLIC vyr_core ${VYR_COMMAND_PLATFORM} PRIVATE
                      CLI11::CLI11 nlohmann_json::nlohmann_json)

add_executable(vyr-survey tools/survey_command/main.cpp)
target_link_libraries(vyr-survey PRIVATE vyr_survey_command vyr_memory)

# The command's own parts under test (options, progress line, finished-unit count, JSON, output
# file), the same on both systems; the caller registers the tests its way.
function(vyr_add_command_tests)
  add_executable(vyr_command_tests
    tests/command/survey_options_test.cpp
    tests/command/progress_line_test.cpp
    tests/command/finished_units_test.cpp
    tests/command/list_file_rows_test.cpp
    tests/command/unit_json_test.cpp
    tests/command/save_words_test.cpp
    tests/command/output_file_test.cpp
  )
  target_include_directories(vyr_command_tests PRIVATE tests)
  target_link_libraries(vyr_command_tests PRIVATE vyr_survey_command vyr_memory vyr_fleet_model
                        nlohmann_json::nlohmann_json GTest::gtest GTest::gtest_main)
endfunction()
