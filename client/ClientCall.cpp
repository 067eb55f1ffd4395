#include "client/ClientCall.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "platform/win/MessageBox.h"
#include "platform/win/WinUser.h"

namespace vantrel::client {

namespace detail {
RecursiveMutex g_call_lock;
}  // namespace detail

namespace {

constexpr unsigned kComTimeout = 9;  // long but finite
constexpr size_t kMaxTraceLine = 250;
constexpr UINT kTraceSendTimeoutMs = 1000;

// The process's bindings, one per server address, and the transport over
// each. Bindings live as long as the process: logons and proxies copy them.
//
// All logons to one server share its binding, so they share one
// association, and a handle names an object of any of them. When the
// binding has to open a new connection (the server restarted, or dropped
// the connection), the handles of every object made before name nothing
// any more, or, once a new logon made objects, someone else's. So a
// binding that reconnects is retired: its calls fail from then on without
// reaching the server, and the next InitClient for its address makes a
// new binding. The call that reconnected reached an association that held
// no session of ours yet.
struct Bindings {
  RPC_BINDING_HANDLE current = nullptr;
  std::map<std::string, std::pair<RPC_BINDING_HANDLE, std::string>> by_address;
  std::unordered_map<RPC_BINDING_HANDLE, zel::Transport> transports;
  std::set<RPC_BINDING_HANDLE> retired;
};
Bindings& TheBindings() REQUIRES(CallLock()) {
  static Bindings* bindings = new Bindings;  // never destroyed: proxies may outlive static destruction
  return *bindings;
}

void Retire(RPC_BINDING_HANDLE binding) REQUIRES(CallLock()) {
  Bindings& b = TheBindings();
  b.retired.insert(binding);
  for (auto it = b.by_address.begin(); it != b.by_address.end();) {
    if (it->second.first == binding)
      it = b.by_address.erase(it);
    else
      ++it;
  }
  ClientTrace("Connection to the server renewed: the objects of earlier logons are gone");
}

// One call over `binding`, unless the binding is retired. Transports are
// handed out by EnterCall alone, so their calls run under the call lock;
// the analysis cannot follow that into the lambda that calls this.
RPC_STATUS RetiringCall(RPC_BINDING_HANDLE binding, const zel::Transport& inner, std::uint16_t opnum,
                        const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                        bool& big_endian) NO_THREAD_SAFETY_ANALYSIS {
  Bindings& b = TheBindings();
  if (b.retired.count(binding)) return RPC_S_CALL_FAILED_DNE;
  std::uint64_t before = rpc::BindingConnections(binding);
  RPC_STATUS status = inner(opnum, request, reply, big_endian);
  if (before > 0 && rpc::BindingConnections(binding) != before) Retire(binding);
  return status;
}

const zel::Transport& TransportFor(RPC_BINDING_HANDLE binding) REQUIRES(CallLock()) {
  auto& transports = TheBindings().transports;
  auto it = transports.find(binding);
  if (it == transports.end()) {
    zel::Transport t = [binding, inner = zel::RpcTransport(binding)](
                           std::uint16_t opnum, const std::vector<std::uint8_t>& request,
                           std::vector<std::uint8_t>& reply, bool& big_endian) {
      return RetiringCall(binding, inner, opnum, request, reply, big_endian);
    };
    it = transports.emplace(binding, std::move(t)).first;
  }
  return it->second;
}

void ShowInitError(RPC_STATUS status, const char* what) {
  if (status >= 0) return;
  std::string text = Format("%s %s", what, ErrorName(status).c_str());
  MessageBox(nullptr, text.c_str(), "Error", MB_OK);
}

}  // namespace

RecursiveMutex& CallLock() { return detail::g_call_lock; }

RPC_STATUS InitClient(const char* address, std::string* string_binding) {
  std::string host = address ? address : "";
  std::string endpoint = rpc::DefaultEndpoint();
  std::string key = host + "[" + endpoint + "]";
  RecursiveMutexLock lock(CallLock());
  Bindings& b = TheBindings();
  auto it = b.by_address.find(key);
  if (it != b.by_address.end()) {
    b.current = it->second.first;
    if (string_binding) *string_binding = it->second.second;
    return RPC_S_OK;
  }
  char* composed = nullptr;
  RPC_STATUS status = RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", host.c_str(), endpoint.c_str(), nullptr,
                                              &composed);
  ShowInitError(status, "InitClient");
  if (status != RPC_S_OK) return status;
  RPC_BINDING_HANDLE binding = nullptr;
  status = RpcBindingFromStringBinding(composed, &binding);
  std::string text = composed ? composed : "";
  RpcStringFree(&composed);
  ShowInitError(status, "InitClient");
  if (status != RPC_S_OK) return status;
  if (string_binding) *string_binding = text;
  status = RpcMgmtSetComTimeout(binding, kComTimeout);
  ShowInitError(status, "");
  if (status != RPC_S_OK) {
    RpcBindingFree(&binding);
    return status;
  }
  b.current = binding;
  b.by_address.emplace(key, std::make_pair(binding, text));
  return RPC_S_OK;
}

bool BindingRetired(RPC_BINDING_HANDLE binding) {
  RecursiveMutexLock lock(CallLock());
  return binding && TheBindings().retired.count(binding) != 0;
}

RPC_BINDING_HANDLE CurrentBinding() {
  RecursiveMutexLock lock(CallLock());
  return TheBindings().current;
}

namespace detail {

const zel::Transport& EnterCall(RPC_BINDING_HANDLE binding) {
  Bindings& b = TheBindings();
  if (binding && binding != b.current) b.current = binding;
  return TransportFor(b.current);
}

void TraceRpcError(RPC_STATUS status) {
  ClientTrace(Format("RPC Error %x (%s)", static_cast<unsigned>(status), ErrorName(status).c_str()));
}

}  // namespace detail

HRESULT RpcFailure(RPC_STATUS status) {
  if (status < 0) return status;
  if (status == RPC_S_OK) return S_OK;
  if (status <= 0xFFFF) return HRESULT_FROM_WIN32(static_cast<std::uint32_t>(status));
  return MAPI_E_CALL_FAILED;
}

HRESULT FreeServerObject(RPC_BINDING_HANDLE binding, std::int32_t& handle) {
  if (handle == -1) return S_OK;
  zel::FreeHObject::Request in{handle};
  handle = -1;
  zel::FreeHObject::Reply out;
  return CallRemote<zel::FreeHObject>(binding, in, out);
}

HRESULT BulkRead(RPC_BINDING_HANDLE binding, std::int32_t size, std::int32_t buffer,
                 const zel::wire::Inline::Value& inline_data, std::vector<BYTE>& out) {
  out.clear();
  if (size <= 0) return S_OK;
  RecursiveMutexLock lock(CallLock());
  RPC_STATUS status = zel::FetchResultBlock(detail::EnterCall(binding), size, buffer, inline_data, out);
  if (status != RPC_S_OK) {
    detail::TraceRpcError(status);
    out.clear();
    return RpcFailure(status);
  }
  return S_OK;
}

// ---- trace -----------------------------------------------------------------

namespace {
// The "ServerTrace" window as found by the first trace (null when none).
std::atomic<int> g_trace_state{0};  // 0 not looked up, 1 looking, 2 done
std::atomic<HWND> g_trace_window{nullptr};

HWND TraceWindow() {
  int state = g_trace_state.load(std::memory_order_acquire);
  if (state == 2) return g_trace_window.load();
  int expected = 0;
  if (!g_trace_state.compare_exchange_strong(expected, 1)) {
    // Another thread is looking; this line goes untraced.
    return g_trace_state.load() == 2 ? g_trace_window.load() : nullptr;
  }
  g_trace_window.store(FindWindowA(nullptr, "ServerTrace"));
  g_trace_state.store(2, std::memory_order_release);
  return g_trace_window.load();
}
}  // namespace

bool ClientTraceActive() { return TraceWindow() != nullptr; }

void ClientTrace(const std::string& text) {
  std::string line = "ZELCLIENT: " + text;
  if (line.size() >= kMaxTraceLine) return;
  HWND window = TraceWindow();
  if (!window) return;
  COPYDATASTRUCT data{};
  data.dwData = 1000;
  data.cbData = static_cast<DWORD>(line.size() + 1);
  data.lpData = line.data();
  ULONG_PTR result = 0;
  SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                      kTraceSendTimeoutMs, &result);
}

void ObjectTrace(std::int32_t handle, bool spooler, const std::string& text) {
  if (!ClientTraceActive()) return;
  ClientTrace(spooler ? Format("Spooler: %d %s", handle, text.c_str()) : Format("%d %s", handle, text.c_str()));
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

// ---- error names -------------------------------------------------------------

const char* MapiErrorName(HRESULT code) {
  // MAPI's errors and warnings are the interface-facility codes.
  auto u = static_cast<std::uint32_t>(code);
  if ((u & 0x7FFF0000u) != 0x00040000u) return nullptr;
  return CodeName(code);
}

std::string ErrorName(LONG code) {
  if (const char* name = rpc::RpcStatusName(code)) return name;
  if (const char* name = CodeName(code)) return name;
  return Format("Unknown Error %x", static_cast<unsigned>(code));
}

}  // namespace vantrel::client
