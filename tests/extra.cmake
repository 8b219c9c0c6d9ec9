# Replays of the fuzz corpora (fuzz/corpus/<target>) in the normal build,
# without libFuzzer: each fuzz target linked with fuzz/replay.cpp.
foreach(target api names)
  add_executable(replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/${target}Fuzzer.cpp
                                  ${PROJECT_SOURCE_DIR}/fuzz/replay.cpp)
  target_link_libraries(replay_${target} PRIVATE dfq_internal)
  target_compile_options(replay_${target} PRIVATE ${DFQ_WARNINGS})
  add_test(NAME fuzz_replay_${target}
           COMMAND replay_${target} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${target})
endforeach()
