// The client trace: lines reach a "ServerTrace" window as WM_COPYDATA 1000
// when one existed at the first trace of the process, never longer lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/ClientCall.h"
#include "platform/win/WinUser.h"

namespace vantrel::client {
namespace {

std::vector<std::string> g_lines;

LRESULT CALLBACK TraceProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COPYDATA) {
    const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
    EXPECT_EQ(cds->dwData, 1000u);
    const char* text = static_cast<const char*>(cds->lpData);
    EXPECT_EQ(cds->cbData, std::string(text).size() + 1);  // the NUL counted
    g_lines.emplace_back(text);
    return TRUE;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

TEST(ClientTrace, LinesUnder250CharactersReachTheTraceWindow) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = TraceProc;
  wc.lpszClassName = "VtTraceMonitor";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND window = CreateWindowExA(0, "VtTraceMonitor", "ServerTrace", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);

  const std::string longest(250 - 11 - 1, 'x');  // with "ZELCLIENT: ", 249 characters
  ClientTrace("hello");
  ClientTrace(longest);
  ClientTrace(longest + "y");  // 250: dropped
  ObjectTrace(42, true, "CClientMapiFolder::CreateFolder");
  ASSERT_EQ(g_lines.size(), 3u);
  EXPECT_EQ(g_lines[0], "ZELCLIENT: hello");
  EXPECT_EQ(g_lines[1], "ZELCLIENT: " + longest);
  EXPECT_EQ(g_lines[2], "ZELCLIENT: Spooler: 42 CClientMapiFolder::CreateFolder");
  DestroyWindow(window);
}

}  // namespace
}  // namespace vantrel::client
