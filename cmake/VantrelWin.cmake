# Resources and ordinal tables of modules (platform/win). Included by
# platform/win/CMakeLists.txt, after the resource compiler's target exists.

# vantrel_resources(TARGET SCRIPT.rc [MORE.rc...])
# Compiles the resource scripts into the target's one resource table
# (vantrel_resource_table); a resource defined by two scripts stops the
# build. A program exports the table so the platform finds it as the
# program's resources.
function(vantrel_resources target script)
  set(scripts)
  foreach(s IN ITEMS ${script} ${ARGN})
    get_filename_component(s ${s} ABSOLUTE)
    list(APPEND scripts ${s})
  endforeach()
  list(GET scripts 0 first)
  get_filename_component(stem ${first} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}_resources.cpp)
  add_custom_command(OUTPUT ${out}
    COMMAND vantrel_rc ${out} ${out}.d ${scripts}
    DEPENDS vantrel_rc ${scripts}
    DEPFILE ${out}.d
    COMMENT "Compiling the resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE "LINKER:--export-dynamic-symbol=vantrel_resource_table")
  endif()
endfunction()

# vantrel_resource_library(NAME SCRIPT.rc)
# A resource library: a module with resources and no code of its own.
function(vantrel_resource_library name script)
  add_library(${name} MODULE)
  set_target_properties(${name} PROPERTIES PREFIX "" LINKER_LANGUAGE CXX)
  vantrel_resources(${name} ${script})
  _vantrel_record(${name})
endfunction()

# vantrel_module_exports(TARGET FILE.def)
# The module's export list, written like a .def file:
#     EXPORTS
#         LogonClient      @1
#         ZelDirOpen       @4
#         SharedValue      @7 DATA
# (";" starts a comment; NONAME and PRIVATE are accepted; a name without
# "@n" takes the next free number). Generates the module's ordinal table
# (vantrel_export_table) and a version script: the project's map plus the
# listed names. A listed name the module does not define stops the link.
function(vantrel_module_exports target def)
  get_filename_component(def ${def} ABSOLUTE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  file(READ ${def} content)
  # ";" is CMake's list separator: make comments something else first.
  string(REPLACE ";" "#" content "${content}")
  string(REGEX REPLACE "\r?\n" ";" lines "${content}")
  set(names)
  set(numbers)
  set(data_names)
  set(pending)
  set(in_exports FALSE)
  set(lineno 0)
  foreach(line IN LISTS lines)
    math(EXPR lineno "${lineno} + 1")
    string(REGEX REPLACE "#.*$" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    if(line MATCHES "^LIBRARY([ \t]|$)")
      continue()
    endif()
    if(line STREQUAL "EXPORTS")
      set(in_exports TRUE)
      continue()
    endif()
    if(NOT in_exports)
      message(FATAL_ERROR "${def}:${lineno}: expected EXPORTS before \"${line}\"")
    endif()
    if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*(@[ \t]*([0-9]+))?(([ \t]+(NONAME|PRIVATE|DATA))*)$")
      message(FATAL_ERROR "${def}:${lineno}: cannot read \"${line}\" (Name [@n] [NONAME|PRIVATE|DATA])")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(number "${CMAKE_MATCH_3}")
    set(flags "${CMAKE_MATCH_4}")
    if(name IN_LIST names OR name IN_LIST pending)
      message(FATAL_ERROR "${def}:${lineno}: ${name} is listed twice")
    endif()
    if(flags MATCHES "DATA")
      list(APPEND data_names ${name})
    endif()
    if(number STREQUAL "")
      list(APPEND pending ${name})
      continue()
    endif()
    if(number LESS 1 OR number GREATER 65535)
      message(FATAL_ERROR "${def}:${lineno}: ordinal ${number} of ${name} is outside 1..65535")
    endif()
    math(EXPR number "${number}")  # drops leading zeros
    if(number IN_LIST numbers)
      message(FATAL_ERROR "${def}:${lineno}: ordinal ${number} is given twice")
    endif()
    list(APPEND names ${name})
    list(APPEND numbers ${number})
  endforeach()
  set(next 1)
  foreach(n IN LISTS numbers)
    if(n GREATER_EQUAL next)
      math(EXPR next "${n} + 1")
    endif()
  endforeach()
  foreach(name IN LISTS pending)
    if(next GREATER 65535)
      message(FATAL_ERROR "${def}: no ordinal left for ${name}")
    endif()
    list(APPEND names ${name})
    list(APPEND numbers ${next})
    math(EXPR next "${next} + 1")
  endforeach()

  get_filename_component(stem ${def} NAME_WE)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}_exports.cpp)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}_exports.map)
  set(decls "")
  set(rows "")
  set(globals "")
  set(count 0)
  foreach(name number IN ZIP_LISTS names numbers)
    if(name IN_LIST data_names)
      string(APPEND decls "extern char ${name};\n")
    else()
      string(APPEND decls "void ${name}();\n")
    endif()
    string(APPEND rows "    {${number}, \"${name}\", reinterpret_cast<const void*>(&${name})},\n")
    string(APPEND globals "    ${name};\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(count EQUAL 0)
    set(table_rows "const vantrel::win::ExportEntry* const kExports = nullptr;")
  else()
    set(table_rows "const vantrel::win::ExportEntry kExports[] = {\n${rows}};")
  endif()
  file(CONFIGURE OUTPUT ${source} @ONLY CONTENT "// Generated from ${def} by vantrel_module_exports(); do not edit.
#include \"platform/win/ExportTable.h\"

// The names as the linker sees them; the types are the module's business.
extern \"C\" {
${decls}}

namespace {
${table_rows}
}  // namespace

extern \"C\" {
__attribute__((visibility(\"default\"))) extern const vantrel::win::ExportTable vantrel_export_table;
__attribute__((used))
const vantrel::win::ExportTable vantrel_export_table = {vantrel::win::kExportMagic, ${count}, kExports};
}
")
  # The project's map with the module's own names added to what it shows.
  file(READ ${VANTREL_EXPORTS_MAP} project_map)
  string(REPLACE "  global:\n" "  global:\n    /* ${stem}.def */\n${globals}" module_map "${project_map}")
  file(CONFIGURE OUTPUT ${map} @ONLY CONTENT "${module_map}")

  target_sources(${target} PRIVATE ${source})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  get_target_property(options ${target} LINK_OPTIONS)
  if(options)
    list(FILTER options EXCLUDE REGEX "--version-script")
    set_target_properties(${target} PROPERTIES LINK_OPTIONS "${options}")
  endif()
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  if(NOT VANTREL_SANITIZE AND NOT VANTREL_TSAN)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
