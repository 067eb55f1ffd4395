#include "platform/win/MessageBox.h"

#include <gtest/gtest.h>

#include <vector>

namespace vantrel::win {
namespace {

TEST(MessageBox, DefaultButtonsByPolicy) {
  struct Case {
    UINT type;
    int answer;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_YESNO, IDYES},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_OKCANCEL, IDOK},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
  };
  for (const auto& c : cases) EXPECT_EQ(DefaultButton(c.type), c.answer) << c.type;
}

TEST(MessageBox, HandlerSeesEveryBoxAndAnswersIt) {
  std::vector<MessageBoxRecord> seen;
  auto old = SetMessageBoxHandler([&](const MessageBoxRecord& r) {
    seen.push_back(r);
    return IDNO;
  });
  EXPECT_EQ(MessageBox(nullptr, "There are 2 persons online, shut down server?", "ZelServer", MB_YESNO), IDNO);
  SetMessageBoxHandler(old);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, "ZelServer");
  EXPECT_EQ(seen[0].type, MB_YESNO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBox(nullptr, "Error writing configuration", "Brimwell", MB_OK), IDOK);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Brimwell: Error writing configuration"), std::string::npos);
}

}  // namespace
}  // namespace vantrel::win
