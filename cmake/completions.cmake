# Bash completions of the commands, where bash-completion loads them when a command is first
# completed. vyr-report comes in the vyr-survey package.

set(VYR_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES packaging/completions/vyr-survey packaging/completions/vyr-report
        DESTINATION ${VYR_COMPLETIONS_DIR} COMPONENT vyr-survey)
install(FILES packaging/completions/vyr-fleet DESTINATION ${VYR_COMPLETIONS_DIR}
        COMPONENT vyr-fleet)

if(BUILD_TESTING)
  # Each file sourced in bash and a table of command lines completed with it.
  add_test(NAME bash_completions
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/completions/completions_test.sh
            ${PROJECT_SOURCE_DIR}/packaging/completions)
endif()
