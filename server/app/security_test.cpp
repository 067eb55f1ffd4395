// What one client may reach and hold on a running ZelServer: handles of
// other connections name nothing, a dropped client goes on from its own
// address only, caps end a client that piles up answers or objects, and
// guessed passwords are slowed per address. The clients here speak the
// protocol over raw sockets bound to a chosen loopback address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiTags.h"
#include "platform/registry/Registry.h"
#include "platform/rpc/Pdu.h"
#include "platform/storage/ObjIdl.h"
#include "protocol/ZelProtocol.h"
#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Client;
using testsupport::Iid;
using testsupport::Text;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kProfile = testsupport::Mailbox::kProfile;
constexpr const char* kStore = testsupport::Mailbox::kStore;

// The caps and the delay this server runs with, small enough to reach.
constexpr DWORD kPendingCap = 40000;
constexpr DWORD kObjectCap = 300;
constexpr DWORD kSessionCap = 4;
constexpr DWORD kDelayStepMs = 300;

// A nothing handle: never issued, no buffer of that number.
constexpr std::int32_t kNothing = 0x7FFF0000;

using testsupport::TestDir;

// One DCE/RPC connection from `source` to the server on 127.0.0.1, bound to
// the interface; its transport carries the typed stubs' calls.
class RawConnection {
 public:
  RawConnection(const std::string& port, const char* source) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{30, 0};  // no read waits forever
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      Drop();
      return;
    }
    rpc::InterfaceSpec spec = zel::InterfaceSpec();
    rpc::BindBody body;
    body.max_xmit = body.max_recv = rpc::kMinFragment;
    body.contexts.push_back({0, {spec.uuid, spec.major, spec.minor}, {rpc::kNdrSyntax}});
    Bytes pdu;
    rpc::AppendBind(pdu, rpc::PduType::kBind, ++call_id_, body);
    Bytes ack;
    std::optional<rpc::BindAckBody> parsed;
    if (Send(pdu) && Receive(ack)) parsed = rpc::ParseBindAck(ack);
    if (!parsed || parsed->results.empty() || parsed->results[0].result != rpc::kResultAcceptance) {
      Drop();
      return;
    }
    max_frag_ = parsed->max_recv;
  }
  ~RawConnection() { Drop(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The connection breaks as a cable does: no goodbye.
  void Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  zel::Transport Transport() {
    return [this](std::uint16_t opnum, const Bytes& request, Bytes& reply, bool& big_endian) -> RPC_STATUS {
      reply.clear();
      Bytes pdu;
      rpc::AppendRequest(pdu, ++call_id_, 0, opnum, nullptr, request, max_frag_);
      if (!Send(pdu)) return RPC_S_CALL_FAILED;
      for (;;) {
        Bytes fragment;
        if (!Receive(fragment)) return RPC_S_CALL_FAILED;
        auto header = rpc::ParseHeader(fragment);
        if (header->type == rpc::PduType::kFault) return static_cast<RPC_STATUS>(rpc::ParseFault(fragment)->status);
        auto response = rpc::ParseResponse(fragment);
        if (!response) return RPC_S_CALL_FAILED;
        reply.insert(reply.end(), response->stub.begin(), response->stub.end());
        big_endian = header->big_endian();
        if (header->flags & rpc::PFC_LAST_FRAG) return RPC_S_OK;
      }
    };
  }

 private:
  bool Send(const Bytes& pdu) {
    return fd_ >= 0 && ::send(fd_, pdu.data(), pdu.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(pdu.size());
  }
  bool ReadExactly(std::uint8_t* p, std::size_t n) {
    while (n) {
      ssize_t got = fd_ >= 0 ? recv(fd_, p, n, 0) : -1;
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  bool Receive(Bytes& pdu) {
    pdu.resize(rpc::kHeaderSize);
    if (!ReadExactly(pdu.data(), pdu.size())) return false;
    auto header = rpc::ParseHeader(pdu);
    if (!header) return false;
    pdu.resize(header->frag_length);
    return ReadExactly(pdu.data() + rpc::kHeaderSize, pdu.size() - rpc::kHeaderSize);
  }

  int fd_ = -1;
  std::uint32_t call_id_ = 0;
  std::uint16_t max_frag_ = rpc::kMinFragment;
};

// A workstation at `source`: its connection and the test client's calls.
struct Peer {
  Peer(const std::string& port, const char* source) : raw(port, source), c(raw.Transport()) {}
  RawConnection raw;
  Client c;
};

// The reply's stub bytes, as they travel.
template <class Op>
Bytes Raw(Client& c, const typename Op::Request& in) {
  rpc::NdrWriter w;
  zel::op::Encode(w, in);
  Bytes reply;
  bool big = false;
  EXPECT_EQ(c.t()(Op::kOpnum, w.data(), reply, big), RPC_S_OK) << Op::kName;
  return reply;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Security : public testsupport::ServerSuite {
 protected:
  static void SetUpTestSuite() {
    StartServer({{"MaxPendingBytes", kPendingCap},
                 {"MaxObjectsPerSession", kObjectCap},
                 {"MaxSessionsPerConnection", kSessionCap},
                 {"LogonDelayStep", kDelayStepMs}});
  }

  static std::unique_ptr<Peer> Connect(const char* source = "127.0.0.1") {
    auto p = std::make_unique<Peer>(server_->port(), source);
    EXPECT_TRUE(p->raw.ok()) << source;
    return p;
  }
  static std::int32_t Logon(Client& c, const char* user = "jsmith", const char* password = "secret") {
    return c.Logon(kProfile, kStore, user, password);
  }
  static std::string Log() {
    std::ifstream f(TestDir() + "/home/zelServer.log");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // Waits (bounded) until the log holds `what` `n` times.
  static bool LogReaches(const std::string& what, int n) {
    for (int i = 0; i < 200; ++i) {
      if (Count(Log(), what) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

};

// A's session with one object of every kind and an unread result block.
struct World {
  std::int32_t session = 0, store = 0, folder = 0, message = 0, table = 0, stream = 0, buffer = -1;
  zel::MAPIPROP_GetProps::Reply pending;  // the answer whose block waits
};

World Build(Client& c, std::int32_t session) {
  World w;
  w.session = session;
  w.store = c.Call<zel::ZelLogon_GetMsgStore>({session}).result;
  w.folder = c.OpenEntry(w.store, c.Binary(w.store, PR_IPM_SUBTREE_ENTRYID));
  w.message = c.Call<zel::IMAPIFOLDER_CreateMessage>({w.folder, {}, 0}).hMessage;
  std::string body(2000, 'b');
  EXPECT_EQ(c.SetProps(w.message, {Text(PR_SUBJECT, "Salaries"), Text(PR_BODY, body.c_str())}), S_OK);
  w.table = c.Call<zel::IMAPICONTAIENR_GetContentsTable>({w.folder, 0}).hTable;
  w.stream = c.Call<zel::IMAPIPROP_OpenProperty>({w.message, PR_BODY, Iid(IID_IStream), 0, 0}).hNewObject;
  w.pending = c.Call<zel::MAPIPROP_GetProps>({w.message, {PR_SUBJECT, PR_BODY}, 0});
  w.buffer = w.pending.hBuffer;
  for (std::int32_t h : {w.store, w.folder, w.message, w.table, w.stream}) EXPECT_GT(h, 0);
  EXPECT_GE(w.buffer, 0);
  EXPECT_GT(w.pending.cb, 512);
  return w;
}

TEST_F(Security, AnotherConnectionsHandlesNameNothing) {
  const int offences = Count(Log(), "named handles of another connection");
  auto a = Connect();
  World w = Build(a->c, Logon(a->c));
  auto b = Connect();  // the same address, its own connection and user
  ASSERT_GT(Logon(b->c, "mmuster", "geheim"), 0);

  using Op = std::function<Bytes(Client&, std::int32_t)>;
  const std::pair<const char*, Op> ops[] = {
      {"GetProps", [](Client& c, std::int32_t h) { return Raw<zel::MAPIPROP_GetProps>(c, {h, {PR_SUBJECT}, 0}); }},
      {"GetMsgStore", [](Client& c, std::int32_t h) { return Raw<zel::ZelLogon_GetMsgStore>(c, {h}); }},
      {"GetNotifyQuere", [](Client& c, std::int32_t h) { return Raw<zel::GetNotifyQuere>(c, {h}); }},
      {"IMsgStore.OpenEntry",
       [](Client& c, std::int32_t h) { return Raw<zel::MSGSTORE_OpenEntry>(c, {h, {}, {}, MAPI_BEST_ACCESS}); }},
      {"IMAPIContainer.OpenEntry",
       [](Client& c, std::int32_t h) { return Raw<zel::IMAPICONTAIENR_OpenEntry>(c, {h, {}, {}, 0}); }},
      {"QueryRows", [](Client& c, std::int32_t h) { return Raw<zel::IMAPITABLE_QueryRows>(c, {h, 10, 0}); }},
      {"ISTREAM_Read", [](Client& c, std::int32_t h) { return Raw<zel::ISTREAM_Read>(c, {h, 100}); }},
      {"ReadBuffer", [](Client& c, std::int32_t h) { return Raw<zel::ReadBuffer>(c, {h}); }},
      {"GetBufferSize", [](Client& c, std::int32_t h) { return Raw<zel::GetBufferSize>(c, {h}); }},
      {"FreeBuffer", [](Client& c, std::int32_t h) { return Raw<zel::FreeBuffer>(c, {h}); }},
      {"FreeHObject", [](Client& c, std::int32_t h) { return Raw<zel::FreeHObject>(c, {h}); }},
  };
  const std::pair<const char*, std::int32_t> handles[] = {
      {"session", w.session}, {"store", w.store},   {"folder", w.folder}, {"message", w.message},
      {"table", w.table},     {"stream", w.stream}, {"buffer", w.buffer},
  };
  // FreeHObject and FreeBuffer last, so every other call meets A's things
  // before B tries to free them.
  for (auto& [op, call] : ops)
    for (auto& [kind, h] : handles) EXPECT_EQ(call(b->c, h), call(b->c, kNothing)) << op << " with A's " << kind;

  // A's objects and its pending block are whole.
  Client& c = a->c;
  EXPECT_EQ(c.Call<zel::ZelLogon_GetMsgStore>({w.session}).result, w.store);
  EXPECT_EQ(c.Text(w.store, PR_DISPLAY_NAME), kStore);
  EXPECT_EQ(c.Text(w.message, PR_SUBJECT), "Salaries");
  EXPECT_EQ(c.Call<zel::IMAPITABLE_QueryRows>({w.table, 10, 0}).result, S_OK);
  auto read = c.Call<zel::ISTREAM_Read>({w.stream, 100});
  EXPECT_EQ(read.result, S_OK);
  EXPECT_EQ(read.cbRead, 100);
  EXPECT_EQ(c.Call<zel::GetBufferSize>({w.buffer}).result, w.pending.cb);
  Bytes block = c.Block(w.pending.cb, w.pending.hBuffer, w.pending.inlineData);
  EXPECT_EQ(block.size(), static_cast<std::size_t>(w.pending.cb));
  EXPECT_NE(std::string(block.begin(), block.end()).find(std::string(2000, 'b')), std::string::npos);

  // One log line for B, not one per call.
  EXPECT_EQ(Count(Log(), "named handles of another connection"), offences + 1);
}

TEST_F(Security, ADroppedClientGoesOnFromItsOwnAddressOnly) {
  auto a = Connect();
  std::int32_t session = Logon(a->c);
  std::int32_t store = a->c.Call<zel::ZelLogon_GetMsgStore>({session}).result;
  ASSERT_GT(store, 0);
  auto stranger = Connect("127.0.0.2");
  ASSERT_GT(Logon(stranger->c), 0);  // the address reaches the server at all

  const std::string closed = "its sessions " + std::to_string(session) + " wait to be taken over";
  a->raw.Drop();
  ASSERT_TRUE(LogReaches(closed, 1));

  struct Case {
    const char* who;
    Client* client;
    bool goes_on;
  };
  auto heir = Connect();
  auto late = Connect();  // same address, but the session is live again
  const Case cases[] = {
      {"127.0.0.2", &stranger->c, false},
      {"127.0.0.1 after the drop", &heir->c, true},
      {"127.0.0.1 while the heir holds it", &late->c, false},
      {"127.0.0.2 again", &stranger->c, false},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(k.client->Call<zel::ZelLogon_GetMsgStore>({session}).result, k.goes_on ? store : 1) << k.who;
    EXPECT_EQ(k.client->Text(store, PR_DISPLAY_NAME), k.goes_on ? kStore : "<none>") << k.who;
  }
}

TEST_F(Security, CapsStopAClientThatHoardsAndItsSessionsEndFreesIt) {
  auto p = Connect("127.0.0.5");
  Client& c = p->c;
  std::int32_t session = Logon(c);
  World w = Build(c, session);  // one block of A's pending already

  // Result blocks never read: the block past the cap is refused.
  std::vector<std::int32_t> blocks{w.buffer};
  std::int64_t pending = w.pending.cb;
  for (int i = 0; i < 100; ++i) {
    auto r = c.Call<zel::MAPIPROP_GetProps>({w.message, {PR_SUBJECT, PR_BODY}, 0});
    if (r.result == MAPI_E_NOT_ENOUGH_MEMORY) {
      EXPECT_EQ((std::vector<std::int32_t>{r.cb, r.hBuffer, r.cValues}), (std::vector<std::int32_t>{0, 0, 0}));
      break;
    }
    ASSERT_EQ(r.result, S_OK);
    blocks.push_back(r.hBuffer);
    pending += r.cb;
  }
  EXPECT_EQ(static_cast<std::int64_t>(blocks.size()), kPendingCap / w.pending.cb);
  EXPECT_LE(pending, kPendingCap);
  // Reading one makes room again.
  c.Block(w.pending.cb, blocks.back(), w.pending.inlineData);
  blocks.pop_back();
  auto again = c.Call<zel::MAPIPROP_GetProps>({w.message, {PR_SUBJECT, PR_BODY}, 0});
  EXPECT_EQ(again.result, S_OK);
  blocks.push_back(again.hBuffer);

  // Objects: the session holds five (store, folder, message, table,
  // stream); opens go on up to the cap.
  int opened = 0;
  for (int i = 0; i < static_cast<int>(kObjectCap); ++i) {
    auto r = c.Call<zel::MSGSTORE_OpenEntry>({w.store, {}, {}, MAPI_BEST_ACCESS});
    if (r.result == MAPI_E_NOT_ENOUGH_MEMORY) {
      EXPECT_EQ(r.hNewObject, 0);
      break;
    }
    ++opened;
  }
  EXPECT_EQ(opened, static_cast<int>(kObjectCap) - 5);

  // Sessions of one connection.
  int sessions = 1;
  while (sessions < static_cast<int>(kSessionCap) + 2 && Logon(c) > 0) ++sessions;
  EXPECT_EQ(sessions, static_cast<int>(kSessionCap));
  EXPECT_EQ(Logon(c), MAPI_E_NOT_ENOUGH_MEMORY);

  // The session ends: its blocks go with it.
  c.Call<zel::FreeHObject>({session});
  for (std::int32_t b : blocks) EXPECT_EQ(c.Call<zel::GetBufferSize>({b}).result, -1) << b;
}

TEST_F(Security, FailedLogonsAreSlowedPerAddress) {
  auto x = Connect("127.0.0.3");
  auto y = Connect("127.0.0.4");
  auto timed = [](auto&& call) {
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - start;
  };
  auto fail = [](Client& c) { EXPECT_EQ(Logon(c, "jsmith", "wrong"), MAPI_E_INVALID_WORKSTATION_ACCOUNT); };
  auto admin_fail = [](Client& c) {
    EXPECT_EQ(c.Call<zel::Tarnix_AdminLogon>({"jsmith", "wrong", "", "ws"}).result,
              MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  };
  auto delays = [](const char* address) { return Count(Log(), std::string("Failed logon from ") + address); };

  auto unslowed = timed([&] { fail(x->c); });  // a first failure is answered at once
  EXPECT_EQ(delays("127.0.0.3"), 0);
  admin_fail(x->c);
  auto slowed = timed([&] { fail(x->c); });
  EXPECT_GE(slowed, unslowed + std::chrono::milliseconds(kDelayStepMs));
  EXPECT_EQ(Count(Log(), "Failed logon from 127.0.0.3 answered after 300 ms"), 1);
  EXPECT_EQ(Count(Log(), "Failed logon from 127.0.0.3 answered after 600 ms"), 1);

  // Another address is not slowed by X's guessing.
  fail(y->c);
  EXPECT_EQ(delays("127.0.0.4"), 0);

  // A success starts X over: its next failure is answered at once again.
  ASSERT_GT(Logon(x->c), 0);
  fail(x->c);
  EXPECT_EQ(delays("127.0.0.3"), 2);
  fail(x->c);
  EXPECT_EQ(delays("127.0.0.3"), 3);
}

}  // namespace
}  // namespace vantrel
