// The mailbox the RPC benches measure, seeded the same way for each: a
// "Bench" folder of many small messages to list, and a "Side" folder with
// one message of 10 string properties and a 10 MB attachment.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiTags.h"

namespace vantrel::bench {

// The columns a listing of "Bench" asks for.
inline constexpr ULONG kListColumns[] = {PR_ENTRYID,      PR_SUBJECT_A,     PR_SENDER_NAME_A, PR_MESSAGE_DELIVERY_TIME,
                                         PR_MESSAGE_SIZE, PR_MESSAGE_FLAGS, PR_IMPORTANCE,    PR_MESSAGE_CLASS_A};
inline constexpr std::size_t kAttachmentBytes = 10u << 20;

// The 10 string properties of the side message: its subject and 9 more.
std::vector<ULONG> TenTags();

// Seeds `store` (opened for writing) with `count` messages in "Bench" and
// the side message. A failure is printed on standard error after `program`.
bool SeedMailbox(IMsgStore* store, int count, const char* program);

}  // namespace vantrel::bench
