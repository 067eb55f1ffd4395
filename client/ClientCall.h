// The frame every remote call of the client runs in: one process-wide
// recursive call lock, the current binding, RPC faults turned into results,
// the bulk read of result blocks, and the client trace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/base/WinTypes.h"
#include "platform/rpc/Rpc.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

namespace detail {
extern RecursiveMutex g_call_lock;
}  // namespace detail

// Held for the whole of every remote call of the process (and of each
// notification poll). Recursive: a stream CopyTo into another of our
// streams calls the server from inside a call.
RecursiveMutex& CallLock() RETURN_CAPABILITY(detail::g_call_lock);

// Makes the current binding the one for `address` (a host name or dotted
// address) on the endpoint ZEL_RPC_ENDPOINT or "5002", with the long
// communication time-out. One binding per address serves the whole process:
// a second InitClient for the same address reuses the first one's binding.
// `string_binding` (may be null) receives the binding's text. Returns 0 or
// the status of the failing step.
RPC_STATUS InitClient(const char* address, std::string* string_binding) EXCLUDES(CallLock());

// The binding the last InitClient made current (null before any).
RPC_BINDING_HANDLE CurrentBinding() EXCLUDES(CallLock());

// True once `binding` had to open a new connection to its server: the
// objects made over it before are gone, and its calls fail without being
// sent (RPC_S_CALL_FAILED_DNE). InitClient then makes a new binding.
bool BindingRetired(RPC_BINDING_HANDLE binding) EXCLUDES(CallLock());

namespace detail {
// Installs `binding` (when not null) as the current binding and returns the
// transport over the current binding.
const zel::Transport& EnterCall(RPC_BINDING_HANDLE binding) REQUIRES(CallLock());
// Traces "RPC Error %x (%s)" for a failed call.
void TraceRpcError(RPC_STATUS status);
}  // namespace detail

// The result a failed call reports: RPC statuses are positive, and a
// positive result would read as success to every MAPI caller, so a Win32
// status becomes its HRESULT and any other one MAPI_E_CALL_FAILED.
HRESULT RpcFailure(RPC_STATUS status);

// Runs one operation on the server for an object bound to `binding`: takes
// the call lock, installs the binding and runs the typed stub. Returns the
// operation's result (S_OK for operations without one), or RpcFailure of
// the status when the call itself failed.
template <class Op>
HRESULT CallRemote(RPC_BINDING_HANDLE binding, const typename Op::Request& in, typename Op::Reply& out)
    EXCLUDES(CallLock()) {
  RecursiveMutexLock lock(CallLock());
  RPC_STATUS status = zel::Invoke<Op>(detail::EnterCall(binding), in, out);
  if (status != RPC_S_OK) {
    detail::TraceRpcError(status);
    return RpcFailure(status);
  }
  if constexpr (Op::kHasResult) return out.result;
  return S_OK;
}

// Gives a server object back (FreeHObject) unless `handle` is already -1,
// and sets it to -1 so no later release can free another object. Returns
// the server's result.
HRESULT FreeServerObject(RPC_BINDING_HANDLE binding, std::int32_t& handle) EXCLUDES(CallLock());

// QueryInterface of an object that answers IUnknown and one interface.
template <class I>
HRESULT QueryOneInterface(I* self, REFIID riid, const IID& iid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == iid) {
    *ppv = self;
    self->AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// Fetches a whole result block of `size` bytes: the inline bytes that came
// with the reply, then the rest from result buffer `buffer`. Returns S_OK
// with exactly the bytes fetched in `out`, or the failing status.
HRESULT BulkRead(RPC_BINDING_HANDLE binding, std::int32_t size, std::int32_t buffer,
                 const zel::wire::Inline::Value& inline_data, std::vector<BYTE>& out) EXCLUDES(CallLock());

// Sends "ZELCLIENT: " + text to the "ServerTrace" window, when one existed
// at the first trace of the process; lines of 250 characters or more are
// dropped.
void ClientTrace(const std::string& text);
// Whether traces go anywhere (the look-up above, made once); callers skip
// composing a trace line when they do not.
bool ClientTraceActive();
// "%d %s" with the object's server handle, or "Spooler: %d %s" for an
// object of a store opened for the spooler.
void ObjectTrace(std::int32_t handle, bool spooler, const std::string& text);
// printf-style helper for trace texts.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Symbolic names: a MAPI error or warning ("MAPI_E_NOT_FOUND") or null;
// for an RPC status or any code, the RPC, socket or MAPI name, the system's
// text, or "Unknown Error %x".
const char* MapiErrorName(HRESULT code);
std::string ErrorName(LONG code);

}  // namespace vantrel::client
