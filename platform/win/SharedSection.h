// A module's shared data section: memory every process that loads the
// module sees, as a section marked shared in a module does on the home
// platform.
//
// A section is named by the module (its real path) and a name the module
// chooses. It is backed by a file in the runtime folder and mapped
// MAP_SHARED. The first process to map it finds it zero-filled; it stays
// while any process has it mapped (each holds a shared lock on the file for
// its whole life), and the next first mapper after the last one ended finds
// it zero-filled again. Creation is serialised by a lock, so two first
// mappers never both initialise it.
//
// Keep only plain data there (integers, std::atomic of integers, fixed
// arrays): other processes see the same bytes at other addresses, so no
// pointers.
#pragma once

#include <cstddef>

namespace vantrel::win {

// The section `name` of the module that contains `addressInModule` (any
// function or variable of the module), at least `size` bytes, mapped into
// this process. Every call of a process for the same module and name returns
// the same address (as long as `size` does not grow). Null when the runtime
// folder or the section file cannot be used, or `name` is empty or longer
// than 64 characters.
void* ModuleSharedSection(const void* addressInModule, const char* name, std::size_t size);

}  // namespace vantrel::win

// From a module's own code:
//   struct Shared { std::atomic<std::uint32_t> hook; };
//   Shared* shared = VANTREL_MODULE_SHARED_SECTION(Shared, "hookdata");
// (each translation unit that uses it has its own anchor inside the module).
namespace {
[[maybe_unused]] const char vantrel_shared_section_anchor = 0;
}
#define VANTREL_MODULE_SHARED_SECTION(Type, name)                                                 \
  static_cast<Type*>(::vantrel::win::ModuleSharedSection(&vantrel_shared_section_anchor, (name), \
                                                         sizeof(Type)))
