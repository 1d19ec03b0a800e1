# Shared build settings, applied per target through vm_build_flags; no global flag edits.
add_library(vm_build_flags INTERFACE)
target_compile_features(vm_build_flags INTERFACE cxx_std_20)
target_compile_options(vm_build_flags INTERFACE -Wall -Wextra)
# Warnings are errors in the project's own targets and CI (VM_WERROR=ON there); a plain
# user build must not fail on a compiler's false positive.
if(VM_WERROR)
  target_compile_options(vm_build_flags INTERFACE -Werror)
endif()

if(VM_SANITIZE STREQUAL "address")
  target_compile_options(vm_build_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(vm_build_flags INTERFACE -fsanitize=address,undefined)
elseif(VM_SANITIZE STREQUAL "thread")
  target_compile_options(vm_build_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(vm_build_flags INTERFACE -fsanitize=thread)
elseif(NOT VM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VM_SANITIZE must be empty, 'address' or 'thread', not '${VM_SANITIZE}'")
endif()

# Fuzzing: every target gets coverage instrumentation and ASan+UBSan; only the fuzz
# executables link the libFuzzer runtime (fuzz/CMakeLists.txt).
if(VM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT VM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VM_FUZZ needs clang (CC=clang CXX=clang++) and no VM_SANITIZE")
  endif()
  target_compile_options(vm_build_flags INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(vm_build_flags INTERFACE -fsanitize=address,undefined)
endif()

# vm_add_test(NAME SOURCES ... LIBS ... LABELS ... [COST n]): one GoogleTest executable run
# through CTest. COST marks long tests, which a parallel run on a fresh checkout (no timing
# history yet) then starts first instead of leaving them for a one-core tail.
function(vm_add_test name)
  cmake_parse_arguments(T "" "COST" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vm_build_flags GTest::gtest_main ${T_LIBS})
  # GCC 12 at -O3 reports false -Wrestrict and -Wmaybe-uninitialized warnings in inlined
  # std::string code (operator+ from a literal, assignment to a member string), which test
  # code uses freely to build its texts; the library's own code is fixed instead.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-restrict -Wno-maybe-uninitialized)
  endif()
  if(NOT T_COST)
    set(T_COST 0)
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" COST ${T_COST} DISCOVERY_TIMEOUT 60)
endfunction()
