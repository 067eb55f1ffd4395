#include "client/EntryIdTranslation.h"

#include <algorithm>
#include <cstring>

namespace vantrel::client {

namespace {

enum class Form { kNone, kServer, kLocal };

bool Equal(std::span<const BYTE> a, std::span<const BYTE> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Which store UID the 16 bytes at `at` are, if any.
Form UidAt(const StoreIdentity& ids, std::span<const BYTE> id, size_t at) {
  if (id.size() < at + 16) return Form::kNone;
  const BYTE* p = id.data() + at;
  if (std::memcmp(p, ids.server_uid.data(), 16) == 0) return Form::kServer;
  if (std::memcmp(p, ids.local_uid.data(), 16) == 0) return Form::kLocal;
  return Form::kNone;
}

// The first rule that applies decides the form of `id` and the other form
// in `out`.
Form Translate(const StoreIdentity& ids, std::span<const BYTE> id, std::vector<BYTE>& out) {
  // An empty ID names nothing and stays empty, even when a store ID is
  // unknown (empty) too.
  if (id.empty()) return Form::kNone;
  if (!ids.server_entry_id.empty() && Equal(id, ids.server_entry_id)) {
    out = ids.local_entry_id;
    return Form::kServer;
  }
  if (!ids.local_entry_id.empty() && Equal(id, ids.local_entry_id)) {
    out = ids.server_entry_id;
    return Form::kLocal;
  }
  // The store UID sits after the 4 flag bytes of an entry ID; other IDs
  // (short ones, record keys) may carry it at the start.
  for (size_t at : {size_t{4}, size_t{0}}) {
    Form form = UidAt(ids, id, at);
    if (form == Form::kNone) continue;
    const auto& with = form == Form::kServer ? ids.local_uid : ids.server_uid;
    out.assign(id.begin(), id.end());
    std::copy(with.begin(), with.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return form;
  }
  return Form::kNone;
}

}  // namespace

bool TranslateEntryId(const StoreIdentity& ids, std::span<const BYTE> id, std::vector<BYTE>& out) {
  return Translate(ids, id, out) != Form::kNone;
}

bool ToServerForm(const StoreIdentity& ids, std::span<const BYTE> id, std::vector<BYTE>& out) {
  std::vector<BYTE> other;
  if (Translate(ids, id, other) != Form::kLocal) return false;
  out = std::move(other);
  return true;
}

}  // namespace vantrel::client
