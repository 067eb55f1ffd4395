#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "protocol/ZelStubs.h"

namespace vantrel::zel {
namespace {

std::vector<std::uint8_t> RequestBytes(const auto& request) {
  rpc::NdrWriter w;
  op::Encode(w, request);
  return w.data();
}

std::vector<std::uint8_t> ReplyBytes(const auto& reply) {
  rpc::NdrWriter w;
  op::Encode(w, reply);
  return w.data();
}

TEST(Table, OpnumsAreDenseAndNamesAsPublished) {
  auto ops = Operations();
  ASSERT_EQ(ops.size(), kOperationCount);
  std::set<std::string> names;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(ops[i].opnum, i);
    names.insert(ops[i].name);
  }
  EXPECT_EQ(names.size(), kOperationCount);
  for (const char* n : {"IMAPICONTAIENR_OpenEntry", "GetNotifyQuere", "MSGSTORE_Undadvise",
                        "IMAPICONAINER_SetSearchCriteria", "ISTORAGE_ENUMElements"})
    EXPECT_TRUE(names.count(n)) << n;
  EXPECT_FALSE(ops[ZelLogon_Release::kOpnum].has_result);
}

TEST(Table, IdlFileIsTheTable) {
  std::ifstream f(ZEL_IDL_FILE);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_EQ(text.str(), InterfaceIdl()) << "regenerate protocol/zel.idl with build/bin/zel_idl";
}

// The interface flag is one byte wide in IMAPICONTAIENR_OpenEntry and two
// bytes (2-aligned) in MSGSTORE_OpenEntry; the long after it realigns.
TEST(Layout, SelectorWidths) {
  wire::Bytes16 iid{};
  iid[0] = 0xAA;
  auto narrow = RequestBytes(IMAPICONTAIENR_OpenEntry::Request{7, {1, 2, 3}, {1, iid}, 0x10});
  auto wide = RequestBytes(MSGSTORE_OpenEntry::Request{7, {1, 2, 3}, {1, iid}, 0x10});
  std::vector<std::uint8_t> head = {7, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3};
  ASSERT_EQ(narrow.size(), 36u);
  ASSERT_EQ(wide.size(), 40u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), narrow.begin()));
  EXPECT_EQ(narrow[15], 1);     // flag byte right after the entry ID
  EXPECT_EQ(narrow[16], 0xAA);  // then the 16 bytes
  EXPECT_EQ(narrow[32], 0x10);
  EXPECT_EQ(wide[15], 0);  // pad to 2
  EXPECT_EQ(wide[16], 1);
  EXPECT_EQ(wide[17], 0);
  EXPECT_EQ(wide[18], 0xAA);
  EXPECT_EQ(wide[36], 0x10);  // after 2 bytes of padding to 4
}

TEST(Layout, ReplyOrderAndAreas) {
  // OpenProperty: handle, then kind, then the result.
  IMAPIPROP_OpenProperty::Reply open;
  open.hNewObject = 5;
  open.ulObjectKind = 257;
  open.result = -1;
  EXPECT_EQ(ReplyBytes(open), (std::vector<std::uint8_t>{5, 0, 0, 0, 1, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  // ReadBuffer: cbRead, the varying array (offset, count, bytes), result.
  ReadBuffer::Reply read;
  read.cbRead = 2;
  read.data = {9, 8};
  read.result = 2;
  EXPECT_EQ(ReplyBytes(read), (std::vector<std::uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 9, 8, 0, 0, 2, 0, 0, 0}));
  // ZelLogon_Release answers nothing at all.
  EXPECT_TRUE(ReplyBytes(ZelLogon_Release::Reply{}).empty());
  // Storage records are 132 bytes each.
  IEnumSTATSTG_Next::Reply next;
  next.statstg.max = 4;
  next.statstg.items.resize(2);
  next.celtFetched = 2;
  EXPECT_EQ(ReplyBytes(next).size(), 12u + 2 * 132 + 8);
  ISTREAM_Stat::Reply stat;
  EXPECT_EQ(ReplyBytes(stat).size(), 132u + 4);
  // 64-bit values travel low half first.
  ISTREAM_Seek::Reply seek;
  seek.libNewPosition = 0x0000000200000001ull;
  EXPECT_EQ(ReplyBytes(seek), (std::vector<std::uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Coding, EveryOperationRoundTrips) {
  ForEachOperation([]<class Op>() {
    typename Op::Request in{};
    auto bytes = RequestBytes(in);
    rpc::NdrReader r(bytes, false);
    typename Op::Request back;
    EXPECT_NO_THROW(op::Decode(r, back)) << Op::kName;
    EXPECT_EQ(r.remaining(), 0u) << Op::kName;
    typename Op::Reply out{};
    auto reply = ReplyBytes(out);
    rpc::NdrReader rr(reply, false);
    typename Op::Reply back_out;
    EXPECT_NO_THROW(op::Decode(rr, back_out)) << Op::kName;
    EXPECT_EQ(rr.remaining(), 0u) << Op::kName;
  });
}

TEST(Coding, BigEndianRepliesDecode) {
  std::vector<std::uint8_t> be = {0, 0, 0, 5, 0, 0, 1, 1, 0x80, 0x04, 0x01, 0x02};
  rpc::NdrReader r(be, true);
  IMAPIPROP_OpenProperty::Reply out;
  op::Decode(r, out);
  EXPECT_EQ(out.hNewObject, 5);
  EXPECT_EQ(out.ulObjectKind, 257);
  EXPECT_EQ(out.result, static_cast<std::int32_t>(0x80040102));
}

TEST(Coding, MalformedCountsAreRejected) {
  // An array longer than its bound, a count beyond the data.
  std::vector<std::uint8_t> over = {2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0};
  rpc::NdrReader r(over, false);
  ISTREAM_Read::Reply out;
  EXPECT_THROW(op::Decode(r, out), rpc::NdrError);
  std::vector<std::uint8_t> tags = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F};
  rpc::NdrReader t(tags, false);
  MAPIPROP_DeleteProps::Request del;
  EXPECT_THROW(op::Decode(t, del), rpc::NdrError);
}

TEST(Stubs, TransportStatusAndBadRepliesReachTheCaller) {
  Transport failing = [](std::uint16_t, const std::vector<std::uint8_t>&, std::vector<std::uint8_t>&, bool&) {
    return static_cast<RPC_STATUS>(RPC_S_SERVER_UNAVAILABLE);
  };
  FreeHObject::Reply out;
  EXPECT_EQ(Invoke<FreeHObject>(failing, {1}, out), RPC_S_SERVER_UNAVAILABLE);
  Transport shorty = [](std::uint16_t, const std::vector<std::uint8_t>&, std::vector<std::uint8_t>& reply, bool&) {
    reply = {1, 0};
    return RPC_S_OK;
  };
  EXPECT_EQ(Invoke<FreeHObject>(shorty, {1}, out), RPC_X_BAD_STUB_DATA);
}

}  // namespace
}  // namespace vantrel::zel
