#include "platform/mapi/MapiMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/base/ThreadAnnotations.h"

namespace {

constexpr std::uint32_t kRootMagic = 0x4D415049;  // "MAPI"
constexpr std::uint32_t kMoreMagic = 0x4D4F5245;  // "MORE"
constexpr std::uint32_t kFreedMagic = 0x46524545;

struct Header;

// The blocks chained to one root; threads may allocate more on one root
// at once.
struct Chain {
  vantrel::Mutex mu;
  Header* blocks GUARDED_BY(mu) = nullptr;  // newest first, linked by `next`
};

// Every block is preceded by this header; the payload starts 16-byte
// aligned after it.
struct alignas(16) Header {
  std::uint32_t magic;
  std::uint32_t size;
  Header* root;   // a chained block's root; a root's own address
  Header* next;   // the block chained before this one; set before it is linked
  Chain* chain;   // roots only
};
static_assert(sizeof(Header) % 16 == 0);

Header* HeaderOf(void* p) {
  return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}
void* PayloadOf(Header* h) {
  return reinterpret_cast<char*>(h) + sizeof(Header);
}

Header* NewBlock(ULONG cb, std::uint32_t magic) {
  void* raw = std::malloc(sizeof(Header) + (cb ? cb : 1));
  if (!raw) return nullptr;
  auto* h = static_cast<Header*>(raw);
  h->magic = magic;
  h->size = cb;
  h->root = h;
  h->next = nullptr;
  h->chain = nullptr;
  std::memset(PayloadOf(h), 0, cb);
  return h;
}

}  // namespace

SCODE MAPIAllocateBuffer(ULONG cb_size, LPVOID* lpp_buffer) {
  if (!lpp_buffer) return MAPI_E_INVALID_PARAMETER;
  *lpp_buffer = nullptr;
  Header* h = NewBlock(cb_size, kRootMagic);
  if (!h) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->chain = new (std::nothrow) Chain;
  if (!h->chain) {
    std::free(h);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  *lpp_buffer = PayloadOf(h);
  return S_OK;
}

SCODE MAPIAllocateMore(ULONG cb_size, LPVOID object, LPVOID* lpp_buffer) {
  if (!lpp_buffer) return MAPI_E_INVALID_PARAMETER;
  *lpp_buffer = nullptr;
  if (!object) return MAPIAllocateBuffer(cb_size, lpp_buffer);
  Header* parent = HeaderOf(object);
  if (parent->magic != kRootMagic && parent->magic != kMoreMagic) return MAPI_E_INVALID_PARAMETER;
  Header* root = parent->root;
  Header* h = NewBlock(cb_size, kMoreMagic);
  if (!h) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->root = root;
  {
    vantrel::MutexLock lock(root->chain->mu);
    h->next = root->chain->blocks;
    root->chain->blocks = h;
  }
  *lpp_buffer = PayloadOf(h);
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  if (!buffer) return 0;
  Header* h = HeaderOf(buffer);
  if (h->magic != kRootMagic) return 0;  // chained blocks go with their root
  h->magic = kFreedMagic;
  Header* first;
  {
    vantrel::MutexLock lock(h->chain->mu);
    first = h->chain->blocks;
  }
  for (Header* m = first; m;) {
    Header* next = m->next;
    m->magic = kFreedMagic;
    std::free(m);
    m = next;
  }
  delete h->chain;
  std::free(h);
  return 0;
}
