#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/TableHelpers.h"
#include "server/sessions/CryptFile.h"
#include "server/sessions/UserABContainer.h"

namespace fs = std::filesystem;

namespace {

std::string ScratchFile(const std::string& name) {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  fs::path dir = fs::path(tmp ? tmp : "/tmp") / "userdir";
  fs::create_directories(dir);
  fs::remove(dir / name);
  return (dir / name).string();
}

struct User {
  std::string account, password, given, surname, display;
};

// A directory of its own, released at the end of the test.
class Directory {
 public:
  explicit Directory(const std::string& file) : d_(new CUserABContainer(file)) {}
  ~Directory() { d_->Release(); }
  CUserABContainer* operator->() { return d_; }
  CUserABContainer& operator*() { return *d_; }

  // A user made the way the user dialog makes one.
  CGenMapiPropPtr Add(const User& u, ULONG save_flags = 0) {
    CGenMapiPropPtr entry;
    EXPECT_EQ(d_->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())), S_OK);
    entry.SetProp(PR_ACCOUNT, std::string_view(u.account));
    if (!u.password.empty()) entry.SetProp(PR_ZEL_PASSWORD, std::string_view(u.password));
    if (!u.given.empty()) entry.SetProp(PR_GIVEN_NAME, std::string_view(u.given));
    if (!u.surname.empty()) entry.SetProp(PR_SURNAME, std::string_view(u.surname));
    if (!u.display.empty()) entry.SetProp(PR_DISPLAY_NAME, std::string_view(u.display));
    entry.SetProp(PR_ZEL_ALL_PROFILES, true);
    EXPECT_EQ(entry->SaveChanges(save_flags), S_OK);
    return entry;
  }

  // The contents table as "rowid:account" items, in table order.
  std::vector<std::string> Rows() {
    IMAPITablePtr table;
    EXPECT_EQ(d_->GetContentsTable(0, table.Receive()), S_OK);
    CRowSet rows = vantrel::mapiwrapper::QueryAllRows(table.get(), {PR_ROWID, PR_ACCOUNT});
    std::vector<std::string> out;
    for (ULONG i = 0; i < rows.Count(); ++i) out.push_back(rows[i][0].ToString() + ":" + rows[i][1].ToString());
    return out;
  }

 private:
  CUserABContainer* d_;
};

std::string Decrypted(const std::string& path) {
  CCryptFile f;
  return f.Read(path);
}

std::string Hex(const std::vector<BYTE>& b) {
  return vantrel::mapiwrapper::HexFromBytes(b.data(), b.size());
}

}  // namespace

TEST(UserDirectory, SaveWritesTheLineFormatAndLoadReadsItBack) {
  std::string path = ScratchFile("roundtrip.zlf");
  {
    Directory dir(path);
    dir.Add({"jsmith", "secret", "John", "Smith", ""});
    CGenMapiPropPtr m = dir.Add({"mmuster", "pw=1;x", "", "", "Max Muster"});
    CPropValue flag;
    flag.SetBool(PR_ZEL_ADMINISTRATOR, false);
    flag.get()->Value.b = 2;  // not exactly 1: written as 0
    m.SetProp(flag);
    dir->SaveUsersFile();
  }
  std::string john = Hex(UserEntryId("John Smith")), max = Hex(UserEntryId("Max Muster"));
  EXPECT_EQ(Decrypted(path),
            "[0]\n30000003=1\n3a00001e=jsmith\n6800001e=secret\n3a06001e=John\n3a11001e=Smith\n6804000b=1\n"
            "3001001e=John Smith\nfff0102=" +
                john +
                "\n"
                "[1]\n30000003=2\n3a00001e=mmuster\n6800001e=pw=1;x\n3001001e=Max Muster\n6804000b=1\nfff0102=" +
                max + "\n6717000b=0\n");

  Directory again(path);
  again->Load();
  EXPECT_TRUE(again->UsersFileWasEncrypted());
  EXPECT_EQ(again.Rows(), (std::vector<std::string>{"1:jsmith", "2:mmuster"}));
  std::string second = ScratchFile("roundtrip2.zlf");
  {
    Directory copy(second);
    copy->Load();  // missing file: empty directory, flag true
    EXPECT_EQ(copy->EntryCount(), 0u);
    EXPECT_TRUE(copy->UsersFileWasEncrypted());
  }
  fs::copy_file(path, second);
  Directory copy(second);
  copy->Load();
  copy->SaveUsersFile();
  EXPECT_EQ(Decrypted(second), Decrypted(path));
}

TEST(UserDirectory, LoadSkipsWhatItCannotUse) {
  std::string path = ScratchFile("odd.zlf");
  std::string a = Hex(UserEntryId("A")), b = Hex(UserEntryId("B"));
  CCryptFile f;
  ASSERT_TRUE(
      f.Write("3a00001e=before-any-section\n"
              "[7]\r\n3a00001e=first\r\nfff0102=" +
                  a +
                  "\r\nno equals sign\r\nzz=1\r\n"
                  "60000005=2.5\r\n6804000b=0\r\n"
                  "[3]\n3a00001e=duplicate\nfff0102=" +
                  a +
                  "\n"
                  "[9]\n3a00001e=no-id\n"
                  "[2]\n3A00001E=second\n6804000b=1yes\nfff0102=" +
                  b,  // last line without a line feed
              path, true));
  Directory dir(path);
  dir->Load();
  EXPECT_EQ(dir.Rows(), (std::vector<std::string>{"1:first", "2:second"}));
  dir->SaveUsersFile();
  // Row identifiers are given as the users are added, after their values.
  EXPECT_EQ(Decrypted(path), "[0]\n3a00001e=first\nfff0102=" + a + "\n6804000b=0\n30000003=1\n" +
                                 "[1]\n3a00001e=second\n6804000b=1\nfff0102=" + b + "\n30000003=2\n");

  // A plain (older) users file is read too, and says so.
  ASSERT_TRUE(f.Write("[0]\n3a00001e=old\nfff0102=" + a + "\n", path, false));
  dir->Load();
  EXPECT_FALSE(dir->UsersFileWasEncrypted());
  EXPECT_EQ(dir.Rows(), (std::vector<std::string>{"1:old"}));
}

TEST(UserDirectory, EntryIdentifierFromTheDisplayName) {
  std::vector<BYTE> id = UserEntryId("Maximilian Mustermann-Schmidt");
  ASSERT_EQ(id.size(), 44u);
  EXPECT_EQ(Hex(id).substr(0, 48), "00000000C39C90B8BAA094448780D2018CEB431E00000000");
  EXPECT_EQ(std::string(id.begin() + 24, id.begin() + 43), "Maximilian Musterma");
  EXPECT_EQ(id[43], 0);
  EXPECT_EQ(UserEntryId("Maximilian Musterman"), UserEntryId("Maximilian MustermaXYZ"));
  EXPECT_NE(UserEntryId("Maximilian Musterma"), UserEntryId("Maximilian Musterm"));
  EXPECT_EQ(UserEntryId("Al")[26], 0);
  EXPECT_EQ(CUserABContainer::UsersFileIn("/srv/zel"), "/srv/zel/USERS.ZLF");

  Directory dir(ScratchFile("names.zlf"));
  CGenMapiPropPtr john = dir.Add({"jsmith", "pw", "John", "Smith", ""});
  EXPECT_EQ(vantrel::mapiwrapper::GetOneProp(john.get(), PR_DISPLAY_NAME).ToString(), "John Smith");
  EXPECT_EQ(vantrel::mapiwrapper::GetOneBinary(john.get(), PR_ENTRYID).ToString(), Hex(UserEntryId("John Smith")));
  CGenMapiPropPtr nobody = dir.Add({"nobody", "pw", "", "", ""});
  EXPECT_EQ(vantrel::mapiwrapper::GetOneProp(nobody.get(), PR_DISPLAY_NAME).ToString(), " ");

  // Renaming gives a new identifier; OpenEntry needs length and bytes.
  john.SetProp(PR_DISPLAY_NAME, std::string_view("Johnny Smith"));
  ASSERT_EQ(john->SaveChanges(0), S_OK);
  std::vector<BYTE> now = UserEntryId("Johnny Smith");
  ULONG type = 0;
  IUnknown* unk = nullptr;
  ASSERT_EQ(dir->OpenEntry(44, reinterpret_cast<LPENTRYID>(now.data()), nullptr, 0, &type, &unk), S_OK);
  EXPECT_EQ(type, MAPI_MAILUSER);
  EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(static_cast<IMailUser*>(john.get())));
  unk->Release();
  EXPECT_EQ(dir->OpenEntry(43, reinterpret_cast<LPENTRYID>(now.data()), nullptr, 0, &type, &unk), MAPI_E_NOT_FOUND);
  std::vector<BYTE> old = UserEntryId("John Smith");
  EXPECT_EQ(dir->OpenEntry(44, reinterpret_cast<LPENTRYID>(old.data()), nullptr, 0, &type, &unk), MAPI_E_NOT_FOUND);
}

TEST(UserDirectory, RowIdsStayUniqueAfterDeletions) {
  Directory dir(ScratchFile("rows.zlf"));
  dir.Add({"a", "pw", "", "", "A"});
  dir.Add({"b", "pw", "", "", "B"});
  dir.Add({"c", "pw", "", "", "C"});
  std::vector<BYTE> a = UserEntryId("A"), nobody = UserEntryId("Nobody");
  SBinary ids[] = {{44, a.data()}};
  ENTRYLIST list{1, ids};
  ASSERT_EQ(dir->DeleteEntries(&list, 0), S_OK);
  EXPECT_EQ(dir->DeleteEntries(&list, 0), MAPI_E_NOT_FOUND);
  SBinary none[] = {{44, nobody.data()}};
  ENTRYLIST missing{1, none};
  EXPECT_EQ(dir->DeleteEntries(&missing, 0), MAPI_E_NOT_FOUND);
  dir.Add({"d", "pw", "", "", "D"});  // third in the list, but row 3 is c's
  EXPECT_EQ(dir.Rows(), (std::vector<std::string>{"2:b", "3:c", "4:d"}));

  // Row identifiers that collide in a file are given fresh ones on load.
  std::string path = ScratchFile("rows2.zlf");
  CCryptFile f;
  ASSERT_TRUE(f.Write("[0]\n30000003=5\n3a00001e=x\nfff0102=" + Hex(UserEntryId("X")) + "\n" +
                          "[1]\n30000003=5\n3a00001e=y\nfff0102=" + Hex(UserEntryId("Y")) + "\n",
                      path, true));
  Directory loaded(path);
  loaded->Load();
  EXPECT_EQ(loaded.Rows(), (std::vector<std::string>{"5:x", "2:y"}));
}

TEST(UserDirectory, LoadLeavesExactlyTheUsersOfTheFile) {
  std::string path = ScratchFile("cancel.zlf");
  Directory dir(path);
  dir.Add({"jsmith", "pw", "", "", "John"});
  dir->SaveUsersFile();
  dir.Add({"added", "pw", "", "", "Added"});  // changes the Cancel button drops
  EXPECT_EQ(dir->EntryCount(), 2u);
  dir->Load();
  EXPECT_EQ(dir.Rows(), (std::vector<std::string>{"1:jsmith"}));
  dir->Load();
  EXPECT_EQ(dir.Rows(), (std::vector<std::string>{"1:jsmith"}));
  EXPECT_TRUE(CheckUser(*dir, "jsmith", "pw", nullptr));
  EXPECT_FALSE(CheckUser(*dir, "added", "pw", nullptr));
}

TEST(UserDirectory, ForceSaveWritesTheFile) {
  std::string path = ScratchFile("force.zlf");
  Directory dir(path);
  dir.Add({"jsmith", "pw", "", "", "John"});
  EXPECT_FALSE(fs::exists(path));
  dir.Add({"mmuster", "pw", "", "", "Max"}, FORCE_SAVE);
  Directory other(path);
  other->Load();
  EXPECT_EQ(other.Rows(), (std::vector<std::string>{"1:jsmith", "2:mmuster"}));
}

TEST(UserDirectory, LogonLookup) {
  Directory dir(ScratchFile("logon.zlf"));
  dir.Add({"jsmith", "secret", "", "", "John Smith"});
  CGenMapiPropPtr max = dir.Add({"mmuster", "geheim", "", "", "Max Muster"});
  max.SetProp(PR_ZEL_PROFILE_LIST, std::string_view("(Public)(Sales team)"));
  max.SetProp(PR_ZEL_ALL_PROFILES, false);
  dir.Add({"twice", "one", "", "", "Twice One"});
  dir.Add({"twice", "two", "", "", "Twice Two"});
  dir.Add({"nopass", "", "", "", "No Password"});
  dir.Add({"nopass", "late", "", "", "No Password Later"});
  CGenMapiPropPtr bare = dir.Add({"bare", "pw", "", "", "Bare"});
  SizedSPropTagArray<1> all_profiles{1, {PR_ZEL_ALL_PROFILES}};
  ASSERT_EQ(bare->DeleteProps(all_profiles.get(), nullptr), S_OK);
  // Display names equal in their first 19 bytes give equal identifiers;
  // each user is still checked against its own password.
  dir.Add({"long1", "first", "", "", "Verylongdisplayname one"});
  dir.Add({"long2", "second", "", "", "Verylongdisplayname two"});

  struct Case {
    const char *user, *password;
    bool accepted;
  } cases[] = {
      {"jsmith", "secret", true}, {"JSmith", "secret", false},  {"jsmith", "Secret", false},
      {"jsmit", "secret", false}, {"jsmith ", "secret", false}, {"jsmith", "", false},
      {"twice", "one", true},     {"twice", "two", true},       {"twice", "three", false},
      {"nopass", "late", false},  {"nobody", "x", false},       {"long2", "second", true},
      {"long2", "first", false},  {"long1", "first", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckUser(*dir, c.user, c.password, nullptr), c.accepted) << c.user << "/" << c.password;
  }

  UserRights rights;
  ASSERT_TRUE(CheckUser(*dir, "mmuster", "geheim", &rights));
  EXPECT_FALSE(rights.all_profiles);
  EXPECT_EQ(rights.profile_list, "(Public)(Sales team)");
  EXPECT_EQ(rights.profiles, (std::vector<std::string>{"Public", "Sales team"}));
  ASSERT_TRUE(CheckUser(*dir, "bare", "pw", &rights));
  EXPECT_TRUE(rights.all_profiles);  // missing counts as TRUE
  EXPECT_TRUE(rights.profiles.empty());
  EXPECT_EQ(ParseProfileList("(a)junk(b)(unclosed"), (std::vector<std::string>{"a", "b"}));
}

TEST(UserDirectory, PropertyObject) {
  Directory dir(ScratchFile("props.zlf"));
  CGenMapiPropPtr e = dir.Add({"jsmith", "pw", "", "", "John"});
  // Replacing keeps the place; a missing property comes back as PT_ERROR.
  e.SetProp(PR_ACCOUNT, std::string_view("john"));
  LPSPropTagArray list = nullptr;
  ASSERT_EQ(e->GetPropList(0, &list), S_OK);
  EXPECT_EQ(list->aulPropTag[1], PR_ACCOUNT);
  MAPIFreeBuffer(list);
  CPropArray values = e.GetProps({CHANGE_PROP_TYPE(PR_ACCOUNT, PT_UNICODE), PR_TITLE});
  EXPECT_EQ(values[0].Tag(), PR_ACCOUNT);  // its own stored type
  EXPECT_EQ(values[1].Tag(), CHANGE_PROP_TYPE(PR_TITLE, PT_ERROR));
  EXPECT_EQ(values[1]->Value.err, MAPI_E_NOT_FOUND);

  SizedSPropTagArray<2> del{2, {PR_TITLE, PR_ACCOUNT}};
  EXPECT_EQ(e->DeleteProps(del.get(), nullptr), S_OK);  // the last tag existed
  SizedSPropTagArray<1> again{1, {PR_ACCOUNT}};
  EXPECT_EQ(e->DeleteProps(again.get(), nullptr), MAPI_E_NOT_FOUND);
  LPSPropProblemArray problems = nullptr;
  EXPECT_EQ(e->DeleteProps(again.get(), &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  ASSERT_EQ(problems->cProblem, 1u);
  EXPECT_EQ(problems->aProblem[0].ulPropTag, PR_ACCOUNT);
  MAPIFreeBuffer(problems);

  LPMAPITABLE table = nullptr;
  EXPECT_EQ(dir->GetHierarchyTable(0, &table), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(e->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  auto* generic = new CGenericIMAPIProp();
  EXPECT_EQ(generic->SaveChanges(0), MAPI_E_NO_SUPPORT);
  generic->Release();
}

// The logon's lookup on call threads while the window thread reloads the
// directory (the Cancel button) and saves it.
TEST(UserDirectory, LookupsDuringReloads) {
  std::string path = ScratchFile("threads.zlf");
  Directory dir(path);
  for (int i = 0; i < 20; ++i)
    dir.Add({"user" + std::to_string(i), "pw" + std::to_string(i), "", "", "User " + std::to_string(i)});
  dir->SaveUsersFile();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        int u = (i + t) % 20;
        if (!CheckUser(*dir, "user" + std::to_string(u), "pw" + std::to_string(u), nullptr)) ++failures;
      }
    });
  }
  for (int i = 0; i < 10; ++i) {
    dir->Load();
    dir->SaveUsersFile();
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(dir->EntryCount(), 20u);
}
