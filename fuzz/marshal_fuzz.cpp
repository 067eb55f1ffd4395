// Decodes arbitrary blocks as each structure of the MAPI data codec; where a
// decode succeeds, encodes, decodes that again and checks both encodings are
// the same bytes. The first input byte picks the structure, the next two a
// count where the structure's count travels beside the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mapi/MapiMemory.h"
#include "platform/win/MessageBox.h"
#include "protocol/MapiMarshal.h"

using namespace vantrel::zel;

namespace {

CMapiMarshal codec;

template <typename T, typename Read, typename Size, typename Write>
void Check(const BYTE* data, size_t size, Read read, Size sizer, Write write) {
  MarshalReader r(data, size);
  T* first = nullptr;
  if (read(r, &first) != S_OK) return;
  std::vector<BYTE> a(sizer(first));
  MarshalWriter wa(a.data(), a.size());
  write(wa, first);
  if (wa.Written() != a.size()) std::abort();
  MarshalReader r2(a.data(), a.size());
  T* second = nullptr;
  if (read(r2, &second) != S_OK || r2.Remaining() != 0) std::abort();
  std::vector<BYTE> b(sizer(second));
  MarshalWriter wb(b.data(), b.size());
  write(wb, second);
  if (a != b) std::abort();
  MAPIFreeBuffer(first);
  MAPIFreeBuffer(second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    vantrel::win::SetMessageBoxHandler([](const vantrel::win::MessageBoxRecord&) { return IDOK; });
    return true;
  }();
  (void)quiet;
  if (size < 3) return 0;
  const int which = data[0] % 12;
  const ULONG count = (ULONG(data[1]) | ULONG(data[2]) << 8) % 64;
  data += 3;
  size -= 3;
  switch (which) {
    case 0:
      Check<SPropTagArray>(
          data, size, [](MarshalReader& r, LPSPropTagArray* o) { return codec.ReadTagArray(r, nullptr, o); },
          [](const SPropTagArray* v) { return codec.SizeTagArray(v); },
          [](MarshalWriter& w, const SPropTagArray* v) { codec.WriteTagArray(w, v); });
      break;
    case 1:
      Check<SPropValue>(
          data, size, [&](MarshalReader& r, LPSPropValue* o) { return codec.ReadProps(r, count, nullptr, o); },
          [&](const SPropValue* v) { return codec.SizeProps(v, count); },
          [&](MarshalWriter& w, const SPropValue* v) { codec.WriteProps(w, v, count); });
      break;
    case 2:
      Check<SPropProblemArray>(
          data, size, [](MarshalReader& r, LPSPropProblemArray* o) { return codec.ReadProblems(r, nullptr, o); },
          [](const SPropProblemArray* v) { return codec.SizeProblems(v); },
          [](MarshalWriter& w, const SPropProblemArray* v) { codec.WriteProblems(w, v); });
      break;
    case 3:
      Check<SRowSet>(
          data, size, [](MarshalReader& r, LPSRowSet* o) { return codec.ReadRowSet(r, nullptr, o); },
          [](const SRowSet* v) { return codec.SizeRowSet(v); },
          [](MarshalWriter& w, const SRowSet* v) { codec.WriteRowSet(w, v); });
      break;
    case 4:
      Check<ADRLIST>(
          data, size, [](MarshalReader& r, LPADRLIST* o) { return codec.ReadAdrList(r, nullptr, o); },
          [](const ADRLIST* v) { return codec.SizeAdrList(v); },
          [](MarshalWriter& w, const ADRLIST* v) { codec.WriteAdrList(w, v); });
      break;
    case 5:
      Check<SSortOrderSet>(
          data, size, [](MarshalReader& r, LPSSortOrderSet* o) { return codec.ReadSortOrderSet(r, nullptr, o); },
          [](const SSortOrderSet* v) { return codec.SizeSortOrderSet(v); },
          [](MarshalWriter& w, const SSortOrderSet* v) { codec.WriteSortOrderSet(w, v); });
      break;
    case 6:
      Check<SRestriction>(
          data, size, [](MarshalReader& r, LPSRestriction* o) { return codec.ReadRestriction(r, nullptr, o); },
          [](const SRestriction* v) { return codec.SizeRestriction(v); },
          [](MarshalWriter& w, const SRestriction* v) { codec.WriteRestriction(w, v); });
      break;
    case 7:
      Check<ENTRYLIST>(
          data, size, [](MarshalReader& r, LPENTRYLIST* o) { return codec.ReadEntryList(r, nullptr, o); },
          [](const ENTRYLIST* v) { return codec.SizeEntryList(v); },
          [](MarshalWriter& w, const ENTRYLIST* v) { codec.WriteEntryList(w, v); });
      break;
    case 8:
      Check<MAPIERROR>(
          data, size, [](MarshalReader& r, LPMAPIERROR* o) { return codec.ReadError(r, nullptr, o); },
          [](const MAPIERROR* v) { return codec.SizeError(v); },
          [](MarshalWriter& w, const MAPIERROR* v) { codec.WriteError(w, v); });
      break;
    case 9:
      Check<MAPINAMEID>(
          data, size, [](MarshalReader& r, LPMAPINAMEID* o) { return codec.ReadMAPINAMEID(r, nullptr, o); },
          [](const MAPINAMEID* v) { return codec.SizeNameID(v); },
          [](MarshalWriter& w, const MAPINAMEID* v) { codec.WriteNameID(w, v); });
      break;
    case 10: {
      // A damaged element leaves a null slot, which re-encodes differently:
      // decode only, and check nothing is read past the block.
      MarshalReader r(data, size);
      LPMAPINAMEID* names = nullptr;
      if (codec.ReadMAPINAMEIDArray(r, count, nullptr, &names) == S_OK) MAPIFreeBuffer(names);
      break;
    }
    case 11:
      Check<NOTIFICATION>(
          data, size, [](MarshalReader& r, LPNOTIFICATION* o) { return codec.ReadNotification(r, nullptr, o); },
          [](const NOTIFICATION* v) { return codec.SizeNotification(v); },
          [](MarshalWriter& w, const NOTIFICATION* v) { codec.WriteNotification(w, v); });
      break;
  }
  return 0;
}
