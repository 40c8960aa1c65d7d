# Project-wide compile settings and helpers for libraries, tests, fuzzers and benchmarks.

add_library(qk_options INTERFACE)
target_compile_options(qk_options INTERFACE
  -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers
  # Pool tags are written as on the target ('wNCK' holds the bytes "KCNw"); GCC and
  # the target compiler agree on the value of multi-character constants.
  -Wno-multichar)
if(QK_WERROR)
  target_compile_options(qk_options INTERFACE -Werror)
endif()
target_include_directories(qk_options INTERFACE
  ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/platform/include)

if(QK_SANITIZE)
  string(REPLACE "," ";" _qk_sanitizers "${QK_SANITIZE}")
  set(_qk_san_flags "-fsanitize=${QK_SANITIZE}" -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_qk_san_flags})
  add_link_options("-fsanitize=${QK_SANITIZE}")
endif()

if(QK_FUZZ)
  # Every library gets coverage instrumentation; only fuzz targets link the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# qk_add_library(name [STATIC|INTERFACE] SOURCES ... DEPS ...)
function(qk_add_library name)
  cmake_parse_arguments(A "INTERFACE" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  if(A_INTERFACE)
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE qk_options ${A_DEPS})
  else()
    add_library(${name} STATIC ${A_SOURCES})
    target_link_libraries(${name} PUBLIC qk_options ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
  endif()
endfunction()

# All concurrency tests are collected so that the ThreadSanitizer build can
# build and run just them.
add_custom_target(qk_concurrency_tests)
add_custom_target(qk_all_tests)

# qk_add_test(name SOURCES ... DEPS ... [CONCURRENCY] [LABELS ...] [TIMEOUT s])
function(qk_add_test name)
  cmake_parse_arguments(A "CONCURRENCY" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE qk_options ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(labels unit ${A_LABELS})
  if(A_CONCURRENCY)
    list(APPEND labels concurrency)
    add_dependencies(qk_concurrency_tests ${name})
  endif()
  add_dependencies(qk_all_tests ${name})
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT})
endfunction()

# qk_add_fuzzer(name SOURCES ... DEPS ... [CORPUS dir])
# Built only with QK_FUZZ; the corpus directory (checked in) is replayed by the test run.
function(qk_add_fuzzer name)
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  if(NOT QK_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE qk_options ${A_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  set_property(GLOBAL APPEND PROPERTY QK_FUZZERS "${name}|${A_CORPUS}")
endfunction()

# qk_add_bench(name SOURCES ... DEPS ...)
function(qk_add_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT QK_BENCH OR QK_SANITIZE OR QK_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE qk_options ${A_DEPS} benchmark::benchmark)
endfunction()

# qk_cli_link(lib ...): libraries the qk0340 command's cmd_*.cpp files need.
function(qk_cli_link)
  set_property(GLOBAL APPEND PROPERTY QK_CLI_LIBS ${ARGN})
endfunction()

# qk_add_driver_module(name OUTPUT file SOURCES ...): a loadable driver or
# library module with the target's file name ("K0340Dev.sys"). Its platform
# calls resolve against the executable that loads it (see qk_can_load_modules).
# Everything the module defines binds inside the module (hidden, symbolic),
# so an executable that carries its own copy of the same code never
# interposes; only DriverEntry, marked for export in the source, is visible.
# Modules land beside the qk0340 command, which installs them from there.
set(QK_MODULE_DIR ${CMAKE_BINARY_DIR}/tools/qk0340)
function(qk_add_driver_module name)
  cmake_parse_arguments(A "" "OUTPUT" "SOURCES;DEPS" ${ARGN})
  add_library(${name} MODULE ${A_SOURCES})
  target_link_libraries(${name} PRIVATE qk_options ${A_DEPS})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${A_OUTPUT}
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${QK_MODULE_DIR})
  target_link_options(${name} PRIVATE "LINKER:-Bsymbolic" "LINKER:--exclude-libs,ALL")
endfunction()

# qk_can_load_modules(target [libs...]): the executable exports the whole
# platform (the libraries named, by default the kernel side) so that modules it
# loads find every service, not only those the executable uses itself.
function(qk_can_load_modules target)
  set(libs ${ARGN})
  if(NOT libs)
    set(libs qk_nt_debug qk_machine qk_nt qk_registry qk_pnp)
  endif()
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  set(files)
  foreach(lib ${libs})
    list(APPEND files $<TARGET_FILE:${lib}>)
  endforeach()
  target_link_options(${target} PRIVATE "LINKER:--whole-archive" ${files} "LINKER:--no-whole-archive")
  target_link_libraries(${target} PRIVATE ${libs})
endfunction()
