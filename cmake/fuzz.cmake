# tavo_fuzz_target(name SOURCES ... LIBS ...): a libFuzzer entry point (LLVMFuzzerTestOneInput).
# Normal builds link it with a replay driver and register a test that runs the kept corpus
# fuzz/corpus/<name>/ through it (under the sandbox). A clang build with -DTAVO_FUZZ=ON links
# it with libFuzzer for real campaigns: build-fuzz/<name> fuzz/corpus/<name> -runs=N.
option(TAVO_FUZZ "Build libFuzzer targets (needs clang)" OFF)
if(TAVO_FUZZ)
  set(TAVO_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_compile_options(${TAVO_FUZZ_FLAGS})
  add_link_options(-fsanitize=address,undefined)
  # Directory options reach only targets defined from here on; the toolkit library is older,
  # and without this its parsers would run neither instrumented for coverage nor sanitised.
  foreach(layer IN LISTS BASEKIT_LAYERS)
    target_compile_options(${layer} PRIVATE ${TAVO_FUZZ_FLAGS})
  endforeach()
endif()

function(tavo_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(TAVO_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    file(MAKE_DIRECTORY ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    add_test(NAME ${name}.corpus
             COMMAND ${TAVO_SANDBOX} $<TARGET_FILE:${name}> ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(${name}.corpus PROPERTIES TIMEOUT 300)
  endif()
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()

# Targets whose owners have no cmake file of their own here. Registered once every area has
# defined its libraries (deferred to the end of the top directory), and only where the
# library exists.
function(tavo_fuzz_own_targets)
  tavo_fuzz_target(KConfigReaderFuzz SOURCES fuzz/KConfigReaderFuzz.cpp LIBS basekit)
  if(TARGET tavo_files)
    tavo_fuzz_target(SystemConfigFuzz SOURCES fuzz/SystemConfigFuzz.cpp LIBS tavo_files)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL tavo_fuzz_own_targets)
