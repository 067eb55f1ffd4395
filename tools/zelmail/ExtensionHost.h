// The mail client's side of its extensions: finds the extensions
// registered under the client's key, loads each by path and ordinal,
// installs it in the contexts its registration names and runs the menu
// commands they add.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/ExchExt.h"

namespace vantrel::mail {

// The client's callback: its build, its Tools menu (holding command 134)
// and the session it is logged on with.
class HostCallback final : public IExchExtCallback {
 public:
  static constexpr ULONG kBuild = EECBGV_BUILDVERSION_MAJOR | 0x0A2B;
  HostCallback(HMENU tools, LPMAPISESSION session) : tools_(tools), session_(session) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  // The client owns its callback; the counts only keep the COM shape.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetVersion(ULONG* version, ULONG flags) override;
  HRESULT GetWindow(HWND* hwnd) override;
  HRESULT GetMenu(HMENU* menu) override;
  HRESULT GetToolbar(ULONG, HWND*) override { return E_NOTIMPL; }
  HRESULT GetSession(LPMAPISESSION* session, LPADRBOOK* book) override;
  HRESULT GetObject(LPMDB*, LPMAPIPROP*) override { return E_NOTIMPL; }
  HRESULT GetSelectionCount(ULONG*) override { return E_NOTIMPL; }
  HRESULT GetSelectionItem(ULONG, ULONG*, LPENTRYID*, ULONG*, LPSTR, ULONG, ULONG*, ULONG) override {
    return E_NOTIMPL;
  }
  HRESULT GetMenuPos(ULONG cmd, HMENU* menu, ULONG* first, ULONG* last, ULONG flags) override;
  HRESULT GetSharedExtsDir(LPSTR, ULONG, ULONG) override { return E_NOTIMPL; }
  HRESULT GetRecipients(LPADRLIST*) override { return E_NOTIMPL; }
  HRESULT SetRecipients(LPADRLIST) override { return E_NOTIMPL; }
  HRESULT GetNewMessageSite(ULONG, LPMAPIFOLDER, IPersistMessage*, LPMESSAGE*, IMAPIMessageSite**,
                            IMAPIViewContext**, ULONG) override {
    return E_NOTIMPL;
  }
  HRESULT RegisterModeless(IExchExtModeless*, IExchExtModelessCallback**) override { return E_NOTIMPL; }
  HRESULT ChooseFolder(HWND, LPMDB*, LPMAPIFOLDER*, LPSTR, ULONG) override { return E_NOTIMPL; }

 private:
  HMENU tools_;
  LPMAPISESSION session_;
};

class ExtensionHost {
 public:
  // The first command identifier the client gives its extensions.
  static constexpr UINT kFirstCommand = 5000;

  ExtensionHost(HMENU tools, LPMAPISESSION session) : callback_(tools, session) {}
  ~ExtensionHost();
  ExtensionHost(const ExtensionHost&) = delete;
  ExtensionHost& operator=(const ExtensionHost&) = delete;

  // Loads every registered extension and installs it in its contexts,
  // then installs the commands of the viewer's. Problems go to `why`.
  void LoadRegistered(std::vector<std::string>* why);
  // Offers `cmd` to each installed command object; S_FALSE when none ran it.
  HRESULT DoCommand(UINT cmd);
  UINT next_command() const { return next_command_; }

 private:
  struct Installed {
    IExchExt* ext;
    ULONG context;
    IExchExtCommands* commands;  // null where the extension adds none
  };
  HostCallback callback_;
  std::vector<HMODULE> modules_;
  std::vector<Installed> installed_;
  UINT next_command_ = kFirstCommand;
};

}  // namespace vantrel::mail
