// The compound file layout of a storage tree: a 512-byte header, a FAT of
// sector chains (its sectors listed by the DIFAT, in the header and in
// DIFAT sectors beyond 109), a directory of 128-byte entries whose siblings
// form a red-black tree, and a mini stream of 64-byte sectors with its own
// MiniFAT for streams under 4096 bytes.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/storage/StorageTree.h"

namespace vantrel::storage {

char16_t UpperNameUnit(char16_t c) {
  // Simple upper-case mapping for the scripts names are written in; other
  // units compare as they are.
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c == 0xB5) return 0x39C;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c < 0x100) return c;
  if (c <= 0x17F) {
    if (c == 0x131) return u'I';
    if (c == 0x17F) return u'S';
    bool even_upper = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
    bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (even_upper && (c & 1)) return static_cast<char16_t>(c - 1);
    if (odd_upper && !(c & 1)) return static_cast<char16_t>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? 0x3A3 : static_cast<char16_t>(c - 0x20);
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0x460 && c <= 0x481 && (c & 1)) return static_cast<char16_t>(c - 1);
  return c;
}

bool NameLess::operator()(const std::u16string& a, const std::u16string& b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = UpperNameUnit(a[i]), y = UpperNameUnit(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

namespace {

constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSect = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

constexpr size_t kHeaderDifat = 109;
constexpr size_t kEntrySize = 128;
constexpr size_t kMiniSector = 64;
constexpr uint64_t kMiniCutoff = 4096;
constexpr uint64_t kMaxStreamV3 = 0x80000000;
constexpr int kMaxDepth = 64;  // nesting of storages, as the API allows it

constexpr BYTE kTypeEmpty = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5;
constexpr BYTE kRed = 0, kBlack = 1;

void Put16(BYTE* p, uint16_t v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}
void Put32(BYTE* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
void Put64(BYTE* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
uint16_t Get16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const BYTE* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const BYTE* p) { return Get32(p) | (uint64_t{Get32(p + 4)} << 32); }

// Directory order: shorter names first, then unit by unit upper-cased.
bool DirLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = UpperNameUnit(a[i]), y = UpperNameUnit(b[i]);
    if (x != y) return x < y;
  }
  return false;
}

// ---- writing ---------------------------------------------------------------

struct OutEntry {
  std::u16string name;
  BYTE type = kTypeEmpty;
  BYTE color = kBlack;
  uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
  CLSID clsid{};
  DWORD state = 0;
  FILETIME ctime{}, mtime{};
  uint32_t start = kEndOfChain;
  uint64_t size = 0;
  Bytes* bytes = nullptr;
};

class Writer {
 public:
  HRESULT Run(const Node& root, std::vector<BYTE>& out) {
    OutEntry r;
    r.name = u"Root Entry";
    r.type = kTypeRoot;
    r.clsid = root.clsid;
    r.state = root.state;
    r.mtime = root.mtime;  // a root's creation time belongs to the file
    entries_.push_back(r);
    if (HRESULT hr = AddChildren(root, 0); FAILED(hr)) return hr;
    return Lay(out);
  }

 private:
  HRESULT AddChildren(const Node& n, uint32_t parent) {
    std::vector<uint32_t> kids;
    for (const auto& [name, b] : n.storages) {
      OutEntry e;
      e.name = name;
      e.type = kTypeStorage;
      e.clsid = b->clsid;
      e.state = b->state;
      e.ctime = b->ctime;
      e.mtime = b->mtime;
      kids.push_back(static_cast<uint32_t>(entries_.size()));
      entries_.push_back(e);
      if (HRESULT hr = AddChildren(*b, kids.back()); FAILED(hr)) return hr;
    }
    for (const auto& [name, b] : n.streams) {
      OutEntry e;
      e.name = name;
      e.type = kTypeStream;
      e.bytes = b.get();
      {
        MutexLock g(b->mu);
        e.size = b->data.size();
      }
      if (e.size > kMaxStreamV3) return STG_E_DOCFILETOOLARGE;
      kids.push_back(static_cast<uint32_t>(entries_.size()));
      entries_.push_back(e);
    }
    std::sort(kids.begin(), kids.end(),
              [&](uint32_t a, uint32_t b) { return DirLess(entries_[a].name, entries_[b].name); });
    // Every level that is full is black; the last, partial level is red,
    // so each path down meets the same number of black entries.
    int full = 0;
    while ((size_t{2} << full) - 1 <= kids.size()) ++full;
    entries_[parent].child = Balance(kids, 0, kids.size(), 0, full);
    return S_OK;
  }

  uint32_t Balance(const std::vector<uint32_t>& ids, size_t lo, size_t hi, int depth, int full) {
    if (lo >= hi) return kNoStream;
    size_t mid = lo + (hi - lo) / 2;
    OutEntry& e = entries_[ids[mid]];
    e.color = depth < full ? kBlack : kRed;
    uint32_t l = Balance(ids, lo, mid, depth + 1, full);
    uint32_t r = Balance(ids, mid + 1, hi, depth + 1, full);
    entries_[ids[mid]].left = l;
    entries_[ids[mid]].right = r;
    return ids[mid];
  }

  static uint64_t Ceil(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

  HRESULT Lay(std::vector<BYTE>& out) {
    constexpr uint64_t ss = 512, per = ss / 4;
    // Mini sectors for the small streams, whole sectors for the rest.
    uint64_t mini = 0, big = 0;
    for (const auto& e : entries_) {
      if (e.type != kTypeStream || e.size == 0) continue;
      if (e.size < kMiniCutoff)
        mini += Ceil(e.size, kMiniSector);
      else
        big += Ceil(e.size, ss);
    }
    uint64_t dir = Ceil(entries_.size(), ss / kEntrySize);
    uint64_t minifat = Ceil(mini, per);
    uint64_t ministream = Ceil(mini * kMiniSector, ss);
    uint64_t data = dir + minifat + ministream + big;
    // The FAT covers itself and the DIFAT sectors that list it.
    uint64_t fat = 0, difat = 0;
    for (;;) {
      difat = fat > kHeaderDifat ? Ceil(fat - kHeaderDifat, per - 1) : 0;
      uint64_t need = Ceil(data + fat + difat, per);
      if (need <= fat) break;
      fat = need;
    }
    uint64_t total = fat + difat + data;
    if (total >= kMaxRegSect) return STG_E_DOCFILETOOLARGE;
    try {
      out.assign((total + 1) * ss, 0);
      fat_.assign(fat * per, kFreeSect);
    } catch (const std::bad_alloc&) {
      return STG_E_INSUFFICIENTMEMORY;
    }
    auto sector = [&](uint64_t s) { return out.data() + (s + 1) * ss; };
    auto chain = [&](uint64_t first, uint64_t count) {
      for (uint64_t i = 0; i < count; ++i)
        fat_[first + i] = i + 1 < count ? static_cast<uint32_t>(first + i + 1) : kEndOfChain;
    };

    uint64_t next = 0;
    const uint64_t fat_at = next;
    for (uint64_t i = 0; i < fat; ++i) fat_[next++] = kFatSect;
    const uint64_t difat_at = next;
    for (uint64_t i = 0; i < difat; ++i) fat_[next++] = kDifSect;
    const uint64_t dir_at = next;
    chain(dir_at, dir);
    next += dir;
    const uint64_t minifat_at = next;
    chain(minifat_at, minifat);
    next += minifat;
    const uint64_t ministream_at = next;
    chain(ministream_at, ministream);
    next += ministream;

    // Stream contents: small ones into the mini stream, the rest in sectors.
    std::vector<uint32_t> minifat_table(minifat * per, kFreeSect);
    uint64_t next_mini = 0;
    for (auto& e : entries_) {
      if (e.type != kTypeStream || e.size == 0) continue;
      MutexLock g(e.bytes->mu);
      uint64_t n = std::min<uint64_t>(e.size, e.bytes->data.size());
      if (e.size < kMiniCutoff) {
        uint64_t count = Ceil(e.size, kMiniSector);
        e.start = static_cast<uint32_t>(next_mini);
        for (uint64_t i = 0; i < count; ++i)
          minifat_table[next_mini + i] = i + 1 < count ? static_cast<uint32_t>(next_mini + i + 1) : kEndOfChain;
        for (uint64_t off = 0; off < n; off += kMiniSector) {
          uint64_t pos = (next_mini + off / kMiniSector) * kMiniSector;
          std::memcpy(sector(ministream_at + pos / ss) + pos % ss, e.bytes->data.data() + off,
                      static_cast<size_t>(std::min<uint64_t>(kMiniSector, n - off)));
        }
        next_mini += count;
      } else {
        uint64_t count = Ceil(e.size, ss);
        e.start = static_cast<uint32_t>(next);
        chain(next, count);
        std::memcpy(sector(next), e.bytes->data.data(), static_cast<size_t>(n));  // sectors are contiguous
        next += count;
      }
    }
    if (mini) {
      entries_[0].start = static_cast<uint32_t>(ministream_at);
      entries_[0].size = mini * kMiniSector;
    }

    for (uint64_t i = 0; i < minifat_table.size(); ++i) Put32(sector(minifat_at + i / per) + (i % per) * 4, minifat_table[i]);
    for (size_t i = 0; i < entries_.size(); ++i) PutEntry(sector(dir_at + i / 4) + (i % 4) * kEntrySize, entries_[i]);
    for (size_t i = entries_.size(); i < dir * 4; ++i) PutEntry(sector(dir_at + i / 4) + (i % 4) * kEntrySize, OutEntry{});

    // The FAT sectors are listed 109 in the header, then 127 per DIFAT
    // sector, each DIFAT sector ending with the next one's number.
    BYTE* h = out.data();
    std::memcpy(h, kCompoundFileMagic, 8);
    Put16(h + 24, 0x003E);
    Put16(h + 26, 0x0003);
    Put16(h + 28, 0xFFFE);
    Put16(h + 30, 9);
    Put16(h + 32, 6);
    Put32(h + 44, static_cast<uint32_t>(fat));
    Put32(h + 48, static_cast<uint32_t>(dir_at));
    Put32(h + 56, static_cast<uint32_t>(kMiniCutoff));
    Put32(h + 60, minifat ? static_cast<uint32_t>(minifat_at) : kEndOfChain);
    Put32(h + 64, static_cast<uint32_t>(minifat));
    Put32(h + 68, difat ? static_cast<uint32_t>(difat_at) : kEndOfChain);
    Put32(h + 72, static_cast<uint32_t>(difat));
    for (uint64_t i = 0; i < kHeaderDifat; ++i) Put32(h + 76 + 4 * i, i < fat ? static_cast<uint32_t>(fat_at + i) : kFreeSect);
    for (uint64_t d = 0; d < difat; ++d) {
      BYTE* p = sector(difat_at + d);
      for (uint64_t k = 0; k < per - 1; ++k) {
        uint64_t i = kHeaderDifat + d * (per - 1) + k;
        Put32(p + 4 * k, i < fat ? static_cast<uint32_t>(fat_at + i) : kFreeSect);
      }
      Put32(p + 4 * (per - 1), d + 1 < difat ? static_cast<uint32_t>(difat_at + d + 1) : kEndOfChain);
    }
    for (uint64_t i = 0; i < fat_.size(); ++i) Put32(sector(fat_at + i / per) + (i % per) * 4, fat_[i]);
    return S_OK;
  }

  static void PutEntry(BYTE* p, const OutEntry& e) {
    for (size_t i = 0; i < e.name.size(); ++i) Put16(p + 2 * i, e.name[i]);
    Put16(p + 64, e.type == kTypeEmpty ? 0 : static_cast<uint16_t>((e.name.size() + 1) * 2));
    p[66] = e.type;
    p[67] = e.color;
    Put32(p + 68, e.left);
    Put32(p + 72, e.right);
    Put32(p + 76, e.child);
    if (e.type != kTypeStream) {
      auto g = GuidToBytes(e.clsid);
      std::memcpy(p + 80, g.data(), 16);
      Put32(p + 96, e.state);
      Put32(p + 100, e.ctime.dwLowDateTime);
      Put32(p + 104, e.ctime.dwHighDateTime);
      Put32(p + 108, e.mtime.dwLowDateTime);
      Put32(p + 112, e.mtime.dwHighDateTime);
    }
    Put32(p + 116, e.type == kTypeStorage || e.type == kTypeEmpty ? 0 : e.start);
    Put64(p + 120, e.size);
  }

  std::vector<OutEntry> entries_;
  std::vector<uint32_t> fat_;
};

// ---- reading ---------------------------------------------------------------

class Reader {
 public:
  Reader(const BYTE* p, size_t n) : p_(p), n_(n) {}

  HRESULT Run(Node& root) {
    if (n_ < 512 || std::memcmp(p_, kCompoundFileMagic, 8) != 0) return STG_E_INVALIDHEADER;
    uint16_t major = Get16(p_ + 26), shift = Get16(p_ + 30);
    if (Get16(p_ + 28) != 0xFFFE) return STG_E_INVALIDHEADER;
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return STG_E_INVALIDHEADER;
    if (Get16(p_ + 32) != 6 || Get32(p_ + 56) != kMiniCutoff) return STG_E_INVALIDHEADER;
    v3_ = major == 3;
    ss_ = size_t{1} << shift;
    if (n_ < ss_) return STG_E_DOCFILECORRUPT;
    nsect_ = std::min<size_t>((n_ - ss_) / ss_, kMaxRegSect);
    owned_.assign(nsect_, false);

    if (HRESULT hr = LoadFat(); FAILED(hr)) return hr;
    std::vector<uint32_t> dir;
    if (!Follow(fat_, owned_, nsect_, Get32(p_ + 48), SIZE_MAX, dir) || dir.empty()) return STG_E_DOCFILECORRUPT;
    dir_ = std::move(dir);
    entry_count_ = dir_.size() * (ss_ / kEntrySize);

    const BYTE* r = Entry(0);
    if (r[66] != kTypeRoot) return STG_E_DOCFILECORRUPT;
    // The mini stream lives in the root entry's chain, the MiniFAT in its own.
    uint64_t mini_size = v3_ ? Get32(r + 120) : Get64(r + 120);
    if (mini_size > uint64_t{nsect_} * ss_) return STG_E_DOCFILECORRUPT;
    if (mini_size && !Follow(fat_, owned_, nsect_, Get32(r + 116), (mini_size + ss_ - 1) / ss_, ministream_))
      return STG_E_DOCFILECORRUPT;
    mini_count_ = static_cast<size_t>(mini_size / kMiniSector);
    if (uint32_t first = Get32(p_ + 60); first != kEndOfChain && first != kFreeSect) {
      std::vector<uint32_t> secs;
      if (!Follow(fat_, owned_, nsect_, first, SIZE_MAX, secs)) return STG_E_DOCFILECORRUPT;
      minifat_.reserve(secs.size() * (ss_ / 4));
      for (uint32_t s : secs)
        for (size_t k = 0; k < ss_ / 4; ++k) minifat_.push_back(Get32(Sector(s) + 4 * k));
    }
    mini_owned_.assign(mini_count_, false);

    GetStorage(r, root, /*is_root=*/true);
    seen_.assign(entry_count_, false);
    seen_[0] = true;
    return Walk(root, Get32(r + 76));
  }

 private:
  const BYTE* Sector(uint32_t s) const { return p_ + (size_t{s} + 1) * ss_; }
  const BYTE* Entry(size_t i) const { return Sector(dir_[i / (ss_ / kEntrySize)]) + (i % (ss_ / kEntrySize)) * kEntrySize; }

  HRESULT LoadFat() {
    uint32_t fat_count = Get32(p_ + 44), difat_count = Get32(p_ + 72);
    if (fat_count > nsect_ || difat_count > nsect_) return STG_E_DOCFILECORRUPT;
    std::vector<uint32_t> fat_secs;
    fat_secs.reserve(fat_count);
    for (size_t i = 0; i < kHeaderDifat && fat_secs.size() < fat_count; ++i) fat_secs.push_back(Get32(p_ + 76 + 4 * i));
    const size_t per = ss_ / 4 - 1;
    std::vector<bool> difat_seen(nsect_, false);
    uint32_t d = Get32(p_ + 68);
    for (uint32_t k = 0; k < difat_count && fat_secs.size() < fat_count; ++k) {
      if (d >= nsect_ || difat_seen[d]) return STG_E_DOCFILECORRUPT;
      difat_seen[d] = true;
      const BYTE* s = Sector(d);
      for (size_t i = 0; i < per && fat_secs.size() < fat_count; ++i) fat_secs.push_back(Get32(s + 4 * i));
      d = Get32(s + 4 * per);
    }
    if (fat_secs.size() < fat_count) return STG_E_DOCFILECORRUPT;
    fat_.reserve(size_t{fat_count} * (ss_ / 4));
    for (uint32_t s : fat_secs) {
      if (s >= nsect_) return STG_E_DOCFILECORRUPT;
      for (size_t k = 0; k < ss_ / 4; ++k) fat_.push_back(Get32(Sector(s) + 4 * k));
    }
    return S_OK;
  }

  // Follows a chain from `first` through `table`, taking `want` sectors
  // (SIZE_MAX: up to the end-of-chain mark). A sector out of range, a mark
  // that is not end-of-chain, a sector taken twice (a cycle, or two chains
  // crossing) or a chain shorter than `want` makes it fail.
  static bool Follow(const std::vector<uint32_t>& table, std::vector<bool>& owned, size_t bound, uint32_t first,
                     size_t want, std::vector<uint32_t>& out) {
    out.clear();
    size_t limit = std::min(bound, table.size());
    uint32_t s = first;
    while (out.size() < want) {
      if (s == kEndOfChain && want == SIZE_MAX) return true;
      if (s >= limit || owned[s]) return false;
      owned[s] = true;
      out.push_back(s);
      s = table[s];
    }
    return true;
  }

  static FILETIME Time(const BYTE* p) { return FILETIME{Get32(p), Get32(p + 4)}; }

  static void GetStorage(const BYTE* e, Node& n, bool is_root) {
    n.clsid = GuidFromBytes(e + 80);
    n.state = Get32(e + 96);
    if (!is_root) n.ctime = Time(e + 100);
    n.mtime = Time(e + 108);
  }

  static bool GetName(const BYTE* e, std::u16string& name) {
    uint16_t len = Get16(e + 64);
    if (len < 4 || len > 64 || (len & 1)) return false;
    size_t units = len / 2 - 1;
    if (Get16(e + 2 * units) != 0) return false;
    name.resize(units);
    for (size_t i = 0; i < units; ++i) {
      char16_t c = Get16(e + 2 * i);
      if (c == 0 || c == u'/' || c == u'\\' || c == u':' || c == u'!') return false;
      name[i] = c;
    }
    return true;
  }

  HRESULT ReadStream(const BYTE* e, std::vector<BYTE>& data) {
    uint64_t size = v3_ ? Get32(e + 120) : Get64(e + 120);
    if (size == 0) return S_OK;
    uint32_t first = Get32(e + 116);
    std::vector<uint32_t> chain;
    if (size < kMiniCutoff) {
      if (!Follow(minifat_, mini_owned_, mini_count_, first, (size + kMiniSector - 1) / kMiniSector, chain))
        return STG_E_DOCFILECORRUPT;
      data.resize(size);
      for (size_t i = 0; i < chain.size(); ++i) {
        size_t pos = size_t{chain[i]} * kMiniSector;
        size_t take = std::min<size_t>(kMiniSector, size - i * kMiniSector);
        std::memcpy(data.data() + i * kMiniSector, Sector(ministream_[pos / ss_]) + pos % ss_, take);
      }
      return S_OK;
    }
    if (size > uint64_t{nsect_} * ss_) return STG_E_DOCFILECORRUPT;
    if (!Follow(fat_, owned_, nsect_, first, (size + ss_ - 1) / ss_, chain)) return STG_E_DOCFILECORRUPT;
    data.resize(size);
    for (size_t i = 0; i < chain.size(); ++i)
      std::memcpy(data.data() + i * ss_, Sector(chain[i]), std::min<size_t>(ss_, size - i * ss_));
    return S_OK;
  }

  // Visits every entry below each storage once; an entry reached twice, an
  // empty entry in the tree or two siblings of one name is corruption.
  HRESULT Walk(Node& root, uint32_t first_child) {
    struct Work {
      Node* node;
      uint32_t child;
      int depth;
    };
    std::vector<Work> storages{{&root, first_child, 0}};
    while (!storages.empty()) {
      Work w = storages.back();
      storages.pop_back();
      std::vector<uint32_t> stack{w.child};
      while (!stack.empty()) {
        uint32_t id = stack.back();
        stack.pop_back();
        if (id == kNoStream) continue;
        if (id >= entry_count_ || seen_[id]) return STG_E_DOCFILECORRUPT;
        seen_[id] = true;
        const BYTE* e = Entry(id);
        stack.push_back(Get32(e + 68));
        stack.push_back(Get32(e + 72));
        std::u16string name;
        if (!GetName(e, name)) return STG_E_DOCFILECORRUPT;
        if (w.node->streams.count(name) || w.node->storages.count(name)) return STG_E_DOCFILECORRUPT;
        if (e[66] == kTypeStorage) {
          if (w.depth >= kMaxDepth) return STG_E_DOCFILECORRUPT;
          auto child = std::make_shared<Node>();
          GetStorage(e, *child, false);
          w.node->storages[name] = child;
          storages.push_back({child.get(), Get32(e + 76), w.depth + 1});
        } else if (e[66] == kTypeStream) {
          auto b = std::make_shared<Bytes>();
          MutexLock g(b->mu);  // not shared yet; taken for the analysis
          if (HRESULT hr = ReadStream(e, b->data); FAILED(hr)) return hr;
          w.node->streams[name] = b;
        } else {
          return STG_E_DOCFILECORRUPT;
        }
      }
    }
    return S_OK;
  }

  const BYTE* p_;
  size_t n_;
  bool v3_ = true;
  size_t ss_ = 512;
  size_t nsect_ = 0;        // whole sectors present after the header
  std::vector<bool> owned_;  // sectors already taken by a chain
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> dir_;
  size_t entry_count_ = 0;
  std::vector<bool> seen_;
  std::vector<uint32_t> ministream_;  // the mini stream's sectors
  size_t mini_count_ = 0;
  std::vector<uint32_t> minifat_;
  std::vector<bool> mini_owned_;
};

}  // namespace

HRESULT WriteCompoundFile(const Node& root, std::vector<BYTE>& out) {
  try {
    return Writer().Run(root, out);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
}

HRESULT ReadCompoundFile(const BYTE* data, size_t size, Node& root) {
  try {
    return Reader(data, size).Run(root);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
}

}  // namespace vantrel::storage
