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
#include <sstream>
#include <string>
#include <vector>

#include "src/com/error.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "src/session/recovery_cipher.h"
#include "support.h"

namespace vtfc4 {
namespace {

constexpr char kGuid[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";
constexpr char kPrefix[] = "Automated Error Recovery Error - ";

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
    return ParseMsgSetRequest(narrow, country, major, minor, OnlineSession{}, out);
  }
  HRESULT CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) override {
    const std::string text = ToNarrow(country);
    if (text != "US" && text != "CA") return ReportError(kMsgInvalidCountry, kInvalidCountry);
    auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
    set->Init(major, minor, text == "CA" ? kCountryCA : kCountryUS);
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
    ComPtr<IVTGUIDType> id;
    ASSERT_EQ(get_ErrorRecoveryID(id.Put()), S_OK);
    if (value) {
      const Bstr text = Bstr::Adopt(ToBstr(value));
      ASSERT_EQ(id->SetValue(text.Get()), S_OK) << TakeError();
    }
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

// Each test gets a common application data folder of its own.
class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-recovery-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    setenv("VTFC4_COMMON_APPDATA", folder_.c_str(), 1);
    TakeError();
  }
  void TearDown() override {
    unsetenv("VTFC4_COMMON_APPDATA");
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  // A manager with recovery enabled, an identifier, and the whole request saved.
  void Enable(TestManager& m, bool saveAll = true) {
    m.SetIdentifier(kGuid);
    m.put_EnableErrorRecovery(VARIANT_TRUE);
    m.put_SaveAllMsgSetRequestInfo(saveAll ? VARIANT_TRUE : VARIANT_FALSE);
  }
  static std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string folder_;
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

  // On disk: only the owner may read it, nothing of the request is legible, no NUL.
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string stored = FileText(path);
  EXPECT_EQ(stored.find("CustomerQueryRq"), std::string::npos);
  EXPECT_EQ(stored.find('\0'), std::string::npos);

  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(m.GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  Bstr text;
  ASSERT_EQ(saved->ToXMLString(text.Put()), S_OK);
  EXPECT_EQ(ToNarrow(text.Get()), kRequest);

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
}

TEST_F(Recovery, ASecondSendIsRefusedUntilTheRecordIsCleared) {
  TestManager m;
  Enable(m);
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  EXPECT_EQ(m.SaveRequestForRecovery(kRequest), kRecoveryRecord);
  EXPECT_EQ(TakeError(), std::string(kPrefix) +
                             "Error Recovery Data exists, must clear the data before another request is made - 21");
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
  ComPtr<IRequestList> list;
  saved->get_RequestList(list.Put());
  LONG count = -1;
  list->get_Count(&count);
  EXPECT_EQ(count, 0);
  ComPtr<IAttributesRqSet> attributes;
  saved->get_Attributes(attributes.Put());
  Bstr id;
  attributes->get_NewMessageSetID(id.Put());
  EXPECT_EQ(ToNarrow(id.Get()), "20261205101500ticket-12");
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
    ComPtr<IAttributesRqSet> attributes;
    set->get_Attributes(attributes.Put());
    if (c.givenNew) attributes->put_NewMessageSetID(Bstr::Adopt(ToBstr(c.givenNew)).Get());
    attributes->put_OldMessageSetID(Bstr::Adopt(ToBstr(c.givenOld)).Get());
    ASSERT_EQ(m.SetMessageSetIDs(set.Get()), S_OK) << TakeError();
    Bstr newId, oldId;
    attributes->get_NewMessageSetID(newId.Put());
    attributes->get_OldMessageSetID(oldId.Put());
    if (c.expectNew)
      EXPECT_EQ(ToNarrow(newId.Get()), c.expectNew);
    else
      EXPECT_EQ(newId.Length(), 14u) << ToNarrow(newId.Get());
    EXPECT_EQ(ToNarrow(oldId.Get()), c.expectOld);
  }
}

TEST_F(Recovery, PathFailuresChainTheirCodes) {
  const std::string is19 = ", Error determining if Error Recovery information is stored on disk - 19";
  struct Case {
    const char* name;
    void (*arrange)(TestManager&, const std::string& folder);
    HRESULT status;
    std::string description;
  } cases[] = {
      {"identifier never read", [](TestManager&, const std::string&) {}, kRecoveryFailed,
       std::string(kPrefix) + "Cannot get Error Recovery File path, Error Recovery ID is blank - 49" + is19},
      {"identifier without value", [](TestManager& m, const std::string&) { m.SetIdentifier(nullptr); },
       kRecoveryFailed,
       // The identifier's own refusal comes first.
       "No value has been set., Error recovery ID not set, cannot get Error Recovery File path - 50" + is19},
      {"no session: the name lookup's own error first",
       [](TestManager& m, const std::string&) {
         m.SetIdentifier(kGuid);
         m.companyStatus = kNoTicket;
       },
       kNoTicket,
       "BeginSession method has not been called or it did not succeed., Cannot get Error Recovery File path - 53" +
           is19},
      {"empty company name",
       [](TestManager& m, const std::string&) {
         m.SetIdentifier(kGuid);
         m.company.clear();
       },
       kRecoveryFailed, std::string(kPrefix) + "Cannot get Error Recovery File path - 54" + is19},
      {"path beyond the limit",
       [](TestManager& m, const std::string&) {
         m.SetIdentifier(kGuid);
         m.company = "/srv/" + std::string(250, 'a') + ".vtw";
       },
       kRecoveryFailed, std::string(kPrefix) + "Cannot get Error Recovery File path - 55" + is19},
      {"no common folder to be had",
       [](TestManager& m, const std::string& folder) {
         m.SetIdentifier(kGuid);
         std::ofstream(folder + "/file") << "x";
         setenv("VTFC4_COMMON_APPDATA", (folder + "/file/below").c_str(), 1);
       },
       kRecoveryFailed, std::string(kPrefix) + "Cannot get Error Recovery File path - 46" + is19},
      {"the vendor folder cannot be made",
       [](TestManager& m, const std::string& folder) {
         m.SetIdentifier(kGuid);
         std::ofstream(folder + "/Korven") << "x";
       },
       kRecoveryFailed, std::string(kPrefix) + "Cannot create Error Recovery File path - 47" + is19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestManager m;
    c.arrange(m, folder_);
    VARIANT_BOOL has = VARIANT_TRUE;
    EXPECT_EQ(m.IsErrorRecoveryInfo(&has), c.status);
    EXPECT_EQ(has, VARIANT_FALSE);
    EXPECT_EQ(TakeError(), c.description);
    setenv("VTFC4_COMMON_APPDATA", folder_.c_str(), 1);
    std::system(("rm -rf '" + folder_ + "'/*").c_str());
  }
}

TEST_F(Recovery, OperationFailuresNameTheirStep) {
  TestManager m;
  m.SetIdentifier(kGuid);
  // Nothing saved: the two readers say so.
  ComPtr<IMsgSetResponse> status;
  EXPECT_EQ(m.GetErrorRecoveryStatus(status.Put()), kRecoveryRecord);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "No Saved Error Recovery Information - 83");
  ComPtr<IMsgSetRequest> saved;
  EXPECT_EQ(m.GetSavedMsgSetRequest(saved.Put()), kRecoveryRecord);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "No Saved Error Recovery Information - 85");
  EXPECT_EQ(m.ClearErrorRecovery(), S_OK) << "nothing to clear";

  // Null out pointers.
  EXPECT_EQ(m.IsErrorRecoveryInfo(nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "IsErrorRecoveryInfo, Parameter one is null - 18");
  EXPECT_EQ(m.get_EnableErrorRecovery(nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "34");
  EXPECT_EQ(m.get_SaveAllMsgSetRequestInfo(nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "35");
  EXPECT_EQ(m.GetErrorRecoveryStatus(nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "Null pointer passed as a parameter - 36");
  EXPECT_EQ(m.GetSavedMsgSetRequest(nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "40");

  // The application failing the status query and the clearing.
  m.put_EnableErrorRecovery(VARIANT_TRUE);
  m.put_SaveAllMsgSetRequestInfo(VARIANT_TRUE);
  ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
  m.sendStatus = E_FAIL;
  EXPECT_EQ(m.GetErrorRecoveryStatus(status.Put()), E_FAIL);
  EXPECT_EQ(TakeError(), "the application is gone, 12, Error getting Error recovery status from Vantrel - 39");
  EXPECT_EQ(m.ClearErrorRecovery(), E_FAIL);
  EXPECT_EQ(TakeError(), "the application is gone, 16, Error clearing status in Vantrel - 33");
  EXPECT_FALSE(Has(m)) << "the record is deleted all the same";
}

// What is stored, altered on disk: the reader refuses it with the cipher's own code.
TEST_F(Recovery, AlteredRecordsAreRefused) {
  const std::string chain = ", Error reading Error Recovery File - 61, Error getting saved Message Set Request - 42";
  struct Case {
    const char* name;
    std::string (*alter)(std::string);
    std::string description;
  } cases[] = {
      {"one character changed",
       [](std::string s) {
         s[s.size() / 2] = s[s.size() / 2] == 'A' ? 'B' : 'A';
         return s;
       },
       std::string(kPrefix) + "Error decrypting Error Recovery file - 75" + chain},
      {"cut short by whole groups", [](std::string s) { return s.substr(0, s.size() - 8); },
       std::string(kPrefix) + "Error decrypting Error Recovery file - 75" + chain},
      {"cut short mid-group", [](std::string s) { return s.substr(0, s.size() - 3); },
       std::string(kPrefix) + "Error decrypting Error Recovery file - 74" + chain},
      {"not a record at all", [](std::string) { return std::string("<?xml version=\"1.0\"?>"); },
       std::string(kPrefix) + "Error decrypting Error Recovery file - 74" + chain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestManager m;
    Enable(m);
    ASSERT_EQ(m.SaveRequestForRecovery(kRequest), S_OK) << TakeError();
    const std::string path = m.Path();
    const std::string altered = c.alter(FileText(path));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << altered;
    ComPtr<IMsgSetRequest> saved;
    EXPECT_EQ(m.GetSavedMsgSetRequest(saved.Put()), kRecoveryFailed);
    EXPECT_FALSE(saved);
    EXPECT_EQ(TakeError(), c.description);
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
  EXPECT_EQ(m.GetErrorRecoveryStatus(status.Put()), kRecoveryFailed);
  EXPECT_EQ(TakeError(), std::string(kPrefix) + "Error reading Error recovery file - 57, 38");
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
    if (writerHolds) {
      ComPtr<IMsgSetRequest> saved;
      EXPECT_EQ(m.GetSavedMsgSetRequest(saved.Put()), kRecoveryFailed);
      EXPECT_EQ(TakeError(), std::string(kPrefix) +
                                 "Error opening Error Recovery File - 60, Error getting saved Message Set Request - 42");
    } else {
      EXPECT_EQ(m.WriteRecoveryFile(path, kRequest), kRecoveryFailed);
      EXPECT_EQ(TakeError(), std::string(kPrefix) + "Error creating Error Recovery File - 68");
    }
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
    EXPECT_EQ(TakeError(), c.error ? std::string(kPrefix) + c.error : std::string(kNoErrorObject));
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
  EXPECT_EQ(DecipherRecoveryData("AAAA", back), CipherResult::kNoBuffer) << "shorter than nonce and tag";
  EXPECT_EQ(DecipherRecoveryData("not base64!", back), CipherResult::kNoBuffer);
}

}  // namespace
}  // namespace vtfc4
