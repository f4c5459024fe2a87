# Fuzz targets. Each target's source defines LLVMFuzzerTestOneInput over one of the tool's inputs.
#
# With VYR_FUZZ=ON (clang only) they are built as libFuzzer programs, vyr_fuzz_<name>, with
# AddressSanitizer and UndefinedBehaviorSanitizer; the whole tree is then instrumented for
# coverage. In every build with tests, vyr_replay_<name> runs the same code over the committed
# corpus and crash reproducers under tests/fuzz, as a test.

set(VYR_FUZZ_TARGETS frame_codec list_file progress_file receiver)
set(VYR_FUZZ_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz)

function(vyr_fuzz_link target name)
  target_include_directories(${target} PRIVATE tests)
  target_link_libraries(${target} PRIVATE vyr_core vyr_memory)
  if(name STREQUAL "receiver")
    target_link_libraries(${target} PRIVATE vyr_fleet_model)
  endif()
endfunction()

if(VYR_FUZZ)
  add_custom_target(vyr_fuzz)
  foreach(name IN LISTS VYR_FUZZ_TARGETS)
    add_executable(vyr_fuzz_${name} ${VYR_FUZZ_DIR}/${name}_fuzz.cpp)
    vyr_fuzz_link(vyr_fuzz_${name} ${name})
    target_link_options(vyr_fuzz_${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(vyr_fuzz vyr_fuzz_${name})
  endforeach()
  add_executable(vyr-fuzz-seeds ${VYR_FUZZ_DIR}/make_seeds.cpp)
  vyr_fuzz_link(vyr-fuzz-seeds seeds)
  target_link_libraries(vyr-fuzz-seeds PRIVATE vyr_fleet_model)
  add_dependencies(vyr_fuzz vyr-fuzz-seeds)
endif()

if(BUILD_TESTING AND NOT VYR_FUZZ)
  foreach(name IN LISTS VYR_FUZZ_TARGETS)
    add_executable(vyr_replay_${name} ${VYR_FUZZ_DIR}/${name}_fuzz.cpp ${VYR_FUZZ_DIR}/replay_main.cpp)
    vyr_fuzz_link(vyr_replay_${name} ${name})
    set(inputs ${VYR_FUZZ_DIR}/corpus/${name})
    if(EXISTS ${VYR_FUZZ_DIR}/crashes/${name})
      list(APPEND inputs ${VYR_FUZZ_DIR}/crashes/${name})
    endif()
    add_test(NAME fuzz_corpus_${name} COMMAND vyr_replay_${name} ${inputs})
  endforeach()
endif()
