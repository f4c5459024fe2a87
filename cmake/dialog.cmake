# The operator's dialog on Qt 6 Widgets and the program vyrmodel.

find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_library(vyr_dialog STATIC
  src/app/qt/device_list.cpp
  src/app/qt/main_dialog.cpp
)
set_target_properties(vyr_dialog PROPERTIES AUTOMOC ON)
target_link_libraries(vyr_dialog PUBLIC vyr_core vyr_posix Qt6::Widgets)
# The core has a member named `slots`; Qt's keywords stay macros with a Q_ prefix.
target_compile_definitions(vyr_dialog PUBLIC QT_NO_KEYWORDS)

add_executable(vyrmodel src/app/qt/main.cpp)
target_link_libraries(vyrmodel PRIVATE vyr_dialog)
install(TARGETS vyrmodel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vyrmodel)

if(BUILD_TESTING)
  add_executable(vyr_dialog_tests
    tests/app/qt_test_main.cpp
    tests/app/dialog_units_test.cpp
    tests/app/main_dialog_test.cpp
    tests/app/dialog_survey_test.cpp
    tests/app/dialog_fifo_test.cpp
  )
  target_include_directories(vyr_dialog_tests PRIVATE tests)
  target_link_libraries(vyr_dialog_tests PRIVATE vyr_dialog vyr_memory vyr_fleet_sim Qt6::Test
                        GTest::gtest)
  # The offscreen platform needs no display; the whole-survey cases bind the fixed ports.
  gtest_discover_tests(vyr_dialog_tests DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen RESOURCE_LOCK fixed_ports TIMEOUT 300)
endif()

# Pictures of the dialog under Xvfb, for the README and for looking at what a test saw.
add_executable(vyr-grab-window tools/grab_window.cpp)
target_link_libraries(vyr-grab-window PRIVATE Qt6::Gui)

if(BUILD_TESTING)
  # The built program on a virtual X display, driven from the keyboard with xdotool.
  add_test(NAME dialog_under_xvfb
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/xvfb/smoke_test.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR})
  set_tests_properties(dialog_under_xvfb PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 180)
endif()
