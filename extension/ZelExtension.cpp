#include "extension/ZelExtension.h"

#include <new>

#include "extension/ZelExtModule.h"
#include "platform/win/Menu.h"

namespace vantrel::ext {

// --- extension object ---------------------------------------------------

ZelExtension* ZelExtension::Create() {
  auto* commands = new (std::nothrow) ZelCommands;
  if (!commands) return nullptr;
  commands->AddRef();
  auto* ext = new (std::nothrow) ZelExtension(commands);
  if (!ext) commands->Release();
  return ext;
}

ZelExtension::ZelExtension(ZelCommands* commands) : commands_(commands) {}

ZelExtension::~ZelExtension() { commands_->Release(); }

HRESULT ZelExtension::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IExchExt) {
    AddRef();
    *ppv = static_cast<IExchExt*>(this);
    return S_OK;
  }
  if (riid == IID_IExchExtCommands) {
    commands_->SetContext(context_);
    commands_->AddRef();
    *ppv = static_cast<IExchExtCommands*>(commands_);
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG ZelExtension::AddRef() { return ++refs_; }

ULONG ZelExtension::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT ZelExtension::Install(LPEXCHEXTCALLBACK callback, ULONG context, ULONG /*flags*/) {
  ReloadResourceLibrary();
  context_ = context;
  if (!callback) return E_INVALIDARG;
  ULONG version = 0;
  if (FAILED(callback->GetVersion(&version, EECBGV_GETBUILDVERSION))) return S_FALSE;
  // Only clients of major build 13 know the commands we add.
  if (static_cast<ULONG>(version - EECBGV_BUILDVERSION_MAJOR) > EECBGV_BUILDVERSION_MINOR_MASK) return S_FALSE;
  switch (context) {
    case EECONTEXT_SESSION: {
      LPMAPISESSION session = nullptr;
      LPADRBOOK book = nullptr;
      if (SUCCEEDED(callback->GetSession(&session, &book))) {
        // We only check the session is there; the client keeps its own.
        if (session) session->Release();
        if (book) reinterpret_cast<IUnknown*>(book)->Release();
      }
      return S_OK;
    }
    case EECONTEXT_VIEWER:
    case EECONTEXT_SEARCHVIEWER:
    case EECONTEXT_PROPERTYSHEETS:
      return S_OK;
    default:
      return S_FALSE;
  }
}

// --- command object -------------------------------------------------------

HRESULT ZelCommands::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IExchExtCommands) {
    AddRef();
    *ppv = static_cast<IExchExtCommands*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG ZelCommands::AddRef() { return ++refs_; }

ULONG ZelCommands::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT ZelCommands::InstallCommands(LPEXCHEXTCALLBACK callback, HWND hwnd, HMENU /*menu*/, UINT* cmd_base,
                                     LPTBENTRY /*toolbars*/, UINT /*toolbar_count*/, ULONG /*flags*/) {
  ULONG context = context_;
  if (context != EECONTEXT_VIEWER && context != EECONTEXT_SEARCHVIEWER) return S_FALSE;
  if (!callback || !cmd_base) return S_FALSE;
  window_ = hwnd;
  HMENU target = nullptr;
  ULONG first = 0;
  ULONG last = 0;
  // Without the anchor menu nothing is added and the base stays as it was.
  if (FAILED(callback->GetMenuPos(kAnchorCommand, &target, &first, &last, 0)) || !target) return S_FALSE;

  char text[128];
  MenuItemText(text, sizeof text);
  UINT id = *cmd_base;
  if (!AppendMenuA(target, MF_SEPARATOR, id, nullptr)) return S_FALSE;
  ++id;
  after_separator_ = id;
  ++id;
  if (!AppendMenuA(target, MF_STRING, id, text)) return S_FALSE;
  menu_item_ = id;
  ++id;
  *cmd_base = id;
  return S_FALSE;
}

void ZelCommands::InitMenu(LPEXCHEXTCALLBACK /*callback*/) {}

HRESULT ZelCommands::DoCommand(LPEXCHEXTCALLBACK callback, UINT cmd) {
  if (!callback) return E_INVALIDARG;
  if (menu_item_ == 0 || cmd != menu_item_) return S_FALSE;
  LPMAPISESSION session = nullptr;
  LPADRBOOK book = nullptr;
  HRESULT hr = callback->GetSession(&session, &book);
  if (book) reinterpret_cast<IUnknown*>(book)->Release();
  if (FAILED(hr) || !session) return FAILED(hr) ? hr : E_FAIL;
  hr = RunInstaller(window_, session);
  session->Release();
  return hr;
}

HRESULT ZelCommands::Help(LPEXCHEXTCALLBACK /*callback*/, UINT /*cmd*/) { return S_FALSE; }

HRESULT ZelCommands::QueryHelpText(UINT /*cmd*/, ULONG /*flags*/, LPSTR /*text*/, UINT /*cch*/) { return S_FALSE; }

HRESULT ZelCommands::QueryButtonInfo(ULONG /*toolbar*/, UINT /*button*/, LPTBBUTTON /*info*/, LPSTR /*text*/,
                                     UINT /*cch*/, ULONG /*flags*/) {
  return S_FALSE;
}

void ZelCommands::ResetToolbar(ULONG /*toolbar*/, ULONG /*flags*/) {}

}  // namespace vantrel::ext
