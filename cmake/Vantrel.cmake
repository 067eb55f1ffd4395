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
  # A module's entry points are called by ordinal through the caller's own
  # declaration, which names its own opaque types for the module's objects
  # (the store provider's view of a client logon): the same ABI, but clang's
  # function-type check counts it as a mismatch.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options(-fno-sanitize=function)
  endif()
endif()

# ThreadSanitizer build (clang): its own build folder, see ./run.
if(VANTREL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

find_package(Threads REQUIRED)

# Programs find the shared libraries beside them: build/bin/X loads
# build/lib/libY.so through $ORIGIN/../lib, a library or module in build/lib
# through $ORIGIN, so nothing needs LD_LIBRARY_PATH.
set(CMAKE_BUILD_WITH_INSTALL_RPATH ON)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../lib;$ORIGIN")

# What a shared platform library shows: its namespace and the platform's
# published C names (vantrel.map); everything else stays inside it.
set(VANTREL_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/vantrel.map)

# Every target of the tree, for the layer check at the end of the configure.
set_property(GLOBAL PROPERTY VANTREL_TARGETS)
function(_vantrel_record name)
  set_property(GLOBAL APPEND PROPERTY VANTREL_TARGETS ${name})
endfunction()

# vantrel_library(NAME [SHARED] [SOURCES ...] [DEPS ...])
# One library; the source root is its include root, so headers are included
# as "platform/base/HResult.h". SHARED makes a shared library (the platform:
# one copy per process for every module it loads); otherwise static.
function(vantrel_library name)
  cmake_parse_arguments(ARG "SHARED" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    if(ARG_SHARED)
      add_library(${name} SHARED ${ARG_SOURCES})
      target_link_options(${name} PRIVATE "LINKER:--version-script=${VANTREL_EXPORTS_MAP}")
      set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${VANTREL_EXPORTS_MAP})
      # Every symbol a library uses comes from a library it names (the
      # sanitizers' runtimes live in the program, so not with them).
      if(NOT VANTREL_SANITIZE AND NOT VANTREL_TSAN)
        target_link_options(${name} PRIVATE "LINKER:--no-undefined")
      endif()
    else()
      add_library(${name} STATIC ${ARG_SOURCES})
    endif()
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
  _vantrel_record(${name})
endfunction()

# vantrel_module(NAME SOURCES ... [DEPS ...])
# A module loaded at run time (dlopen), using the process's platform
# libraries rather than copies of its own.
function(vantrel_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  set_target_properties(${name} PROPERTIES PREFIX "")
  _vantrel_record(${name})
endfunction()

# vantrel_program(NAME SOURCES ... [DEPS ...])
function(vantrel_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  _vantrel_record(${name})
endfunction()

# vantrel_shared(NAME SOURCES ... [DEPS ...]) for the client-side libraries.
function(vantrel_shared name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  set_target_properties(${name} PROPERTIES PREFIX "")
  _vantrel_record(${name})
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
  _vantrel_record(${name})
  # Left out of a check build's VANTREL_ONLY_TESTS: defined (so the rules
  # that name it still hold) but neither built by default nor registered.
  if(VANTREL_ONLY_TESTS AND NOT name IN_LIST VANTREL_ONLY_TESTS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set(scratch ${CMAKE_BINARY_DIR}/testdata/${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "ZEL_REGISTRY_DIR=${scratch}/registry;ZEL_MAPI_DIR=${scratch}/mapi;VANTREL_TEST_TMPDIR=${scratch};ZEL_WIN_DIR=${scratch}/win"
    LABELS "${ARG_LABELS}")
endfunction()

# vantrel_script_test(NAME COMMAND ... [LABELS ...] [TIMEOUT s])
# A test driven by a script (interop peers, end-to-end runs); same private
# environment as vantrel_test.
function(vantrel_script_test name)
  if(NOT VANTREL_TESTS OR (VANTREL_ONLY_TESTS AND NOT name IN_LIST VANTREL_ONLY_TESTS))
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
# for a bounded time from the seeds in fuzz/corpus/NAME/. The libraries
# named in DEPS (static or shared) are compiled into the binary again with
# the fuzzer's coverage instrumentation, so the fuzzer sees their branches;
# what they link to is linked as usual (the other platform libraries stay
# shared, one copy each). Otherwise nothing is built.
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
    if(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
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
  _vantrel_record(${name})

  # New inputs go to a scratch folder in the build tree, never to the seeds.
  set(scratch ${CMAKE_BINARY_DIR}/fuzzdata/${name})
  file(MAKE_DIRECTORY ${scratch})
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=20 -rss_limit_mb=2048 -timeout=10 ${scratch}
            ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()

# The folder of VANTREL_FOLDERS a source folder belongs to (the longest that
# contains it), as its index in the list; -1 outside every listed folder.
function(_vantrel_layer dir out)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${dir})
  set(best -1)
  set(best_len 0)
  set(i 0)
  foreach(folder IN LISTS VANTREL_FOLDERS)
    string(LENGTH "${folder}" len)
    if((rel STREQUAL folder OR rel MATCHES "^${folder}/") AND len GREATER best_len)
      set(best ${i})
      set(best_len ${len})
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  set(${out} ${best} PARENT_SCOPE)
endfunction()

# vantrel_check_layers(): a target may link only to targets of its own
# folder or of a folder listed before it in VANTREL_FOLDERS. Called once,
# after every folder is added, so links made with target_link_libraries
# outside the helpers are checked too.
function(vantrel_check_layers)
  get_property(targets GLOBAL PROPERTY VANTREL_TARGETS)
  set(errors)
  foreach(target IN LISTS targets)
    get_target_property(dir ${target} SOURCE_DIR)
    _vantrel_layer(${dir} own)
    list(GET VANTREL_FOLDERS ${own} own_folder)
    get_target_property(type ${target} TYPE)
    set(deps)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${target} LINK_LIBRARIES)
      if(direct)
        list(APPEND deps ${direct})
      endif()
    endif()
    get_target_property(iface ${target} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND deps ${iface})
    endif()
    list(REMOVE_DUPLICATES deps)
    foreach(dep IN LISTS deps)
      if(dep MATCHES "^\\$<" OR NOT TARGET ${dep})
        continue()
      endif()
      get_target_property(imported ${dep} IMPORTED)
      if(imported)
        continue()
      endif()
      get_target_property(dep_dir ${dep} SOURCE_DIR)
      _vantrel_layer(${dep_dir} theirs)
      if(theirs GREATER own)
        list(GET VANTREL_FOLDERS ${theirs} dep_folder)
        list(APPEND errors "  ${target} (${own_folder}) links ${dep} (${dep_folder}), a folder listed after ${own_folder}\n")
      endif()
    endforeach()
  endforeach()
  if(errors)
    string(JOIN "" text ${errors})
    message(FATAL_ERROR "Layer order (VANTREL_FOLDERS): a folder may link only to folders listed before it.\n${text}")
  endif()
endfunction()
