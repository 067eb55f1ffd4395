// The operation handlers: one per operation of the remote interface, all
// run through the one operation frame (trace, lookup by handle and kind,
// object operation, result trace, exceptions turned into
// MAPI_E_NO_SUPPORT).
//
// A processor fault inside an object operation cannot be caught safely on
// this platform; the frame catches C++ exceptions and the code is kept free
// of faults instead (sanitizer builds and fuzzing guard it).
#pragma once

#include <functional>
#include <memory>

#include "platform/rpc/Rpc.h"
#include "protocol/ZelProtocol.h"
#include "server/dispatch/LogonThrottle.h"
#include "server/dispatch/ServerClasses.h"

namespace vantrel::server {

struct ServerHooks {
  // Makes an unregistered session object for the logon operations, or
  // nullptr when none can be made.
  std::function<std::shared_ptr<CServerClass>()> make_session;
  // Serves Server_SetProfileGuid; without it the operation answers
  // MAPI_E_NO_SUPPORT and hands the identifier back unchanged.
  std::function<HRESULT(const zel::Server_SetProfileGuid::Request&, zel::Server_SetProfileGuid::Reply&)>
      set_profile_guid;
  // Slows down failed logons by peer address; none: answered at once.
  CLogonThrottle* throttle = nullptr;
};

class CServerDispatch {
 public:
  explicit CServerDispatch(CServerClasses& registry, ServerHooks hooks = {});

  // Decodes the request of `call.opnum` (an NdrError leaves before any
  // handler runs), runs the handler for the caller `call` names and encodes
  // the reply.
  RPC_STATUS Dispatch(const rpc::CallInfo& call, rpc::NdrReader& in, rpc::NdrWriter& out);
  // The interface with this object's dispatcher; the object must outlive it.
  rpc::InterfaceSpec Spec();

  template <class Op>
  void Handle(const typename Op::Request& in, typename Op::Reply& out);
  // The reads: each writes its whole reply, the bytes read straight into
  // the stub data instead of through the reply record.
  void ReadInPlace(const zel::ReadBuffer::Request& in, rpc::NdrWriter& out);
  void ReadInPlace(const zel::ReadBufferEx::Request& in, rpc::NdrWriter& out);
  void ReadInPlace(const zel::ISTREAM_Read::Request& in, rpc::NdrWriter& out);

 private:
  // A failed logon waits before its answer; a success clears the count.
  void LogonOutcome(bool failed, bool succeeded);

  CServerClasses& reg_;
  ServerHooks hooks_;
};

}  // namespace vantrel::server
