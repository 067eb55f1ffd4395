// Entering the message service into MAPISVC.INF: the file as a list of
// lines, the merge of the service definition the library carries, and the
// search for the file of the installed MAPI. DllRegisterServer runs it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/HResult.h"

namespace vantrel::client {

using InfLines = std::vector<std::string>;

// A section header is a non-empty line whose first character is "[".
inline bool IsSectionHeader(const std::string& line) { return !line.empty() && line[0] == '['; }

// The service definition's text split at each CR (the LF after it dropped)
// or at a bare LF; nothing follows the last line end.
InfLines SplitDefinition(std::string_view text);

// Each line of the file once, without its line end (LF or CR LF); a last
// line without one keeps every character. nullopt when it cannot be read.
std::optional<InfLines> ReadInfFile(const std::string& path);
// Every line followed by "\n". False when the file cannot be written.
bool WriteInfFile(const std::string& path, const InfLines& lines);

// Merges the definition into the file's lines: its service entries into the
// services section (found without regard to case; none when the file has
// none), its other sections replacing the file's sections of the same
// header at the end of the file. Repeating it changes nothing further.
void MergeServiceDefinition(InfLines& file, const InfLines& definition);

// The system folder whose MAPISVC.INF is merged first: <MAPI system
// folder>/system.
std::string SystemDirectory();
// The MAPISVC.INF of the installed MAPI, from the SharedDLLs list of the
// local machine: beside MSMAPI32.DLL if listed, else beside the first
// MAPI.DLL; empty when neither is listed.
std::string LocateInstalledMapiSvcInf();

// Reads `path`, writes the unchanged lines to `path`.bak, merges and writes
// the result back. False when the file cannot be read or written.
bool MergeIntoFile(const std::string& path, const InfLines& definition);

// The whole registration with the definition text given.
void RegisterServiceDefinition(std::string_view definition_text);

}  // namespace vantrel::client

// Export (ordinal 4): merges the library's service definition (the "INF"
// resource "IDR_INF" in the thread's language) into MAPISVC.INF. Always 0.
extern "C" HRESULT DllRegisterServer();
