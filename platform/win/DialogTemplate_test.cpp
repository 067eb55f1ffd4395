#include "platform/win/DialogTemplate.h"

#include <gtest/gtest.h>

#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"

namespace vantrel::win {
namespace {

constexpr char kLogon[] = R"(101 DIALOGEX 0, 0, 220, 120
STYLE DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU
CAPTION "Connect to ""server"""
FONT 8, "MS Shell Dlg", 400, 0, 0x1
BEGIN
    LTEXT           "User:", IDC_STATIC, 7, 9, 40, 8
    EDITTEXT        1001, 50, 7, 100, 12, ES_AUTOHSCROLL
    EDITTEXT        1002, 50, 25, 100, 12, ES_PASSWORD | ES_AUTOHSCROLL | NOT WS_TABSTOP
    AUTOCHECKBOX    "Remember", 1003, 7, 45, 80, 10
    COMBOBOX        1004, 7, 60, 100, 60, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP
    CONTROL         "", 1005, "SysListView32", LVS_REPORT | LVS_SINGLESEL | WS_BORDER | WS_TABSTOP, 7, 75, 100, 30
    CONTROL         "Tree", 1006, WC_TREEVIEW, TVS_HASBUTTONS | NOT WS_VISIBLE, 110, 75, 100, 30, WS_EX_CLIENTEDGE
    DEFPUSHBUTTON   "OK", IDOK, 50, 100, 50, 14
    PUSHBUTTON      "Cancel", IDCANCEL, 110, 100, 50, 14 // the escape key
    /* a group */ GROUPBOX "Options", -1, 0x5, 0X2A, 10, 10
END
)";

TEST(DialogTemplate, ParsesEveryControlForm) {
  DialogTemplate t;
  std::string error;
  ASSERT_TRUE(ParseDialogTemplate(kLogon, &t, &error)) << error;
  EXPECT_EQ(t.resourceId, 101);
  EXPECT_EQ(t.caption, "Connect to \"server\"");
  EXPECT_EQ(t.style, DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  EXPECT_EQ(t.fontSize, 8);
  EXPECT_EQ(t.cx, 220);
  struct Want {
    const char* cls;
    int id;
    DWORD style;
    const char* text;
  } want[] = {
      {"Static", -1, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, "User:"},
      {"Edit", 1001, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, ""},
      {"Edit", 1002, WS_CHILD | WS_VISIBLE | WS_BORDER | ES_PASSWORD | ES_AUTOHSCROLL, ""},
      {"Button", 1003, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, "Remember"},
      {"ComboBox", 1004, WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST | WS_VSCROLL, ""},
      {"SysListView32", 1005, WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL | WS_BORDER | WS_TABSTOP, ""},
      {"SysTreeView32", 1006, WS_CHILD | TVS_HASBUTTONS, "Tree"},
      {"Button", IDOK, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, "OK"},
      {"Button", IDCANCEL, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, "Cancel"},
      {"Button", -1, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, "Options"},
  };
  ASSERT_EQ(t.controls.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t.controls[i].className, want[i].cls);
    EXPECT_EQ(t.controls[i].id, want[i].id);
    EXPECT_EQ(t.controls[i].style, want[i].style);
    EXPECT_EQ(t.controls[i].text, want[i].text);
  }
  EXPECT_EQ(t.controls[6].exStyle, WS_EX_CLIENTEDGE);
  EXPECT_EQ(t.controls[9].x, 5);
  EXPECT_EQ(t.controls[9].y, 42);
}

// Texts outside ASCII are written as \xHH bytes of the script's code page,
// as the rc compiler reads them in string tables.
TEST(DialogTemplate, HexEscapesAreBytes) {
  DialogTemplate t;
  std::string error;
  ASSERT_TRUE(ParseDialogTemplate("1 DIALOGEX 0,0,1,1\nCAPTION \"Info \\xFCber\"\nBEGIN\n"
                                  "  LTEXT \"Postf\\xE4cher\\x41\", 1, 0,0,1,1\nEND",
                                  &t, &error))
      << error;
  EXPECT_EQ(t.caption, "Info \xFC" "ber");
  ASSERT_EQ(t.controls.size(), 1u);
  EXPECT_EQ(t.controls[0].text, "Postf\xE4" "cherA");
}

TEST(DialogTemplate, ErrorsNameTheLine) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"1 DIALOGEX 0,0,1,1\nBEGIN\n  FOO \"x\", 1, 0,0,1,1\nEND", "line 3: unknown control FOO"},
      {"1 DIALOGEX 0,0,1,1\nBEGIN\n  EDITTEXT 1, 0,0,1,1, ES_BOGUS\nEND", "line 3: unknown name ES_BOGUS"},
      {"1 DIALOGEX 0,0,1,1\nCAPTION \"open", "line 2: unterminated string"},
      {"1 DIALOGEX 0,0,1,1\nBEGIN\n  LTEXT \"a\", 1, 0,0,1,1\n", "missing END"},
      {"1 DIALOGEX 0,0,1\nBEGIN\nEND", "expected ','"},
      {"1 MENU 0,0,1,1", "expected DIALOGEX"},
      {"1 DIALOGEX 0,0,1,99999999999\nBEGIN\nEND", "number too large"},
      {"1 DIALOGEX 0,0,1,1\nBEGIN\nEND\nEND", "text after END"},
      {"1 DIALOGEX 0,0,1,1\nCAPTION \"a\\xg\"\nBEGIN\nEND", "line 2: \\x without digits"},
  };
  for (const auto& c : cases) {
    DialogTemplate t;
    std::string error;
    EXPECT_FALSE(ParseDialogTemplate(c.text, &t, &error)) << c.text;
    EXPECT_NE(error.find(c.want), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(DialogTemplate, MenuWithPopupsSeparatorsAndOptions) {
  MenuTemplate m;
  std::string error;
  ASSERT_TRUE(ParseMenuTemplate(R"(200 MENU
BEGIN
  POPUP "&Server"
  BEGIN
    MENUITEM "&Users...", 40001
    MENUITEM SEPARATOR
    MENUITEM "Log", 40002, CHECKED, GRAYED
    POPUP "More" { MENUITEM "Deep", 40003 }
  END
END)",
                                &m, &error))
      << error;
  EXPECT_EQ(m.resourceId, 200);
  ASSERT_EQ(m.items.size(), 1u);
  const auto& popup = m.items[0];
  EXPECT_EQ(popup.flags, MF_POPUP);
  EXPECT_EQ(popup.text, "&Server");
  ASSERT_EQ(popup.children.size(), 4u);
  EXPECT_EQ(popup.children[0].id, 40001u);
  EXPECT_EQ(popup.children[1].flags, MF_SEPARATOR);
  EXPECT_EQ(popup.children[2].flags, MF_CHECKED | MF_GRAYED);
  ASSERT_EQ(popup.children[3].children.size(), 1u);
  EXPECT_EQ(popup.children[3].children[0].text, "Deep");

  EXPECT_FALSE(ParseMenuTemplate("1 MENU BEGIN MENUITEM \"x\" END", &m, &error));
  EXPECT_NE(error.find("expected ','"), std::string::npos) << error;
}

}  // namespace
}  // namespace vantrel::win
