#include "Libraries/MapiWrapper/TableHelpers.h"

namespace vantrel::mapiwrapper {
namespace {

std::vector<BYTE> TagArrayBytes(const std::vector<ULONG>& tags) {
  std::vector<BYTE> buf(CbNewSPropTagArray(tags.size()));
  auto* arr = reinterpret_cast<LPSPropTagArray>(buf.data());
  arr->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) arr->aulPropTag[i] = tags[i];
  return buf;
}

}  // namespace

HRESULT SetColumns(IMAPITable* table, const std::vector<ULONG>& tags) {
  std::vector<BYTE> buf = TagArrayBytes(tags);
  return table->SetColumns(reinterpret_cast<LPSPropTagArray>(buf.data()), TBL_BATCH);
}

HRESULT QueryAllRows(IMAPITable* table, const std::vector<ULONG>& tags, const SRestriction* restriction,
                     const SSortOrderSet* sort, CRowSet* rows) {
  std::vector<BYTE> buf = TagArrayBytes(tags);
  return HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(buf.data()), const_cast<LPSRestriction>(restriction),
                        const_cast<LPSSortOrderSet>(sort), 0, rows->Receive());
}

CRowSet QueryAllRows(IMAPITable* table, const std::vector<ULONG>& tags, const SRestriction* restriction,
                     const SSortOrderSet* sort) {
  CRowSet rows;
  CheckHr(QueryAllRows(table, tags, restriction, sort, &rows));
  return rows;
}

CPropValue GetOneProp(IMAPIProp* prop, ULONG tag) {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(prop, tag, &v);
  CPropValue owned = CPropValue::Adopt(v);
  CheckHr(hr);
  return owned;
}

CBinary GetOneBinary(IMAPIProp* prop, ULONG tag) {
  CPropValue v = GetOneProp(prop, tag);
  return CBinary::FromPropValue(v.get());
}

IMessagePtr FindAssociatedMessage(const IMAPIFolderPtr& folder, const std::string& subject,
                                  const std::string& message_class, bool create) {
  IMAPITablePtr table = folder._rawAssociatedTable();
  CheckHr(SetColumns(table.get(), {PR_ENTRYID}));

  SPropValue values[2] = {};
  values[0].ulPropTag = PR_SUBJECT;
  values[0].Value.lpszA = const_cast<LPSTR>(subject.c_str());
  values[1].ulPropTag = PR_MESSAGE_CLASS;
  values[1].Value.lpszA = const_cast<LPSTR>(message_class.c_str());
  SRestriction both[2] = {};
  for (int i = 0; i < 2; ++i) {
    both[i].rt = RES_PROPERTY;
    both[i].res.resProperty.relop = RELOP_EQ;
    both[i].res.resProperty.ulPropTag = values[i].ulPropTag;
    both[i].res.resProperty.lpProp = &values[i];
  }
  SRestriction match{};
  match.rt = RES_AND;
  match.res.resAnd.cRes = 2;
  match.res.resAnd.lpRes = both;

  HRESULT hr = table->FindRow(&match, BOOKMARK_BEGINNING, 0);
  if (hr == S_OK) {
    CRowSet rows;
    CheckHr(table->QueryRows(1, 0, rows.Receive()));
    if (rows.Count() == 1) {
      CBinary id = CBinary::FromPropValue(rows[0].Value(0).get());
      if (!id.Empty()) return QueryWrap<IMessagePtr>(folder.OpenEntryv(id).get());
    }
  } else if (hr != MAPI_E_NOT_FOUND) {
    CheckHr(hr);
  }
  if (!create) return IMessagePtr();
  IMessagePtr msg = folder.CreateMessage(MAPI_ASSOCIATED);
  CPropValue v;
  v.SetString(PR_SUBJECT, subject);
  msg.SetProp(v);
  v.SetString(PR_MESSAGE_CLASS, message_class);
  msg.SetProp(v);
  return msg;
}

}  // namespace vantrel::mapiwrapper
