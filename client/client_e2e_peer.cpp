// A second workstation for the end-to-end tests: logs on to the
// workstation profile through MAPI, as a mail client in another process
// would, and does what its input asks, one command a line:
//   logon                 -> "ok" or "error CODE"
//   save FOLDER SUBJECT   -> saves a new message with an attachment in the
//                            IPM subtree's folder
//   browse FOLDER         -> reads every message of the folder with its
//                            recipients and attachments, and lets go of all
//   logoff                -> releases the store and logs off
//   advise / unadvise     -> one store-wide advise registration
//   pump MS               -> dispatches this thread's messages for MS ms
//   quit                  -> logs off and ends
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "client/ClientE2eSupport.h"
#include "platform/storage/ObjIdl.h"

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

HRESULT SaveMessage(IMAPIFolder* folder, std::string subject) {
  ComPtr<IMessage> message;
  HRESULT hr = folder->CreateMessage(nullptr, 0, message.Out());
  if (SUCCEEDED(hr)) {
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT;
    v.Value.lpszA = subject.data();
    hr = HrSetOneProp(message.get(), &v);
  }
  ComPtr<IAttach> attach;
  ULONG number = 0;
  if (SUCCEEDED(hr)) hr = message->CreateAttach(nullptr, 0, &number, attach.Out());
  ComPtr<IUnknown> unk;
  if (SUCCEEDED(hr))
    hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY,
                              unk.Out());
  ComPtr<IStream> stream;
  if (SUCCEEDED(hr)) hr = unk->QueryInterface(IID_IStream, stream.OutVoid());
  if (SUCCEEDED(hr)) hr = stream->Write(subject.data(), static_cast<ULONG>(subject.size()), nullptr);
  if (SUCCEEDED(hr)) hr = stream->Commit(0);
  stream.Reset();
  unk.Reset();
  if (SUCCEEDED(hr)) hr = attach->SaveChanges(0);
  if (SUCCEEDED(hr)) hr = message->SaveChanges(0);
  return hr;
}

// Everything a mail client touches when it shows a folder's messages.
HRESULT Browse(IMsgStore* store, IMAPIFolder* folder) {
  ComPtr<IMAPITable> contents;
  if (HRESULT hr = folder->GetContentsTable(0, contents.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<2> cols{2, {PR_ENTRYID, PR_SUBJECT}};
  LPSRowSet rows = nullptr;
  if (HRESULT hr = HrQueryAllRows(contents.get(), cols.get(), nullptr, nullptr, 0, &rows); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  for (ULONG i = 0; SUCCEEDED(hr) && i < rows->cRows; ++i) {
    const SBinary& id = rows->aRow[i].lpProps[0].Value.bin;
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    hr = store->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, 0, &type, unk.Out());
    ComPtr<IMessage> message;
    if (SUCCEEDED(hr)) hr = unk->QueryInterface(IID_IMessage, message.OutVoid());
    ComPtr<IMAPITable> recipients, attachments;
    if (SUCCEEDED(hr)) hr = message->GetRecipientTable(0, recipients.Out());
    if (SUCCEEDED(hr)) hr = message->GetAttachmentTable(0, attachments.Out());
    LPSRowSet atts = nullptr;
    SizedSPropTagArray<1> num{1, {PR_ATTACH_NUM}};
    if (SUCCEEDED(hr)) hr = HrQueryAllRows(attachments.get(), num.get(), nullptr, nullptr, 0, &atts);
    for (ULONG a = 0; SUCCEEDED(hr) && atts && a < atts->cRows; ++a) {
      ComPtr<IAttach> attach;
      hr = message->OpenAttach(static_cast<ULONG>(atts->aRow[a].lpProps[0].Value.l), nullptr, 0, attach.Out());
      ComPtr<IUnknown> data;
      if (SUCCEEDED(hr)) hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, data.Out());
      ComPtr<IStream> stream;
      if (SUCCEEDED(hr)) hr = data->QueryInterface(IID_IStream, stream.OutVoid());
      char buf[64];
      ULONG got = 0;
      if (SUCCEEDED(hr)) hr = stream->Read(buf, sizeof buf, &got);
    }
    FreeProws(atts);
  }
  FreeProws(rows);
  return hr;
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
      HRESULT hr = OpenSubtreeFolder(store.get(), folder_name, folder.Out());
      if (SUCCEEDED(hr)) hr = SaveMessage(folder.get(), subject);
      if (FAILED(hr)) answer = Error(hr);
    } else if (line.rfind("browse ", 0) == 0 && store) {
      ComPtr<IMAPIFolder> folder;
      HRESULT hr = OpenSubtreeFolder(store.get(), line.substr(7), folder.Out());
      if (SUCCEEDED(hr)) hr = Browse(store.get(), folder.get());
      if (FAILED(hr)) answer = Error(hr);
    } else if (line == "logoff" && session) {
      store.Reset();
      session->Logoff(0, 0, 0);
      session.Reset();
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
