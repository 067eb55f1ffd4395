# Shared build rules for every Vantrel target.

set(VANTREL_WARNINGS -Wall -Wextra)
# Clang checks every lock against the annotations of
# platform/base/ThreadAnnotations.h; the beta group adds the lock order
# (ACQUIRED_AFTER / ACQUIRED_BEFORE).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND VANTREL_WARNINGS -Wthread-safety -Wthread-safety-beta)
endif()
if(VANTREL_WERROR)
  list(APPEND VANTREL_WARNINGS -Werror)
endif()

if(VANTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer build (clang): its own build folder, see ./run.
if(VANTREL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

find_package(Threads REQUIRED)

# vantrel_library(NAME [SOURCES ...] [DEPS ...])
# One static library per folder; the folder is its include root, so
# headers are included as "platform/base/HResult.h" from the source root.
function(vantrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
endfunction()

# vantrel_program(NAME SOURCES ... [DEPS ...])
function(vantrel_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# vantrel_shared(NAME SOURCES ... [DEPS ...]) for the client-side libraries.
function(vantrel_shared name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  set_target_properties(${name} PROPERTIES PREFIX "")
endfunction()

# vantrel_test(NAME SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT s])
# A GoogleTest program registered as one CTest test. Every test runs with a
# private registry and a private scratch folder, so it never touches a
# user's data: ZEL_REGISTRY_DIR and VANTREL_TEST_TMPDIR point into build/.
function(vantrel_test name)
  if(NOT VANTREL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set(scratch ${CMAKE_BINARY_DIR}/testdata/${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "ZEL_REGISTRY_DIR=${scratch}/registry;ZEL_MAPI_DIR=${scratch}/mapi;VANTREL_TEST_TMPDIR=${scratch}"
    LABELS "${ARG_LABELS}")
endfunction()

# vantrel_script_test(NAME COMMAND ... [LABELS ...] [TIMEOUT s])
# A test driven by a script (interop peers, end-to-end runs); same private
# environment as vantrel_test.
function(vantrel_script_test name)
  if(NOT VANTREL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  set(scratch ${CMAKE_BINARY_DIR}/testdata/${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "ZEL_REGISTRY_DIR=${scratch}/registry;ZEL_MAPI_DIR=${scratch}/mapi;VANTREL_TEST_TMPDIR=${scratch};VANTREL_BIN=${CMAKE_BINARY_DIR}/bin"
    LABELS "${ARG_LABELS}")
endfunction()

# vantrel_fuzz(NAME SOURCES ... [DEPS ...])
# With VANTREL_FUZZ and clang: a libFuzzer binary with address and
# undefined-behaviour checks, and a CTest test (label "fuzz") that runs it
# for a bounded time from the seeds in fuzz/corpus/NAME/. Static libraries
# among DEPS are compiled into the binary again with the fuzzer's coverage
# instrumentation, so the fuzzer sees their branches; everything else is
# linked as usual. Otherwise nothing is built.
function(vantrel_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT VANTREL_FUZZ OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  set(flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  set(sources ${ARG_SOURCES})
  set(links)
  foreach(dep IN LISTS ARG_DEPS)
    get_target_property(type ${dep} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      get_target_property(dep_sources ${dep} SOURCES)
      get_target_property(dep_dir ${dep} SOURCE_DIR)
      foreach(src IN LISTS dep_sources)
        if(NOT IS_ABSOLUTE ${src})
          set(src ${dep_dir}/${src})
        endif()
        list(APPEND sources ${src})
      endforeach()
      get_target_property(dep_links ${dep} INTERFACE_LINK_LIBRARIES)
      if(dep_links)
        list(APPEND links ${dep_links})
      endif()
    else()
      list(APPEND links ${dep})
    endif()
  endforeach()
  list(REMOVE_ITEM links ${ARG_DEPS})
  list(REMOVE_DUPLICATES links)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS} ${flags})
  target_link_options(${name} PRIVATE ${flags})
  target_link_libraries(${name} PRIVATE ${links} Threads::Threads)

  # New inputs go to a scratch folder in the build tree, never to the seeds.
  set(scratch ${CMAKE_BINARY_DIR}/fuzzdata/${name})
  file(MAKE_DIRECTORY ${scratch})
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=20 -rss_limit_mb=2048 -timeout=10 ${scratch}
            ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()
