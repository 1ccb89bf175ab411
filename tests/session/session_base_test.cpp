// Automatic error recovery through a stand-in session manager that implements the hooks:
// the record on disk, its cipher, the message set identifiers, the status query and the
// clearing sent through DoRequests, and every failure with its exact chained description.
#include "src/session/session_base.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "session/sandbox_folder.h"
#include "src/com/error.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "src/session/recovery_cipher.h"
#include "src/session/recovery_file.h"

namespace vtfc4 {
namespace {

constexpr char kGuid[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";
const std::string kPrefix = "Automated Error Recovery Error - ";
constexpr uid_t kOtherUser = 65534;  // nobody

const std::string kRequest =
    "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
    "<VTXMLMsgsRq onError = \"stopOnError\" newMessageSetID = \"20261205101500ticket-12\">\r\n"
    "<CustomerQueryRq requestID = \"0\">\r\n<MaxReturned>5</MaxReturned>\r\n</CustomerQueryRq>\r\n"
    "</VTXMLMsgsRq>\r\n</VTXML>\r\n";

const std::string kAnswer =
    "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs newMessageSetID=\"20261205101500ticket-12\" "
    "messageSetStatusCode=\"0\"/>\r\n</VTXML>\r\n";

// A session manager whose hooks answer from fields and record what is sent.
class TestManager final : public CVTSessionBase {
 public:
  HRESULT ToMsgSetRequest(BSTR text, IMsgSetRequest** out) override {
    const std::string narrow = ToNarrow(text);
    int32_t country = kCountryUS;
    int16_t major = 4, minor = 0;
    if (HRESULT hr = ParseVersionAndCountry(narrow, country, major, minor); FAILED(hr)) return hr;
    return ParseMsgSetRequest(narrow, country, major, minor, OnlineSignon{}, out);
  }
  HRESULT CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) override {
    auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
    set->Init(major, minor, ToNarrow(country) == "CA" ? kCountryCA : kCountryUS);
    *out = set.Detach();
    return S_OK;
  }
  HRESULT DoRequests(IMsgSetRequest* set, IMsgSetResponse** out) override {
    Bstr text;
    set->ToXMLString(text.Put());
    sent.push_back(ToNarrow(text.Get()));
    enabledWhileSending.push_back(RecoveryEnabled());
    if (FAILED(sendStatus)) return ReportErrorText("the application is gone", sendStatus);
    return ParseMsgSetResponse(kAnswer, kCountryUS, 4, 0, nullptr, out);
  }
  HRESULT VTXMLVersionsForSession(SAFEARRAY** out) override { return E_NOTIMPL; }
  void ReportRecoveryError(std::string_view text) override { ReportRecoveryErrorFrom("VTFC4.TestManager", text); }
  bool UsesSanitisedFileName() override { return sanitised; }
  std::string GetTicketText() override { return ticket; }
  HRESULT GetCompanyFileText(std::string& out) override {
    if (FAILED(companyStatus)) return ReportError(kMsgNoTicket, companyStatus);
    out = company;
    return S_OK;
  }

  // Reads the identifier object once and gives it `value` (none when null).
  void SetIdentifier(const char* value) {
    const ComPtr<IVTGUIDType> id = Field(this, &TestManager::get_ErrorRecoveryID);
    if (value) { ASSERT_EQ(id->SetValue(Wide(value).Get()), S_OK) << TakeError(); }
  }
  std::string Path() {
    std::string path;
    EXPECT_EQ(GetErrorRecoveryFilePath(path), S_OK) << TakeError();
    return path;
  }
  using CVTSessionBase::GetErrorRecoveryFilePath;
  using CVTSessionBase::WriteRecoveryFile;

  std::string company = "/srv/books/Ames Trading.vtw";
  HRESULT companyStatus = S_OK;
  std::string ticket = "ticket-1234567890";
  bool sanitised = false;
  HRESULT sendStatus = S_OK;
  std::vector<std::string> sent;
  std::vector<bool> enabledWhileSending;
};

// Each test's folder of its own is its common application data folder.
class Recovery : public SandboxFolder<> {
 protected:
  void SetUp() override {
    SandboxFolder::SetUp();
    setenv("VTFC4_COMMON_APPDATA", folder_.c_str(), 1);
  }
  // A manager with recovery enabled, an identifier, and the whole request saved.
  void Enable(TestManager& m, bool saveAll = true) {
    m.SetIdentifier(kGuid);
    m.put_EnableErrorRecovery(VARIANT_TRUE);
    m.put_SaveAllMsgSetRequestInfo(saveAll ? VARIANT_TRUE : VARIANT_FALSE);
  }
  static std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

bool Has(TestManager& m) {
  VARIANT_BOOL has = 0;
  EXPECT_EQ(m.IsErrorRecoveryInfo(&has), S_OK) << TakeError();
  return has == VARIANT_TRUE;
}

TEST_F(Recovery, SavedRequestRoundTripStatusAndClearing) {
  TestManager m;
  Enable(m);
  EXPECT_FALSE(Has(m));
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  const std::string path = m.Path();
  EXPECT_EQ(path, folder_ + "/Korven/Vantrel/0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B/Ames Trading.erf");
  EXPECT_TRUE(Has(m));
  ExpectStatus("a second send", m.SaveRequestForRecovery(kRequest), kRecoveryRecord,
               kPrefix + "Error Recovery Data exists, must clear the data before another request is made - 21");

  // On disk: only the owner may read it, nothing of the request is legible, no NUL.
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string stored = FileText(path);
  EXPECT_EQ(stored.find("CustomerQueryRq"), std::string::npos);
  EXPECT_EQ(stored.find('\0'), std::string::npos);

  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(m.GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  EXPECT_EQ(FieldText(saved.Get(), &IMsgSetRequest::ToXMLString), kRequest);

  // The status query: the saved identifier as both identifiers, no requests, and not itself
  // saved for recovery.
  ComPtr<IMsgSetResponse> status;
  ASSERT_EQ(m.GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
  ASSERT_TRUE(status);
  ASSERT_EQ(m.sent.size(), 1u);
  EXPECT_NE(m.sent[0].find("oldMessageSetID = \"20261205101500ticket-12\""), std::string::npos) << m.sent[0];
  EXPECT_NE(m.sent[0].find("newMessageSetID = \"20261205101500ticket-12\""), std::string::npos) << m.sent[0];
  EXPECT_EQ(m.sent[0].find("requestID"), std::string::npos) << m.sent[0];
  EXPECT_FALSE(m.enabledWhileSending[0]);
  EXPECT_TRUE(m.RecoveryEnabled()) << "restored after the query";
  EXPECT_TRUE(Has(m)) << "a status query leaves the record";

  // Clearing: the record goes and the application is told to forget the set.
  ASSERT_EQ(m.ClearErrorRecovery(), S_OK) << TakeError();
  EXPECT_FALSE(Has(m));
  ASSERT_EQ(m.sent.size(), 2u);
  EXPECT_NE(m.sent[1].find("oldMessageSetID = \"20261205101500ticket-12\""), std::string::npos) << m.sent[1];
  EXPECT_EQ(m.sent[1].find("newMessageSetID"), std::string::npos) << m.sent[1];
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << "a cleared record lets the next send through";
  // With recovery off nothing is checked or saved.
  m.put_EnableErrorRecovery(VARIANT_FALSE);
  EXPECT_EQ(m.SaveRequestForRecovery(kRequest), S_OK);
}

TEST_F(Recovery, WithoutSaveAllOnlyTheEnvelopeIsKept) {
  TestManager m;
  Enable(m, false);
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(m.GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  EXPECT_EQ(CountOf(Field(saved.Get(), &IMsgSetRequest::get_RequestList).Get()), 0);
  EXPECT_EQ(FieldText(Field(saved.Get(), &IMsgSetRequest::get_Attributes).Get(), &IAttributesRqSet::get_NewMessageSetID),
            "20261205101500ticket-12");
  // The status query still finds the identifier in the envelope.
  ComPtr<IMsgSetResponse> status;
  EXPECT_EQ(m.GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
}

TEST_F(Recovery, MessageSetIdentifiers) {
  TestManager m;
  std::string id = m.MakeMessageSetID();
  ASSERT_EQ(id.size(), 23u) << id;
  for (size_t i = 0; i < 14; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(id[i]))) << id;
  EXPECT_EQ(id.substr(14), "ticket-12");
  EXPECT_EQ(id.substr(0, 2), "20");
  m.ticket.clear();
  EXPECT_EQ(m.MakeMessageSetID().size(), 14u) << "without a ticket the time alone";

  struct Case {
    const char* name;
    bool enabled;
    const char* givenNew;
    const char* givenOld;
    const char* expectNew;  // null: a made identifier
    const char* expectOld;
  } cases[] = {
      {"disabled: untouched", false, nullptr, "X1", "", "X1"},
      {"made when missing", true, nullptr, "X1", nullptr, "X1"},
      {"the client's stays", true, "MINE", "X1", "MINE", "X1"},
      {"a duplicate old one is cleared", true, "MINE", "MINE", "MINE", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m.put_EnableErrorRecovery(c.enabled ? VARIANT_TRUE : VARIANT_FALSE);
    ComPtr<IMsgSetRequest> set;
    ASSERT_EQ(m.CreateMsgSetRequest(Bstr(u"US").Get(), 4, 0, set.Put()), S_OK);
    const ComPtr<IAttributesRqSet> attributes = Field(set.Get(), &IMsgSetRequest::get_Attributes);
    if (c.givenNew) attributes->put_NewMessageSetID(Wide(c.givenNew).Get());
    attributes->put_OldMessageSetID(Wide(c.givenOld).Get());
    ASSERT_EQ(m.SetMessageSetIDs(set.Get()), S_OK) << TakeError();
    const std::string made = FieldText(attributes.Get(), &IAttributesRqSet::get_NewMessageSetID);
    if (c.expectNew) { EXPECT_EQ(made, c.expectNew); } else { EXPECT_EQ(made.size(), 14u) << made; }
    EXPECT_EQ(FieldText(attributes.Get(), &IAttributesRqSet::get_OldMessageSetID), c.expectOld);
  }
}

TEST_F(Recovery, PathFailuresChainTheirCodes) {
  const std::string is19 = ", Error determining if Error Recovery information is stored on disk - 19";
  const struct {
    const char* name;
    void (*arrange)(TestManager&, const std::string& folder);  // after the identifier is set
    HRESULT status;
    std::string description;
  } cases[] = {
      {"identifier never read", nullptr, kRecoveryFailed,
       kPrefix + "Cannot get Error Recovery File path, Error Recovery ID is blank - 49" + is19},
      // The identifier's own refusal comes first.
      {"identifier without value", nullptr, kRecoveryFailed,
       "No value has been set., Error recovery ID not set, cannot get Error Recovery File path - 50" + is19},
      {"no session: the name lookup's own error first",
       [](TestManager& m, const std::string&) { m.companyStatus = kNoTicket; }, kNoTicket,
       "BeginSession method has not been called or it did not succeed., Cannot get Error Recovery File path - 53" + is19},
      {"empty company name", [](TestManager& m, const std::string&) { m.company.clear(); }, kRecoveryFailed,
       kPrefix + "Cannot get Error Recovery File path - 54" + is19},
      {"path beyond the limit",
       [](TestManager& m, const std::string&) { m.company = "/srv/" + std::string(250, 'a') + ".vtw"; }, kRecoveryFailed,
       kPrefix + "Cannot get Error Recovery File path - 55" + is19},
      {"no common folder to be had",
       [](TestManager&, const std::string& folder) {
         std::ofstream(folder + "/file") << "x";
         setenv("VTFC4_COMMON_APPDATA", (folder + "/file/below").c_str(), 1);
       },
       kRecoveryFailed, kPrefix + "Cannot get Error Recovery File path - 46" + is19},
      {"the vendor folder cannot be made",
       [](TestManager&, const std::string& folder) { std::ofstream(folder + "/Korven") << "x"; }, kRecoveryFailed,
       kPrefix + "Cannot create Error Recovery File path - 47" + is19},
  };
  for (const auto& c : cases) {
    TestManager m;
    const auto row = &c - cases;
    if (row > 0) m.SetIdentifier(row == 1 ? nullptr : kGuid);
    if (c.arrange) c.arrange(m, folder_);
    VARIANT_BOOL has = VARIANT_TRUE;
    ExpectStatus(c.name, m.IsErrorRecoveryInfo(&has), c.status, c.description);
    EXPECT_EQ(has, VARIANT_FALSE) << c.name;
    setenv("VTFC4_COMMON_APPDATA", folder_.c_str(), 1);
    std::system(("rm -rf '" + folder_ + "'/*").c_str());
  }
}

TEST_F(Recovery, OperationFailuresNameTheirStep) {
  TestManager m;
  m.SetIdentifier(kGuid);
  // Nothing saved: the two readers say so.
  ComPtr<IMsgSetResponse> status;
  ExpectStatus("status", m.GetErrorRecoveryStatus(status.Put()), kRecoveryRecord,
               kPrefix + "No Saved Error Recovery Information - 83");
  ComPtr<IMsgSetRequest> saved;
  ExpectStatus("saved", m.GetSavedMsgSetRequest(saved.Put()), kRecoveryRecord,
               kPrefix + "No Saved Error Recovery Information - 85");
  EXPECT_EQ(m.ClearErrorRecovery(), S_OK) << "nothing to clear";

  // Null out pointers.
  ExpectStatus("IsErrorRecoveryInfo", m.IsErrorRecoveryInfo(nullptr), E_POINTER,
               kPrefix + "IsErrorRecoveryInfo, Parameter one is null - 18");
  ExpectStatus("get_EnableErrorRecovery", m.get_EnableErrorRecovery(nullptr), E_POINTER, kPrefix + "34");
  ExpectStatus("get_SaveAllMsgSetRequestInfo", m.get_SaveAllMsgSetRequestInfo(nullptr), E_POINTER, kPrefix + "35");
  ExpectStatus("GetErrorRecoveryStatus", m.GetErrorRecoveryStatus(nullptr), E_POINTER,
               kPrefix + "Null pointer passed as a parameter - 36");
  ExpectStatus("GetSavedMsgSetRequest", m.GetSavedMsgSetRequest(nullptr), E_POINTER, kPrefix + "40");

  // The application failing the status query and the clearing.
  m.put_EnableErrorRecovery(VARIANT_TRUE);
  m.put_SaveAllMsgSetRequestInfo(VARIANT_TRUE);
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  m.sendStatus = E_FAIL;
  ExpectStatus("status query", m.GetErrorRecoveryStatus(status.Put()), E_FAIL,
               "the application is gone, 12, Error getting Error recovery status from Vantrel - 39");
  ExpectStatus("clearing", m.ClearErrorRecovery(), E_FAIL,
               "the application is gone, 16, Error clearing status in Vantrel - 33");
  EXPECT_FALSE(Has(m)) << "the record is deleted all the same";
}

// What is stored, altered on disk: the reader refuses it with the cipher's own code.
TEST_F(Recovery, AlteredRecordsAreRefused) {
  const struct {
    const char* name;
    std::string (*alter)(std::string);
    int code;  // 75: the cipher refused it, 74: not even a record's text
  } cases[] = {
      {"one character changed",
       [](std::string s) { return s.replace(s.size() / 2, 1, s[s.size() / 2] == 'A' ? "B" : "A"); }, 75},
      {"cut short by whole groups", [](std::string s) { return s.substr(0, s.size() - 8); }, 75},
      {"cut short mid-group", [](std::string s) { return s.substr(0, s.size() - 3); }, 74},
      {"not a record at all", [](std::string) { return std::string("<?xml version=\"1.0\"?>"); }, 74},
  };
  for (const auto& c : cases) {
    TestManager m;
    Enable(m);
    ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
    const std::string path = m.Path();
    const std::string altered = c.alter(FileText(path));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << altered;
    ComPtr<IMsgSetRequest> saved;
    ExpectStatus(c.name, m.GetSavedMsgSetRequest(saved.Put()), kRecoveryFailed,
                 kPrefix + "Error decrypting Error Recovery file - " + std::to_string(c.code) +
                     ", Error reading Error Recovery File - 61, Error getting saved Message Set Request - 42");
    EXPECT_FALSE(saved);
    unlink(path.c_str());
  }
}

// An empty record (a reader that found none creates it empty) names no message set: it can
// be cleared, not asked about.
TEST_F(Recovery, EmptyRecord) {
  TestManager m;
  m.SetIdentifier(kGuid);
  const std::string path = m.Path();
  std::ofstream(path).close();
  ComPtr<IMsgSetResponse> status;
  ExpectStatus("status", m.GetErrorRecoveryStatus(status.Put()), kRecoveryFailed,
               kPrefix + "Error reading Error recovery file - 57, 38");
  EXPECT_TRUE(m.sent.empty());
  EXPECT_EQ(m.ClearErrorRecovery(), S_OK);
  EXPECT_FALSE(Has(m));
  EXPECT_TRUE(m.sent.empty()) << "no identifier: the application is not asked";
}

// A record being written cannot be read, and one being read cannot be written.
TEST_F(Recovery, ConcurrentWritersAndReadersAreRefused) {
  TestManager m;
  Enable(m);
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  const std::string path = m.Path();
  const std::string recordFolder = path.substr(0, path.rfind('/'));
  for (bool writerHolds : {true, false}) {
    SCOPED_TRACE(writerHolds ? "a writer holds it" : "a reader holds it");
    const int fd = open(recordFolder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, writerHolds ? LOCK_EX : LOCK_SH), 0);
    ComPtr<IMsgSetRequest> saved;
    if (writerHolds)
      ExpectStatus("read", m.GetSavedMsgSetRequest(saved.Put()), kRecoveryFailed,
                   kPrefix + "Error opening Error Recovery File - 60, Error getting saved Message Set Request - 42");
    else
      ExpectStatus("write", m.WriteRecoveryFile(path, kRequest), kRecoveryFailed,
                   kPrefix + "Error creating Error Recovery File - 68");
    close(fd);
  }
  ComPtr<IMsgSetRequest> saved;
  EXPECT_EQ(m.GetSavedMsgSetRequest(saved.Put()), S_OK) << "the record is intact: " << TakeError();
}

TEST_F(Recovery, RecordNames) {
  struct Case {
    const char* company;
    bool sanitised;
    const char* name;
  } cases[] = {
      {"/srv/books/Ames Trading.vtw", false, "Ames Trading.erf"},
      {"C:\\Books\\Ames.vtw", false, "Ames.erf"},
      {"/srv/books/noextension", false, "noextension.erf"},
      {"Ames & Sons, Ltd.", true, "AmesSonsLtd.erf"},
      {"north_wind 2", true, "north_wind2.erf"},
  };
  for (const Case& c : cases) {
    TestManager m;
    m.SetIdentifier(kGuid);
    m.company = c.company;
    m.sanitised = c.sanitised;
    const std::string path = m.Path();
    EXPECT_EQ(path.substr(path.rfind('/') + 1), c.name) << c.company;
  }
}

TEST_F(Recovery, FoldersNoOtherUserCanHaveMadeOrWrite) {
  const std::string common = folder_ + "/appdata";
  setenv("VTFC4_COMMON_APPDATA", common.c_str(), 1);
  const std::string vendor = common + "/Korven", product = vendor + "/Vantrel",
                    own = product + "/0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B";
  const struct {
    const char* name;
    std::string folder;  // made before the others, with this mode and owner
    mode_t mode;
    uid_t owner;         // another user's: only root can make it so
    std::string why;     // empty: the path is had
    int code;
  } cases[] = {
      {"a shared parent writable by all", vendor, 0777, 0,
       " is writable by other users (mode 0777) without the sticky bit; it is not used.", 47},
      {"a shared parent writable by all, sticky", vendor, 01777, 0, "", 0},
      {"a shared parent writable by its group", product, 0775, 0,
       " is writable by other users (mode 0775) without the sticky bit; it is not used.", 48},
      {"a shared parent of another user", vendor, 0755, kOtherUser,
       " belongs to another user (uid 65534); it is not used.", 47},
      {"the identifier's folder readable by others", own, 0755, 0,
       " is open to other users (mode 0755); it is used only when closed to them (0700).", 52},
      {"the identifier's folder of another user", own, 0700, kOtherUser,
       " belongs to another user (uid 65534); it is not used.", 52},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner && geteuid() != 0) continue;
    std::system(("rm -rf '" + common + "'").c_str());
    ASSERT_EQ(std::system(("mkdir -p '" + c.folder + "'").c_str()), 0);
    ASSERT_EQ(chmod(c.folder.c_str(), c.mode), 0);
    if (c.owner) { ASSERT_EQ(chown(c.folder.c_str(), c.owner, c.owner), 0); }
    TestManager m;
    m.SetIdentifier(kGuid);
    std::string path;
    const HRESULT hr = m.GetErrorRecoveryFilePath(path);
    if (c.why.empty()) {
      EXPECT_EQ(hr, S_OK) << TakeError();
      EXPECT_EQ(path, own + "/Ames Trading.erf");
    } else {
      EXPECT_TRUE(FAILED(hr));
      EXPECT_EQ(TakeError(), kPrefix + "The folder " + c.folder + c.why + ", " + RecoveryCodeText(c.code));
    }
  }
  // Nor is a record written or read in a folder open to others, whoever made it so.
  std::system(("rm -rf '" + common + "'").c_str());
  ASSERT_EQ(std::system(("mkdir -p '" + own + "'").c_str()), 0);
  ASSERT_EQ(chmod(own.c_str(), 0755), 0);
  std::string text;
  EXPECT_EQ(WriteRecordFile(own + "/books.erf", "record"), WriteResult::kCannotCreate);
  EXPECT_EQ(ReadRecordFile(own + "/books.erf", text), ReadResult::kCannotOpen);
}

TEST(RecoveryVersion, ParseVersionAndCountry) {
  struct Case {
    std::string text;
    HRESULT status;
    int32_t country;
    int16_t major, minor;
    const char* error;  // the description reported, or null for none
  } cases[] = {
      {"<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML/>", S_OK, kCountryUS, 4, 0, nullptr},
      {"<?vtxml version=\"CA3.0\"?><VTXML/>", S_OK, kCountryCA, 3, 0, nullptr},
      {"<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML PUBLIC \"-//KORVEN//DTD VTXML VTD 2.1//EN\" "
       "\"http://dtd.example/vtxml.dtd\">\r\n<VTXML/>",
       S_OK, kCountryUS, 2, 1, nullptr},
      {"<?vtxml version=\"4.0\"?>\r\n<!DOCTYPE VTXML PUBLIC \"-//KORVEN//DTD VTXML VTD 4.0//EN\">", kUnsupportedVersion,
       -7, 0, 0, nullptr},
      {"<VTXML/>", kUnsupportedVersion, -7, 0, 0, nullptr},
      {"<?vtxml version=\"C\"?>", kUnsupportedVersion, -7, 0, 0, "Error parsing vtxml version - 89"},
      {"<?vtxml version=\"UK4.0\"?>", kUnsupportedVersion, -7, 0, 0, "Error parsing vtxml version - 90"},
      {"<?vtxml version=\"..\"?>", kUnsupportedVersion, -7, 0, 0, "Error parsing vtxml version - 88"},
      {"<?vtxml version=\"4\"?>", kRecoveryFailed, -7, 0, 0, "Unable to parse vtxml version - 1"},
      {"<?vtxml version=\"0.5\"?>", kRecoveryFailed, -7, 0, 0, "Unable to parse vtxml version - 2"},
  };
  TestManager m;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TakeError();
    int32_t country = -7;
    int16_t major = 9, minor = 9;
    EXPECT_EQ(m.ParseVersionAndCountry(c.text, country, major, minor), c.status);
    EXPECT_EQ(country, c.country);
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(minor, c.minor);
    EXPECT_EQ(TakeError(), c.error ? kPrefix + c.error : std::string(kNoErrorObject));
  }
}

TEST(RecoveryCipher, SealsAndRefuses) {
  const std::string plain = "1.0" + kRequest;
  std::string a, b, back;
  ASSERT_EQ(EncipherRecoveryData(plain, a), CipherResult::kDone);
  ASSERT_EQ(EncipherRecoveryData(plain, b), CipherResult::kDone);
  EXPECT_NE(a, b) << "a fresh nonce for every record";
  EXPECT_EQ(a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="), std::string::npos);
  ASSERT_EQ(DecipherRecoveryData(a, back), CipherResult::kDone);
  EXPECT_EQ(back, plain);
  ASSERT_EQ(EncipherRecoveryData("", a), CipherResult::kDone);
  ASSERT_EQ(DecipherRecoveryData(a, back), CipherResult::kDone);
  EXPECT_EQ(back, "");

  // Records as earlier versions of the library wrote them, with none, one and two padding
  // characters.
  const char* const records[][2] = {
      {"1.0<VTXML/>", "M6GSPvwS8onUXvjbeBmNZNoa7lL73O34fhuYtP+mwNcagnQYMoef"},
      {"1.0a", "s/VhYo9Zn4p7B7GF412Vbd5qXrURL4cmE4c6D8plldE="},
      {"1.0abc", "hlOWmiawg0UFWIDjnZi8YNPAZftGRcAfVzmH1eZOWGxtNw=="},
  };
  for (const auto& [sealed, record] : records) {
    EXPECT_EQ(DecipherRecoveryData(record, back), CipherResult::kDone) << record;
    EXPECT_EQ(back, sealed);
  }
  // Too short for a nonce and a tag, not base64, and what the block decoder would take but a
  // record never holds.
  const std::string good = records[1][1];
  for (const std::string& bad : {std::string("AAAA"), std::string("not base64!"), " " + good, good + "\n",
                                 good.substr(0, 4) + "=" + good.substr(5), records[2][1] + std::string("=")})
    EXPECT_EQ(DecipherRecoveryData(bad, back), CipherResult::kNoBuffer) << bad;
}

}  // namespace
}  // namespace vtfc4
