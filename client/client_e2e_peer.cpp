// A second workstation for the end-to-end tests: logs on to the
// workstation profile through MAPI, as a mail client in another process
// would, and does what its input asks, one command a line:
//   logon                 -> "ok" or "error CODE"
//   save FOLDER SUBJECT   -> saves a new message in the IPM subtree's folder
//   advise / unadvise     -> one store-wide advise registration
//   pump MS               -> dispatches this thread's messages for MS ms
//   quit                  -> logs off and ends
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "client/ClientE2eSupport.h"

using namespace vantrel::clienttest;
using vantrel::ComPtr;

namespace {

class QuietSink final : public vantrel::RefCounted<IMAPIAdviseSink> {
 public:
  ULONG OnNotify(ULONG, LPNOTIFICATION) override { return 0; }
};

std::string Error(HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "error %08X", static_cast<unsigned>(hr));
  return text;
}

HRESULT OpenSubtreeFolder(IMsgStore* store, const std::string& name, IMAPIFolder** out) {
  LPSPropValue ipm = nullptr;
  if (HRESULT hr = HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &ipm); FAILED(hr)) return hr;
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  HRESULT hr = store->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr,
                                MAPI_BEST_ACCESS, &type, unk.Out());
  MAPIFreeBuffer(ipm);
  if (FAILED(hr)) return hr;
  ComPtr<IMAPIFolder> root;
  if (HRESULT q = unk->QueryInterface(IID_IMAPIFolder, root.OutVoid()); FAILED(q)) return q;
  return root->CreateFolder(FOLDER_GENERIC, const_cast<LPSTR>(name.c_str()), nullptr, nullptr, OPEN_IF_EXISTS,
                            out);
}

}  // namespace

int main() {
  if (FAILED(MAPIInitialize(nullptr))) return 1;
  ComPtr<IMAPISession> session;
  ComPtr<IMsgStore> store;
  ComPtr<IMAPIAdviseSink> sink = ComPtr<IMAPIAdviseSink>::Adopt(new QuietSink);
  ULONG connection = 0;
  bool advised = false;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string answer = "ok";
    if (line == "logon") {
      HRESULT hr = MAPILogonEx(0, const_cast<LPSTR>(kWorkstationProfile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED,
                               session.Out());
      if (SUCCEEDED(hr)) hr = OpenWorkstationStore(session.get(), vantrel::mszlf::kMszlfProviderUid, store.Out());
      if (FAILED(hr)) answer = Error(hr);
    } else if (line.rfind("save ", 0) == 0 && store) {
      std::string rest = line.substr(5);
      size_t blank = rest.find(' ');
      std::string folder_name = rest.substr(0, blank);
      std::string subject = blank == std::string::npos ? "" : rest.substr(blank + 1);
      ComPtr<IMAPIFolder> folder;
      ComPtr<IMessage> message;
      HRESULT hr = OpenSubtreeFolder(store.get(), folder_name, folder.Out());
      if (SUCCEEDED(hr)) hr = folder->CreateMessage(nullptr, 0, message.Out());
      if (SUCCEEDED(hr)) {
        SPropValue v{};
        v.ulPropTag = PR_SUBJECT;
        v.Value.lpszA = subject.data();
        hr = HrSetOneProp(message.get(), &v);
      }
      if (SUCCEEDED(hr)) hr = message->SaveChanges(0);
      if (FAILED(hr)) answer = Error(hr);
    } else if (line == "advise" && store && !advised) {
      HRESULT hr = store->Advise(0, nullptr, fnevObjectCreated, sink.get(), &connection);
      if (FAILED(hr)) answer = Error(hr);
      advised = SUCCEEDED(hr);
    } else if (line == "unadvise" && advised) {
      HRESULT hr = store->Unadvise(connection);
      if (FAILED(hr)) answer = Error(hr);
      advised = false;
    } else if (line.rfind("pump ", 0) == 0) {
      PumpUntil([] { return false; }, std::chrono::milliseconds(std::stoi(line.substr(5))));
    } else if (line == "quit") {
      break;
    } else {
      answer = "error unknown command";
    }
    std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
  }
  store.Reset();
  if (session) session->Logoff(0, 0, 0);
  session.Reset();
  MAPIUninitialize();
  return 0;
}
