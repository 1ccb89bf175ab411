// The desktop session manager on the main road, through the sandbox's real in-process
// processor (loaded by class identifier from a registry file of the test's own) and a real
// company file; and every failure of the manager's own table.
#include "src/session/session_manager.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "processor/sandbox_engine.h"
#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/registry.h"
#include "src/msgset/msgset_request.h"
#include "support.h"

namespace vtfc4 {
namespace {

Bstr W(const std::string& text) { return Bstr::Adopt(ToBstr(text)); }

// Every test runs twice: through the in-process processor and through the out-of-process one,
// whose daemon the test's own socket serves.
class Manager : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-manager-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    setenv("VTFC4_REGISTRY", (folder_ + "/registry").c_str(), 1);
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
    Registry registry;
    std::string error;
    ASSERT_TRUE(registry.Load(error)) << error;
    const std::string key = "CLSID\\" + GuidText(CLSID_VTXMLRP2) + "\\InprocServer32";
    registry.Set(key, "", VTFC4_SANDBOX_MODULE);
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2e) + "\\LocalServer32", "", VTFC4_SANDBOX_DAEMON);
    ASSERT_TRUE(registry.Save(error)) << error;
    setenv("VTFC4_SANDBOX_SOCKET", (folder_ + "/sandbox.sock").c_str(), 1);
    company_ = folder_ + "/books.vtc";
    ASSERT_TRUE(sandbox::CompanyFile::Create(company_, error)) << error;
    ASSERT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, manager_.PutVoid()), S_OK);
    if (OutOfProcess()) {
      ASSERT_EQ(manager_->CommunicateOutOfProcess(VARIANT_TRUE), S_OK);
    }
    TakeError();
  }
  void TearDown() override {
    manager_.Reset();
    StopDaemon();
    unsetenv("VTFC4_SANDBOX_SOCKET");
    unsetenv("VTFC4_REGISTRY");
    unsetenv("VTFC4_COMMON_APPDATA");
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  static bool OutOfProcess() { return GetParam(); }
  // The daemon's pid, from the file it leaves beside its socket; 0 when none runs.
  pid_t DaemonPid() const {
    std::ifstream in(folder_ + "/sandbox.sock.pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
  }
  void StopDaemon() {
    if (const pid_t pid = DaemonPid(); pid > 0) {
      kill(pid, SIGCONT);
      kill(pid, SIGKILL);
    }
  }
  ComPtr<IVTSessionManager> NewManager() {
    ComPtr<IVTSessionManager> m;
    EXPECT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, m.PutVoid()), S_OK);
    if (OutOfProcess()) {
      EXPECT_EQ(m->CommunicateOutOfProcess(VARIANT_TRUE), S_OK);
    }
    return m;
  }
  void Open() {
    ASSERT_EQ(manager_->OpenConnection(W("").Get(), W("tests").Get()), S_OK) << TakeError();
    ASSERT_EQ(manager_->BeginSession(W(company_).Get(), omDontCare), S_OK) << TakeError();
  }
  ComPtr<IMsgSetRequest> NewSet(const char* country = "US", SHORT major = 4, SHORT minor = 0) {
    ComPtr<IMsgSetRequest> set;
    EXPECT_EQ(manager_->CreateMsgSetRequest(W(country).Get(), major, minor, set.Put()), S_OK) << TakeError();
    return set;
  }
  static void AddCustomer(IMsgSetRequest* set, const std::string& name, const std::string& city = "") {
    ComPtr<ICustomerAdd> add;
    ASSERT_EQ(set->AppendCustomerAddRq(add.Put()), S_OK);
    ComPtr<IVTStringType> field;
    add->get_Name(field.Put());
    ASSERT_EQ(field->SetValue(W(name).Get()), S_OK);
    if (!city.empty()) {
      ComPtr<IAddress> address;
      add->get_BillAddress(address.Put());
      ComPtr<IVTStringType> c;
      address->get_City(c.Put());
      ASSERT_EQ(c->SetValue(W(city).Get()), S_OK);
    }
  }
  // The i-th response: its status code, and its customer record when it holds one.
  static LONG Status(IMsgSetResponse* set, LONG i, ComPtr<ICustomerRet>* record = nullptr) {
    ComPtr<IResponseList> list;
    set->get_ResponseList(list.Put());
    ComPtr<IResponse> r;
    if (FAILED(list->GetAt(i, r.Put()))) return -999;
    LONG code = -1;
    r->get_StatusCode(&code);
    if (record) {
      ComPtr<IVTBase> detail;
      r->get_Detail(detail.Put());
      ComPtr<ICustomerRetList> many;
      if (detail && SUCCEEDED(detail->QueryInterface(IID_ICustomerRetList, many.PutVoid())))
        many->GetAt(0, record->Put());
      else if (detail)
        detail->QueryInterface(IID_ICustomerRet, record->PutVoid());
    }
    return code;
  }
  static std::string Text(IVTStringType* v) {
    Bstr b;
    return v && SUCCEEDED(v->GetValue(b.Put())) ? ToNarrow(b.Get()) : "<none>";
  }

  std::string folder_, company_;
  ComPtr<IVTSessionManager> manager_;
};

TEST_P(Manager, AddQueryAndModifyACustomer) {
  Open();
  auto set = NewSet();
  AddCustomer(set.Get(), "Ames & Sons", "Lyon");
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ComPtr<ICustomerRet> added;
  ASSERT_EQ(Status(answer.Get(), 0, &added), 0);
  ASSERT_TRUE(added);
  ComPtr<IVTStringType> fullName, edit;
  added->get_FullName(fullName.Put());
  added->get_EditSequence(edit.Put());
  EXPECT_EQ(Text(fullName.Get()), "Ames & Sons");
  ComPtr<IAddress> bill;
  added->get_BillAddress(bill.Put());
  ASSERT_TRUE(bill);
  ComPtr<IVTStringType> city;
  bill->get_City(city.Put());
  EXPECT_EQ(Text(city.Get()), "Lyon");
  ComPtr<IVTIDType> idValue;
  added->get_ListID(idValue.Put());
  Bstr id;
  ASSERT_EQ(idValue->GetValue(id.Put()), S_OK);

  // Read back by ListID.
  set->ClearRequests();
  ComPtr<ICustomerQuery> query;
  set->AppendCustomerQueryRq(query.Put());
  ComPtr<IORCustomerListQuery> choice;
  query->get_ORCustomerListQuery(choice.Put());
  ComPtr<IBSTRList> ids;
  choice->get_ListIDList(ids.Put());
  ids->Add(id.Get());
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ComPtr<ICustomerRet> found;
  ASSERT_EQ(Status(answer.Get(), 0, &found), 0);
  ComPtr<IVTStringType> foundName;
  found->get_Name(foundName.Put());
  EXPECT_EQ(Text(foundName.Get()), "Ames & Sons");

  // Modify with the EditSequence given, then once more with the stale one.
  for (int round = 0; round < 2; ++round) {
    set->ClearRequests();
    ComPtr<ICustomerMod> mod;
    set->AppendCustomerModRq(mod.Put());
    ComPtr<IVTIDType> modID;
    mod->get_ListID(modID.Put());
    modID->SetValue(id.Get());
    ComPtr<IVTStringType> modEdit, phone;
    mod->get_EditSequence(modEdit.Put());
    modEdit->SetValue(W(Text(edit.Get())).Get());
    mod->get_Phone(phone.Put());
    phone->SetValue(W("555-0199").Get());
    ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
    ComPtr<ICustomerRet> modified;
    const LONG code = Status(answer.Get(), 0, &modified);
    if (round == 0) {
      ASSERT_EQ(code, 0);
      ComPtr<IVTStringType> newPhone, newEdit;
      modified->get_Phone(newPhone.Put());
      modified->get_EditSequence(newEdit.Put());
      EXPECT_EQ(Text(newPhone.Get()), "555-0199");
      EXPECT_NE(Text(newEdit.Get()), Text(edit.Get()));
    } else {
      EXPECT_NE(code, 0) << "a stale EditSequence is refused";
    }
  }
  EXPECT_EQ(manager_->EndSession(), S_OK);
  EXPECT_EQ(manager_->CloseConnection(), S_OK);
}

// Text beyond ASCII, end to end: added, read back by name, modified, and recovered from the
// application, under the default code page (accented Latin) and under UTF-8 (any script).
TEST_P(Manager, NamesInEveryScript) {
  struct Case {
    const char* codePage;
    std::string name;
  };
  const Case cases[] = {
      {"WINDOWS-1252", "Zo\xEB Caf\xE9 \xC5ngstr\xF6m"},
      {"UTF-8", "Zo\xC3\xAB \xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1"},
      {"UTF-8", "\xE6\x9D\xB1\xE4\xBA\xAC \xE5\x95\x86\xE4\xBC\x9A"},
      {"UTF-8", "Smile \xF0\x9F\x98\x80 & Co"},
  };
  Open();
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SetThreadCodePage(c.codePage), S_OK);
    ComPtr<IVTGUIDType> id;
    ASSERT_EQ(manager_->get_ErrorRecoveryID(id.Put()), S_OK);
    ASSERT_EQ(id->SetValue(W("{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7" + std::to_string(round++) + "}").Get()), S_OK);
    ASSERT_EQ(manager_->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
    auto set = NewSet();
    AddCustomer(set.Get(), c.name, c.name);
    ComPtr<IMsgSetResponse> answer;
    ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
    ComPtr<ICustomerRet> added;
    ASSERT_EQ(Status(answer.Get(), 0, &added), 0);
    ComPtr<IVTStringType> name, edit;
    added->get_Name(name.Put());
    added->get_EditSequence(edit.Put());
    EXPECT_EQ(Text(name.Get()), c.name);
    ComPtr<IMsgSetResponse> status;
    ASSERT_EQ(manager_->GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
    ComPtr<ICustomerRet> recovered;
    ASSERT_EQ(Status(status.Get(), 0, &recovered), 0);
    ComPtr<IVTStringType> recoveredName;
    recovered->get_FullName(recoveredName.Put());
    EXPECT_EQ(Text(recoveredName.Get()), c.name);
    ASSERT_EQ(manager_->ClearErrorRecovery(), S_OK) << TakeError();
    ASSERT_EQ(manager_->put_EnableErrorRecovery(VARIANT_FALSE), S_OK);

    set->ClearRequests();
    ComPtr<ICustomerQuery> query;
    set->AppendCustomerQueryRq(query.Put());
    ComPtr<IORCustomerListQuery> choice;
    query->get_ORCustomerListQuery(choice.Put());
    ComPtr<IBSTRList> names;
    choice->get_FullNameList(names.Put());
    names->Add(W(c.name).Get());
    ComPtr<ICustomerMod> mod;
    set->AppendCustomerModRq(mod.Put());
    ComPtr<IVTIDType> modID;
    ComPtr<IVTIDType> addedID;
    added->get_ListID(addedID.Put());
    Bstr listID;
    addedID->GetValue(listID.Put());
    mod->get_ListID(modID.Put());
    modID->SetValue(listID.Get());
    ComPtr<IVTStringType> modEdit, modName;
    mod->get_EditSequence(modEdit.Put());
    modEdit->SetValue(W(Text(edit.Get())).Get());
    mod->get_Name(modName.Put());
    ASSERT_EQ(modName->SetValue(W(c.name + "!").Get()), S_OK);
    ComPtr<IAttributesRqSet> attributes;
    set->get_Attributes(attributes.Put());
    attributes->put_OnError(roeStop);
    ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
    ComPtr<ICustomerRet> found, modified;
    ASSERT_EQ(Status(answer.Get(), 0, &found), 0);
    ASSERT_EQ(Status(answer.Get(), 1, &modified), 0);
    ComPtr<IVTStringType> foundName, newName;
    found->get_Name(foundName.Put());
    modified->get_Name(newName.Put());
    EXPECT_EQ(Text(foundName.Get()), c.name);
    EXPECT_EQ(Text(newName.Get()), c.name + "!");
  }
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
}

TEST_P(Manager, FailuresOfTheManagersOwnTable) {
  ComPtr<IMsgSetRequest> set;
  struct Case {
    const char* name;
    HRESULT status;
    const char* description;  // null: no error object expected
  };
  const auto check = [](const Case& c, HRESULT hr) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hr, c.status);
    EXPECT_EQ(TakeError(), c.description ? c.description : kNoErrorObject);
  };
  check({"lower-case country", kInvalidCountry, "The Country value is invalid."},
        manager_->CreateMsgSetRequest(W("us").Get(), 4, 0, set.Put()));
  check({"CA 4.0", kUnsupportedVersion, "Unsupported vtXML version."},
        manager_->CreateMsgSetRequest(W("CA").Get(), 4, 0, set.Put()));
  check({"US 2.1", S_OK, nullptr}, manager_->CreateMsgSetRequest(W("US").Get(), 2, 1, set.Put()));
  check({"null country is US", S_OK, nullptr}, manager_->CreateMsgSetRequest(nullptr, 1, 1, set.Put()));
  check({"null out", E_POINTER, nullptr}, manager_->CreateMsgSetRequest(W("US").Get(), 4, 0, nullptr));

  ComPtr<IMsgSetResponse> answer;
  check({"null set", S_OK, nullptr}, manager_->DoRequests(nullptr, answer.Put()));
  EXPECT_FALSE(answer);
  check({"null set, null out", S_OK, nullptr}, manager_->DoRequests(nullptr, nullptr));
  check({"null out", E_POINTER, nullptr}, manager_->DoRequests(set.Get(), nullptr));
  check({"null text", S_OK, nullptr}, manager_->DoRequestsFromXMLString(nullptr, answer.Put()));
  check({"no ticket", kNoTicket, "BeginSession method has not been called or it did not succeed."},
        manager_->DoRequests(set.Get(), answer.Put()));
  check({"open mode out of range", kEnumOutOfRange, "Enum value is out of range."},
        manager_->BeginSession(W(company_).Get(), static_cast<ENOpenMode>(3)));
  check({"connection type out of range", kEnumOutOfRange, "Enum value is out of range."},
        manager_->OpenConnection2(W("").Get(), W("t").Get(), static_cast<ENConnectionType>(5)));

  SHORT major = 0, minor = 0, number = 0;
  ENReleaseLevel level = rlPreAlpha;
  check({"GetVersion with a null pointer", E_POINTER, nullptr}, manager_->GetVersion(&major, nullptr, &level, &number));
  EXPECT_EQ(major, 0) << "nothing written";
  check({"GetVersion", S_OK, nullptr}, manager_->GetVersion(&major, &minor, &level, &number));
  EXPECT_EQ((std::vector<int>{major, minor, level, number}), (std::vector<int>{4, 0, rlRelease, 1}));

  // An online-edition set belongs to the other manager.
  auto online = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
  online->Init(4, 0, kCountryOnline);
  check({"online set", kWrongManager,
         "This message set must be used with the VTOESessionManager, not VTSessionManager."},
        manager_->DoRequests(online.Get(), answer.Put()));

  // A recovery failure chains onto whatever error the thread still holds.
  EXPECT_EQ(manager_->CreateMsgSetRequest(W("XX").Get(), 4, 0, set.Put()), kInvalidCountry);
  check({"chained onto an unread error", E_POINTER,
         "The Country value is invalid., IsErrorRecoveryInfo, Parameter one is null - 18"},
        manager_->IsErrorRecoveryInfo(nullptr));

  // The mode is fixed once a processor exists.
  ENConnectionType type = ctUnknown;
  check({"ConnectionType creates the processor", S_OK, nullptr}, manager_->get_ConnectionType(&type));
  check({"mode change", kModeEstablished,
         "The mode of communication has already been established, and once set, it cannot be changed."},
        manager_->CommunicateOutOfProcess(VARIANT_TRUE));
}

TEST_P(Manager, SendingNeedsAVerifiedSetAndAReadableVersion) {
  Open();
  auto set = NewSet();
  ComPtr<ICustomerAdd> add;
  set->AppendCustomerAddRq(add.Put());  // no Name: Verify refuses it
  ComPtr<IMsgSetResponse> answer;
  EXPECT_EQ(manager_->DoRequests(set.Get(), answer.Put()), kVerifyFailed);
  EXPECT_NE(TakeError().find("Name"), std::string::npos);

  const std::string both =
      "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n"
      "<!DOCTYPE VTXML PUBLIC \"-//KORVEN//DTD VTXML VTD 4.0//EN\" \"x\">\r\n<VTXML>\r\n"
      "<VTXMLMsgsRq onError = \"stopOnError\">\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  EXPECT_EQ(manager_->DoRequestsFromXMLString(W(both).Get(), answer.Put()), kUnsupportedVersion);
  EXPECT_EQ(TakeError(), "Invalid Request.  Could not parse for vtXML version.");
}

TEST_P(Manager, AfterEndSessionTheEmptyTicketGoesToTheProcessor) {
  Open();
  ASSERT_EQ(manager_->EndSession(), S_OK);
  auto set = NewSet();
  AddCustomer(set.Get(), "Late");
  ComPtr<IMsgSetResponse> answer;
  const HRESULT hr = manager_->DoRequests(set.Get(), answer.Put());
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(hr, kNoTicket) << "not the manager's own 604";
  EXPECT_NE(TakeError().find("ticket"), std::string::npos) << "the processor's own error";
  Bstr name;
  EXPECT_TRUE(FAILED(manager_->GetCurrentCompanyFileName(name.Put())));
}

// A text the processor cannot read at all fails the call with the processor's own error.
TEST_P(Manager, AMalformedRequestFailsInTheProcessor) {
  Open();
  ComPtr<IMsgSetResponse> answer;
  const HRESULT hr = manager_->DoRequestsFromXMLString(W("<?vtxml version=\"4.0\"?><VTXML><oops").Get(), answer.Put());
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(answer);
  EXPECT_EQ(TakeError().rfind("The request could not be read: ", 0), 0u);
}

TEST_P(Manager, WithoutARegisteredProcessorNothingIsCreated) {
  unsetenv("VTFC4_REGISTRY");
  setenv("VTFC4_REGISTRY", (folder_ + "/empty-registry").c_str(), 1);
  if (OutOfProcess()) {
    EXPECT_EQ(manager_->OpenConnection(W("").Get(), W("t").Get()), kCannotCreateProcessorEx);
    EXPECT_EQ(TakeError(), "Cannot create VTXMLRP2e COM component.");
  } else {
    EXPECT_EQ(manager_->OpenConnection(W("").Get(), W("t").Get()), kCannotCreateProcessor);
    EXPECT_EQ(TakeError(), "Cannot create VTXMLRP2 COM component. ");
  }
}

TEST_P(Manager, RecoveryRefusesASecondSendUntilCleared) {
  Open();
  ComPtr<IVTGUIDType> id;
  ASSERT_EQ(manager_->get_ErrorRecoveryID(id.Put()), S_OK);
  ASSERT_EQ(id->SetValue(W("{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}").Get()), S_OK);
  ASSERT_EQ(manager_->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
  auto set = NewSet();
  AddCustomer(set.Get(), "First");
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 0);
  VARIANT_BOOL has = VARIANT_FALSE;
  ASSERT_EQ(manager_->IsErrorRecoveryInfo(&has), S_OK);
  EXPECT_EQ(has, VARIANT_TRUE);
  // The record names the company file the session is on.
  EXPECT_EQ(access((folder_ + "/appdata/Korven/Vantrel/0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B/books.erf").c_str(), F_OK),
            0);

  set->ClearRequests();
  AddCustomer(set.Get(), "Second");
  EXPECT_EQ(manager_->DoRequests(set.Get(), answer.Put()), kRecoveryRecord);
  EXPECT_EQ(TakeError(), "Automated Error Recovery Error - Error Recovery Data exists, must clear the data before "
                         "another request is made - 21");
  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(manager_->GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  ASSERT_EQ(manager_->ClearErrorRecovery(), S_OK) << TakeError();
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
}

// Every error status the sandbox gives, as the client reads it, and the three onError
// policies: what the answers say and what the company file keeps.
TEST_P(Manager, ErrorStatusesAndOnErrorPolicies) {
  Open();
  auto set = NewSet();
  AddCustomer(set.Get(), "Ames");
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ASSERT_EQ(Status(answer.Get(), 0), 0);

  // A duplicate name (3100), an unknown identifier (3120) and a kind the sandbox cannot
  // serve (3250), each answered in its own response under continueOnError.
  set->ClearRequests();
  ComPtr<IAttributesRqSet> attributes;
  set->get_Attributes(attributes.Put());
  ASSERT_EQ(attributes->put_OnError(roeContinue), S_OK);
  AddCustomer(set.Get(), "Ames");
  ComPtr<ICustomerMod> mod;
  set->AppendCustomerModRq(mod.Put());
  ComPtr<IVTIDType> modID;
  mod->get_ListID(modID.Put());
  modID->SetValue(W("99999-1").Get());
  ComPtr<IVTStringType> modEdit;
  mod->get_EditSequence(modEdit.Put());
  modEdit->SetValue(W("1").Get());
  ComPtr<IInvoiceQuery> invoices;
  ASSERT_EQ(set->AppendInvoiceQueryRq(invoices.Put()), S_OK);
  AddCustomer(set.Get(), "Bell");
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 3100);
  EXPECT_EQ(Status(answer.Get(), 1), 3120);
  EXPECT_EQ(Status(answer.Get(), 2), 3250) << "the sandbox keeps no invoices";
  EXPECT_EQ(Status(answer.Get(), 3), 0) << "continueOnError goes on";

  struct Policy {
    ENRqOnError onError;
    LONG answered;      // responses in the answer
    bool carolKept;     // the add before the failure stays in the file
  } policies[] = {{roeStop, 2, true}, {roeContinue, 3, true}, {roeRollback, 2, false}};
  int round = 0;
  for (const Policy& p : policies) {
    SCOPED_TRACE(p.onError);
    const std::string carol = "Carol " + std::to_string(round), dave = "Dave " + std::to_string(round++);
    set->ClearRequests();
    attributes->put_OnError(p.onError);
    AddCustomer(set.Get(), carol);
    AddCustomer(set.Get(), "Ames");  // a duplicate: fails
    AddCustomer(set.Get(), dave);
    ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
    ComPtr<IResponseList> list;
    answer->get_ResponseList(list.Put());
    LONG count = 0;
    list->get_Count(&count);
    EXPECT_EQ(count, p.answered);
    EXPECT_EQ(Status(answer.Get(), 1), 3100);

    // What the file kept: ask for both names.
    auto query = NewSet();
    ComPtr<IAttributesRqSet> queryAttributes;
    query->get_Attributes(queryAttributes.Put());
    queryAttributes->put_OnError(roeContinue);
    for (const std::string& name : {carol, dave}) {
      ComPtr<ICustomerQuery> q;
      query->AppendCustomerQueryRq(q.Put());
      ComPtr<IORCustomerListQuery> choice;
      q->get_ORCustomerListQuery(choice.Put());
      ComPtr<IBSTRList> names;
      choice->get_FullNameList(names.Put());
      names->Add(W(name).Get());
    }
    ASSERT_EQ(manager_->DoRequests(query.Get(), answer.Put()), S_OK) << TakeError();
    EXPECT_EQ(Status(answer.Get(), 0) == 0, p.carolKept);
    EXPECT_EQ(Status(answer.Get(), 1) == 0, p.onError == roeContinue) << "the add after the failure";
  }
}

TEST_P(Manager, StaleEditSequenceAndDeletion) {
  Open();
  auto set = NewSet();
  AddCustomer(set.Get(), "Ames");
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ComPtr<ICustomerRet> added;
  ASSERT_EQ(Status(answer.Get(), 0, &added), 0);
  ComPtr<IVTIDType> idValue;
  added->get_ListID(idValue.Put());
  Bstr id;
  idValue->GetValue(id.Put());

  set->ClearRequests();
  ComPtr<ICustomerMod> mod;
  set->AppendCustomerModRq(mod.Put());
  ComPtr<IVTIDType> modID;
  mod->get_ListID(modID.Put());
  modID->SetValue(id.Get());
  ComPtr<IVTStringType> modEdit;
  mod->get_EditSequence(modEdit.Put());
  modEdit->SetValue(W("17").Get());
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 3200);

  // Deleted, then gone.
  for (LONG expected : {0, 3120}) {
    set->ClearRequests();
    ComPtr<IListDel> del;
    ASSERT_EQ(set->AppendListDelRq(del.Put()), S_OK) << TakeError();
    ComPtr<IVTENListDelTypeType> kind;
    del->get_ListDelType(kind.Put());
    kind->SetValue(ldtCustomer);
    ComPtr<IVTIDType> delID;
    del->get_ListID(delID.Put());
    delID->SetValue(id.Get());
    ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
    ComPtr<IResponseList> list;
    answer->get_ResponseList(list.Put());
    ComPtr<IResponse> r;
    list->GetAt(0, r.Put());
    LONG code = -1;
    r->get_StatusCode(&code);
    EXPECT_EQ(code, expected);
    if (expected == 0) {
      ComPtr<IVTBase> detail;
      r->get_Detail(detail.Put());
      ComPtr<IListDelRet> deleted;
      ASSERT_EQ(detail.As(&deleted), S_OK);
      ComPtr<IVTStringType> name;
      deleted->get_FullName(name.Put());
      EXPECT_EQ(Text(name.Get()), "Ames");
    }
  }
}

// A client sends with recovery on and never sees the answer (it ends right after the
// processor answered). A new client with the same recovery identifier, on the same company
// file, finds the record, gets the earlier answer back from the application, reads the saved
// request, and clears both.
TEST_P(Manager, ALostAnswerIsRecoveredByTheNextClient) {
  const Bstr guid = W("{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}");
  const auto recovering = [&](IVTSessionManager* m) {
    ComPtr<IVTGUIDType> id;
    ASSERT_EQ(m->get_ErrorRecoveryID(id.Put()), S_OK);
    ASSERT_EQ(id->SetValue(guid.Get()), S_OK);
    ASSERT_EQ(m->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
    ASSERT_EQ(m->put_SaveAllMsgSetRequestInfo(VARIANT_TRUE), S_OK);
  };
  Open();
  recovering(manager_.Get());
  {
    auto set = NewSet();
    AddCustomer(set.Get(), "Lost Answer Ltd");
    ComPtr<IMsgSetResponse> lost;
    ASSERT_EQ(manager_->DoRequests(set.Get(), lost.Put()), S_OK) << TakeError();
  }
  manager_.Reset();  // the first client ends

  ComPtr<IVTSessionManager> next = NewManager();
  ASSERT_EQ(next->OpenConnection(W("").Get(), W("next").Get()), S_OK) << TakeError();
  ASSERT_EQ(next->BeginSession(W(company_).Get(), omDontCare), S_OK) << TakeError();
  recovering(next.Get());
  VARIANT_BOOL has = VARIANT_FALSE;
  ASSERT_EQ(next->IsErrorRecoveryInfo(&has), S_OK) << TakeError();
  ASSERT_EQ(has, VARIANT_TRUE);

  ComPtr<IMsgSetResponse> status;
  ASSERT_EQ(next->GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
  ComPtr<IAttributesRsSet> attributes;
  status->get_Attributes(attributes.Put());
  ASSERT_TRUE(attributes);
  Bstr code;
  attributes->get_MessageSetStatusCode(code.Put());
  EXPECT_EQ(ToNarrow(code.Get()), "0");
  ComPtr<ICustomerRet> added;
  ASSERT_EQ(Status(status.Get(), 0, &added), 0) << "the earlier answer comes back";
  ComPtr<IVTStringType> name;
  added->get_FullName(name.Put());
  EXPECT_EQ(Text(name.Get()), "Lost Answer Ltd");

  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(next->GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  ComPtr<IRequestList> requests;
  saved->get_RequestList(requests.Put());
  LONG count = 0;
  requests->get_Count(&count);
  EXPECT_EQ(count, 1);

  ASSERT_EQ(next->ClearErrorRecovery(), S_OK) << TakeError();
  ASSERT_EQ(next->IsErrorRecoveryInfo(&has), S_OK);
  EXPECT_EQ(has, VARIANT_FALSE);
  // The application has forgotten the set too.
  Bstr newId;
  ComPtr<IAttributesRsSet> statusAttributes;
  status->get_Attributes(statusAttributes.Put());
  statusAttributes->get_NewMessageSetID(newId.Put());
  const std::string query = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
                            "<VTXMLMsgsRq onError = \"stopOnError\" oldMessageSetID = \"" + ToNarrow(newId.Get()) +
                            "\" newMessageSetID = \"" + ToNarrow(newId.Get()) + "\"/>\r\n</VTXML>\r\n";
  ASSERT_EQ(next->put_EnableErrorRecovery(VARIANT_FALSE), S_OK);
  ComPtr<IMsgSetResponse> again;
  ASSERT_EQ(next->DoRequestsFromXMLString(W(query).Get(), again.Put()), S_OK) << TakeError();
  ComPtr<IAttributesRsSet> againAttributes;
  again->get_Attributes(againAttributes.Put());
  Bstr againCode;
  againAttributes->get_MessageSetStatusCode(againCode.Put());
  EXPECT_EQ(ToNarrow(againCode.Get()), "9001");
}

// The authentication preferences go straight to the processor. The sandbox takes them when
// a session begins: a read-only session refuses changes, and a preference changed since is
// reported as not obeyed.
TEST_P(Manager, AuthenticationPreferences) {
  ComPtr<IVTAuthPreferences> prefs, again;
  ASSERT_EQ(manager_->get_VTAuthPreferences(nullptr), E_POINTER);
  ASSERT_EQ(manager_->get_VTAuthPreferences(prefs.Put()), S_OK) << TakeError();
  ASSERT_EQ(manager_->get_VTAuthPreferences(again.Put()), S_OK);
  EXPECT_EQ(prefs.Get(), again.Get()) << "one object per manager";
  EXPECT_EQ(manager_->CommunicateOutOfProcess(VARIANT_TRUE), kModeEstablished) << "the processor exists now";
  TakeError();

  // Puts need no session; their ranges are checked before the processor is asked.
  EXPECT_EQ(prefs->PutUnattendedModePref(static_cast<ENUnattendedModePrefType>(0)), kEnumOutOfRange);
  EXPECT_EQ(TakeError(), "Enum value is out of range.");
  EXPECT_EQ(prefs->PutPersonalDataPref(static_cast<ENPersonalDataPrefType>(4)), kEnumOutOfRange);
  TakeError();
  ASSERT_EQ(prefs->PutIsReadOnly(VARIANT_TRUE), S_OK);
  ASSERT_EQ(prefs->PutPersonalDataPref(pdptNotNeeded), S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  EXPECT_EQ(prefs->WasAuthPreferencesObeyed(&flag), kNoTicket) << "reads need a session";
  EXPECT_EQ(TakeError(), "BeginSession method has not been called or it did not succeed.");

  Open();
  ASSERT_EQ(prefs->GetIsReadOnly(&flag), S_OK) << TakeError();
  EXPECT_EQ(flag, VARIANT_TRUE);
  ENPersonalDataPrefType personal = pdptOptional;
  ASSERT_EQ(prefs->GetPersonalDataPref(&personal), S_OK);
  EXPECT_EQ(personal, pdptNotNeeded);
  ASSERT_EQ(prefs->WasAuthPreferencesObeyed(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);

  // A read-only session answers queries and refuses adds.
  auto set = NewSet();
  ComPtr<IAttributesRqSet> attributes;
  set->get_Attributes(attributes.Put());
  attributes->put_OnError(roeContinue);
  AddCustomer(set.Get(), "Refused");
  ComPtr<ICustomerQuery> query;
  set->AppendCustomerQueryRq(query.Put());
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 3260);
  EXPECT_EQ(Status(answer.Get(), 1), 1) << "nothing to find, but the query is answered";

  // Changed after the session began: not obeyed until the next session.
  ASSERT_EQ(prefs->PutIsReadOnly(VARIANT_FALSE), S_OK);
  ASSERT_EQ(prefs->WasAuthPreferencesObeyed(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  ASSERT_EQ(manager_->EndSession(), S_OK);
  ASSERT_EQ(manager_->BeginSession(W(company_).Get(), omDontCare), S_OK) << TakeError();
  ASSERT_EQ(prefs->WasAuthPreferencesObeyed(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 0) << "the new session may add";

  // The object outlives its manager without reaching for it.
  manager_.Reset();
  EXPECT_EQ(prefs->GetIsReadOnly(&flag), kNoTicket);
  TakeError();
}

// The processor's error object crosses to the client whole: description and source.
TEST_P(Manager, TheProcessorsErrorComesBackWhole) {
  ASSERT_EQ(manager_->OpenConnection(W("").Get(), W("t").Get()), S_OK) << TakeError();
  EXPECT_EQ(manager_->BeginSession(W(folder_ + "/missing.vtc").Get(), omDontCare), static_cast<HRESULT>(0x80040403));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  Bstr description, source;
  info->GetDescription(description.Put());
  info->GetSource(source.Put());
  EXPECT_EQ(ToNarrow(description.Get()).rfind("Could not open the company file: There is no company file", 0), 0u)
      << ToNarrow(description.Get());
  EXPECT_EQ(ToNarrow(source.Get()),
            OutOfProcess() ? "VTFC4Sandbox.RequestProcessor2e" : "VTFC4Sandbox.RequestProcessor2");
}

INSTANTIATE_TEST_SUITE_P(Processors, Manager, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "OutOfProcess" : "InProcess"; });

// Out of process only: the daemon starts on demand, serves several clients, and a daemon that
// dies or stops answering gives a clear failure, never a hang.
class OutOfProcessManager : public Manager {
 protected:
  // The state letter of a process (R, S, T, Z...) from /proc; 0 when it is gone.
  static char ProcessState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    const size_t name = line.rfind(')');
    return name != std::string::npos && name + 2 < line.size() ? line[name + 2] : 0;
  }
  // True once nothing listens on the socket any more (waits boundedly).
  static bool SocketRefuses(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (int i = 0; i < 1000; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      const bool refused = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
      close(fd);
      if (refused) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Signals are delivered in their own time: waits (boundedly) until the daemon is in the
  // state asked for.
  template <class Done>
  static bool WaitFor(pid_t pid, Done done) {
    for (int i = 0; i < 1000; ++i) {
      if (done(ProcessState(pid))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
};

TEST_P(OutOfProcessManager, ADaemonServesSeveralClientsAndTheyOutliveItsDeath) {
  Open();
  ComPtr<IVTSessionManager> second = NewManager();
  ASSERT_EQ(second->OpenConnection(W("").Get(), W("second").Get()), S_OK) << TakeError();
  ASSERT_EQ(second->BeginSession(W(company_).Get(), omDontCare), S_OK) << TakeError();
  const pid_t daemon = DaemonPid();
  ASSERT_GT(daemon, 0) << "the first client started it";
  auto set = NewSet();
  AddCustomer(set.Get(), "From the first");
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(manager_->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  set->ClearRequests();
  AddCustomer(set.Get(), "From the second");
  ASSERT_EQ(second->DoRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(Status(answer.Get(), 0), 0);
  EXPECT_EQ(DaemonPid(), daemon) << "one daemon for both";

  // A daemon that stops answering: the call ends when its time is up.
  setenv("VTFC4_PROCESSOR_TIMEOUT_MS", "300", 1);
  ASSERT_EQ(kill(daemon, SIGSTOP), 0);
  ASSERT_TRUE(WaitFor(daemon, [](char state) { return state == 'T' || state == 't'; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(second->DoRequests(set.Get(), answer.Put()), static_cast<HRESULT>(0x80010108));
  EXPECT_EQ(TakeError(), "The out-of-process request processor did not answer in time during ProcessRequest.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  unsetenv("VTFC4_PROCESSOR_TIMEOUT_MS");

  // A daemon that dies: the next call fails at once with a clear text, and keeps failing.
  ASSERT_EQ(kill(daemon, SIGKILL), 0);
  kill(daemon, SIGCONT);
  ASSERT_TRUE(WaitFor(daemon, [](char state) { return state == 0 || state == 'Z' || state == 'X'; }));
  // Its threads go last: until then its socket may still take a connection.
  ASSERT_TRUE(SocketRefuses(folder_ + "/sandbox.sock"));
  EXPECT_EQ(manager_->DoRequests(set.Get(), answer.Put()), static_cast<HRESULT>(0x80010108));
  EXPECT_EQ(TakeError(), "The out-of-process request processor stopped during ProcessRequest.");
  EXPECT_EQ(manager_->DoRequests(set.Get(), answer.Put()), static_cast<HRESULT>(0x80010108));
  EXPECT_EQ(TakeError(), "The out-of-process request processor is no longer connected.");

  // A new client starts a new daemon.
  ComPtr<IVTSessionManager> third = NewManager();
  ASSERT_EQ(third->OpenConnection(W("").Get(), W("third").Get()), S_OK) << TakeError();
  EXPECT_NE(DaemonPid(), daemon);
}

INSTANTIATE_TEST_SUITE_P(Processors, OutOfProcessManager, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return "OutOfProcess"; });

// Text to objects and back without any connection.
TEST(ManagerConversions, RequestAndResponseTexts) {
  ComPtr<IVTSessionManager> m;
  ASSERT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, m.PutVoid()), S_OK);
  const std::string request =
      "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"CA3.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq onError = \"stopOnError\">\r\n"
      "<CustomerQueryRq requestID = \"0\">\r\n<MaxReturned>5</MaxReturned>\r\n</CustomerQueryRq>\r\n"
      "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(m->ToMsgSetRequest(W(request).Get(), set.Put()), S_OK) << TakeError();
  Bstr back;
  ASSERT_EQ(set->ToXMLString(back.Put()), S_OK);
  EXPECT_EQ(ToNarrow(back.Get()), request) << "read in the version and edition written in the text";

  struct Case {
    const char* name;
    std::string text;
    HRESULT status;
    const char* description;
  } refused[] = {
      {"no version", "<VTXML/>", kUnsupportedVersion, "Invalid Request.  Could not parse for vtXML version."},
      {"a version the edition lacks", "<?vtxml version=\"CA4.0\"?><VTXML/>", kUnsupportedVersion,
       "Unsupported vtXML version."},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(m->ToMsgSetRequest(W(c.text).Get(), set.Put()), c.status);
    EXPECT_EQ(TakeError(), c.description);
  }
  EXPECT_EQ(m->ToMsgSetRequest(W(request).Get(), nullptr), E_POINTER);

  const std::string answer =
      "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<CustomerQueryRs requestID=\"0\" statusCode=\"1\" "
      "statusSeverity=\"Info\" statusMessage=\"none\"/>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetResponse> response;
  ASSERT_EQ(m->ToMsgSetResponse(W(answer).Get(), W("US").Get(), 4, 0, response.Put()), S_OK) << TakeError();
  ComPtr<IResponseList> list;
  response->get_ResponseList(list.Put());
  LONG count = 0;
  list->get_Count(&count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(m->ToMsgSetResponse(W(answer).Get(), W("UK").Get(), 4, 0, response.Put()), kInvalidCountry);
  EXPECT_EQ(TakeError(), "The Country value is invalid.");
  EXPECT_EQ(m->ToMsgSetResponse(W(answer).Get(), W("US").Get(), 5, 0, response.Put()), kUnsupportedVersion);
  EXPECT_EQ(TakeError(), "Unsupported vtXML version.");
}

TEST(ManagerFactory, CreationAndAggregation) {
  ComPtr<IClassFactory> factory, again;
  EXPECT_EQ(DllGetClassObject(CLSID_VTXMLRP2, IID_IClassFactory, factory.PutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()), S_OK);
  ASSERT_EQ(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, again.PutVoid()), S_OK);
  EXPECT_EQ(factory.Get(), again.Get()) << "one cached factory";

  // An outer object that asks for anything but IUnknown is refused.
  ComPtr<IVTSessionManager> plain;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVTSessionManager, plain.PutVoid()), S_OK);
  ComPtr<IUnknown> inner;
  EXPECT_EQ(factory->CreateInstance(plain.Get(), IID_IDispatch, inner.PutVoid()), CLASS_E_NOAGGREGATION);
  EXPECT_FALSE(inner);

  // Aggregated: the inner unknown answers for the object; its interfaces count on the outer.
  ASSERT_EQ(factory->CreateInstance(plain.Get(), IID_IUnknown, inner.PutVoid()), S_OK);
  ComPtr<IVTSessionManager> face;
  ASSERT_EQ(inner->QueryInterface(IID_IVTSessionManager, face.PutVoid()), S_OK);
  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(face->QueryInterface(IID_ISupportErrorInfo, errors.PutVoid()), S_OK)
      << "asked through the outer object, which is a session manager too";
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IVTSessionManager), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "objects live";

  // LockServer holds the module; the cached factory itself does not.
  const LONG before = ModuleLockCount().load();
  ASSERT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(ModuleLockCount().load(), before + 1);
  ASSERT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(ModuleLockCount().load(), before);
  errors.Reset();
  face.Reset();
  inner.Reset();
  plain.Reset();
  EXPECT_EQ(ModuleLockCount().load(), before - 2) << "both managers are gone";
}

}  // namespace
}  // namespace vtfc4
