// The mail client extension: the extension object the client creates per
// context, and the command object that adds the installer's menu item.
#pragma once

#include <atomic>

#include "platform/mapi/ExchExt.h"

namespace vantrel::ext {

// Command identifier of the client's menu that receives our item.
inline constexpr ULONG kAnchorCommand = 134;

class ZelCommands;

class ZelExtension final : public IExchExt {
 public:
  // Starts with the caller's reference; null when memory runs out.
  static ZelExtension* Create();

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Install(LPEXCHEXTCALLBACK callback, ULONG context, ULONG flags) override;

 private:
  explicit ZelExtension(ZelCommands* commands);
  ~ZelExtension() override;

  std::atomic<ULONG> refs_{1};
  std::atomic<ULONG> context_{0};
  // Our own reference: a caller's QueryInterface then Release never frees
  // the command object under us.
  ZelCommands* const commands_;
};

class ZelCommands final : public IExchExtCommands {
 public:
  ZelCommands() = default;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT InstallCommands(LPEXCHEXTCALLBACK callback, HWND hwnd, HMENU menu, UINT* cmd_base, LPTBENTRY toolbars,
                          UINT toolbar_count, ULONG flags) override;
  void InitMenu(LPEXCHEXTCALLBACK callback) override;
  HRESULT DoCommand(LPEXCHEXTCALLBACK callback, UINT cmd) override;
  HRESULT Help(LPEXCHEXTCALLBACK callback, UINT cmd) override;
  HRESULT QueryHelpText(UINT cmd, ULONG flags, LPSTR text, UINT cch) override;
  HRESULT QueryButtonInfo(ULONG toolbar, UINT button, LPTBBUTTON info, LPSTR text, UINT cch, ULONG flags) override;
  void ResetToolbar(ULONG toolbar, ULONG flags) override;

  void SetContext(ULONG context) { context_ = context; }

 private:
  ~ZelCommands() override = default;

  // The client calls the command object from its window thread; the count
  // and the context may be touched from any thread.
  std::atomic<ULONG> refs_{0};
  std::atomic<ULONG> context_{0};
  UINT after_separator_ = 0;  // never matches a command
  UINT menu_item_ = 0;
  HWND window_ = nullptr;
};

}  // namespace vantrel::ext
