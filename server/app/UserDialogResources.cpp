#include "server/app/UserDialogResources.h"

#include <atomic>
#include <utility>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Resources.h"
#include "server/dispatch/ServerTrace.h"

namespace {

std::atomic<HMODULE> g_resources{nullptr};

vantrel::Mutex g_help_mu;
UserDialogHelp g_help GUARDED_BY(g_help_mu);

}  // namespace

void SetUserDialogResources(HMODULE module) { g_resources.store(module); }

HMODULE UserDialogResources() { return g_resources.load(); }

void SetUserDialogHelp(UserDialogHelp help) {
  vantrel::MutexLock lock(g_help_mu);
  g_help = std::move(help);
}

void OpenUserDialogHelp(const char* topic, const char* window) {
  UserDialogHelp help;
  {
    vantrel::MutexLock lock(g_help_mu);
    help = g_help;
  }
  if (help) {
    help(topic, window);
    return;
  }
  vantrel::server::ServerLog("Help requested: %s>%s\n", topic, window ? window : "");
}

std::string UserDialogString(UINT id, const char* fallback) {
  const char* text = nullptr;
  HMODULE module = UserDialogResources();
  int n = LoadStringA(module, id, reinterpret_cast<LPSTR>(&text), 0);
  if (n <= 0 && module != nullptr) n = LoadStringA(nullptr, id, reinterpret_cast<LPSTR>(&text), 0);
  return n > 0 && text ? std::string(text, static_cast<size_t>(n)) : std::string(fallback);
}

std::string UserDialogString(UINT id, const char* fallback, const std::string& arg) {
  std::string text = UserDialogString(id, fallback);
  const size_t at = text.find("%s");
  if (at == std::string::npos) return text + " " + arg;
  return text.replace(at, 2, arg);
}
