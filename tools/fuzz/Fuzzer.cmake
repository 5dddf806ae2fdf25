# softphone_fuzzer(NAME SOURCE...): the libFuzzer target NAME_fuzzer, which scripts/fuzz.sh
# builds and runs with NAME/corpus/. The libraries it links should be built with
# -fsanitize=fuzzer-no-link,address,undefined (fuzz.sh configures that) so the fuzzer sees
# their coverage and their memory errors.
function(softphone_fuzzer name)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SOFTPHONE_FUZZ needs clang (libFuzzer)")
  endif()
  add_executable(${name}_fuzzer ${ARGN})
  target_include_directories(${name}_fuzzer PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name}_fuzzer PRIVATE softphone_warnings)
endfunction()
