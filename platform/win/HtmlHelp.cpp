#include "platform/win/HtmlHelp.h"

#include <cstdio>
#include <string>

#include "platform/win/FrontEnd.h"

namespace vantrel::win {
namespace {

const char* CommandName(UINT command) {
  switch (command) {
    case HH_DISPLAY_TOPIC: return "topic";
    case HH_DISPLAY_TOC: return "toc";
    case HH_DISPLAY_INDEX: return "index";
    case HH_DISPLAY_SEARCH: return "search";
  }
  return nullptr;
}

}  // namespace
}  // namespace vantrel::win

HWND HtmlHelpA(HWND caller, LPCSTR spec, UINT command, DWORD_PTR) {
  using namespace vantrel::win;
  const char* name = CommandName(command);
  std::string text = spec ? spec : "";
  if (!name || text.empty()) {
    std::fprintf(stderr, "[help] command %u for \"%s\" not shown\n", command, text.c_str());
    return nullptr;
  }
  // "file::topic>window": the window type follows the last '>', the topic
  // the first "::" (a file name has neither).
  std::string file = text, topic, window;
  size_t gt = file.rfind('>');
  if (gt != std::string::npos) {
    window = file.substr(gt + 1);
    file.resize(gt);
  }
  size_t sep = file.find("::");
  if (sep != std::string::npos) {
    topic = file.substr(sep + 2);
    file.resize(sep);
  }
  EnsureFrontEnds();
  fe::Record r{"help", "open", "0x0", {}};
  r.Add({"command", name});
  r.Add({"owner", fe::Hex(reinterpret_cast<std::uintptr_t>(caller))});
  r.Add({"file", file});
  r.Add({"topic", topic});
  r.Add({"window", window});
  int reached = PublishRecord(r);
  std::fprintf(stderr, "[help] %s %s::%s>%s (%d front end%s)\n", name, file.c_str(), topic.c_str(), window.c_str(),
               reached, reached == 1 ? "" : "s");
  if (reached == 0) return nullptr;
  return caller ? caller : reinterpret_cast<HWND>(std::uintptr_t{1});
}
