// The desktop session manager on the main road, through the sandbox's real in-process
// processor (loaded by class identifier from a registry file of the test's own) and a real
// company file; and every failure of the manager's own table.
#include "src/session/session_manager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "session/sandbox_folder.h"
#include "src/com/error.h"
#include "src/com/object.h"
#include "src/msgset/msgset_request.h"

namespace vtfc4 {
namespace {

constexpr char kGuid[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";
constexpr HRESULT kDisconnected = VTFC4_HR(0x80010108);

// The status code of each response of an answer, in order.
std::vector<LONG> Statuses(IMsgSetResponse* answer) {
  std::vector<LONG> codes;
  const ComPtr<IResponseList> list = Field(answer, &IMsgSetResponse::get_ResponseList);
  for (LONG i = 0, n = list ? CountOf(list.Get()) : 0; i < n; ++i) {
    ComPtr<IResponse> r;
    LONG code = -1;
    EXPECT_EQ(list->GetAt(i, r.Put()), S_OK);
    if (r) { EXPECT_EQ(r->get_StatusCode(&code), S_OK); }
    codes.push_back(code);
  }
  return codes;
}
LONG Status(IMsgSetResponse* answer, LONG i) {
  const std::vector<LONG> codes = Statuses(answer);
  return i < static_cast<LONG>(codes.size()) ? codes[static_cast<size_t>(i)] : -999;
}

// The record the i-th response holds (the first of a customer list) as I; null when none.
template <class I = ICustomerRet>
ComPtr<I> Record(IMsgSetResponse* answer, LONG i) {
  ComPtr<IResponseList> list = Field(answer, &IMsgSetResponse::get_ResponseList);
  ComPtr<IResponse> r;
  ComPtr<IVTBase> detail;
  if (list && list->GetAt(i, r.Put()) == S_OK) r->get_Detail(detail.Put());
  ComPtr<I> record;
  ComPtr<ICustomerRetList> many;
  if constexpr (std::is_same_v<I, ICustomerRet>) {
    if (detail && detail.As(&many) == S_OK) {
      many->GetAt(0, record.Put());
      return record;
    }
  }
  if (detail) detail.As(&record);
  return record;
}

void AddCustomer(IMsgSetRequest* set, const std::string& name, const std::string& city = "") {
  ComPtr<ICustomerAdd> add = Field(set, &IMsgSetRequest::AppendCustomerAddRq);
  ASSERT_EQ(SetField(add.Get(), &ICustomerAdd::get_Name, name), S_OK);
  if (city.empty()) return;
  ASSERT_EQ(SetField(Field(add.Get(), &ICustomerAdd::get_BillAddress).Get(), &IAddress::get_City, city), S_OK);
}

// A query for one customer by full name, or by ListID.
void QueryCustomer(IMsgSetRequest* set, const std::string& key, bool byListID = false) {
  auto choice = Field(Field(set, &IMsgSetRequest::AppendCustomerQueryRq).Get(), &ICustomerQuery::get_ORCustomerListQuery);
  auto list = Field(choice.Get(), byListID ? &IORCustomerListQuery::get_ListIDList : &IORCustomerListQuery::get_FullNameList);
  ASSERT_EQ(list->Add(Wide(key).Get()), S_OK);
}

// A modification of customer `id` at EditSequence `edit`, with a new name and phone when given.
void ModifyCustomer(IMsgSetRequest* set, const std::string& id, const std::string& edit,
                    const std::string& name = "", const std::string& phone = "") {
  ComPtr<ICustomerMod> mod = Field(set, &IMsgSetRequest::AppendCustomerModRq);
  ASSERT_EQ(SetField(mod.Get(), &ICustomerMod::get_ListID, id), S_OK);
  ASSERT_EQ(SetField(mod.Get(), &ICustomerMod::get_EditSequence, edit), S_OK);
  EXPECT_EQ(name.empty() ? S_OK : SetField(mod.Get(), &ICustomerMod::get_Name, name), S_OK);
  EXPECT_EQ(phone.empty() ? S_OK : SetField(mod.Get(), &ICustomerMod::get_Phone, phone), S_OK);
}

void OnError(IMsgSetRequest* set, ENRqOnError policy) {
  ASSERT_EQ(Field(set, &IMsgSetRequest::get_Attributes)->put_OnError(policy), S_OK);
}

// Error recovery on under the identifier `guid`, the whole request saved when asked.
void Recovering(IVTSessionManager* m, const std::string& guid, bool saveAll = false) {
  ASSERT_EQ(SetField(m, &IVTSessionManager::get_ErrorRecoveryID, guid), S_OK);
  ASSERT_EQ(m->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
  if (saveAll) { ASSERT_EQ(m->put_SaveAllMsgSetRequestInfo(VARIANT_TRUE), S_OK); }
}

// Every test runs twice: through the in-process processor and through the out-of-process one,
// whose daemon the test's own socket serves.
class Manager : public SandboxFolder<::testing::TestWithParam<bool>> {
 protected:
  void SetUp() override {
    SandboxFolder::SetUp();
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
    manager_ = NewManager();
    TakeError();
  }
  void TearDown() override {
    manager_.Reset();
    SandboxFolder::TearDown();
  }
  static bool OutOfProcess() { return GetParam(); }
  pid_t DaemonPid() const { return PidFile(socket_); }
  static ComPtr<IVTSessionManager> NewManager() {
    ComPtr<IVTSessionManager> m;
    EXPECT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, m.PutVoid()), S_OK);
    if (OutOfProcess()) { EXPECT_EQ(m->CommunicateOutOfProcess(VARIANT_TRUE), S_OK); }
    return m;
  }
  // A connection and a session on the company file, for the test's manager or another one.
  void Open(IVTSessionManager* m = nullptr) {
    if (!m) m = manager_.Get();
    ASSERT_EQ(m->OpenConnection(Wide("").Get(), Wide("tests").Get()), S_OK) << TakeError();
    ASSERT_EQ(m->BeginSession(Wide(company_).Get(), omDontCare), S_OK) << TakeError();
  }
  ComPtr<IMsgSetRequest> NewSet(IVTSessionManager* m = nullptr) {
    ComPtr<IMsgSetRequest> set;
    EXPECT_EQ((m ? m : manager_.Get())->CreateMsgSetRequest(Wide("US").Get(), 4, 0, set.Put()), S_OK) << TakeError();
    return set;
  }
  // The answer to a set sent through the test's manager or another one.
  ComPtr<IMsgSetResponse> Send(IMsgSetRequest* set, IVTSessionManager* m = nullptr) {
    ComPtr<IMsgSetResponse> answer;
    EXPECT_EQ((m ? m : manager_.Get())->DoRequests(set, answer.Put()), S_OK) << TakeError();
    return answer;
  }

  ComPtr<IVTSessionManager> manager_;
};

// A customer's life with names in every script: added with an address, recovered from the
// application, read back by name and by ListID, modified with the EditSequence it was given,
// refused with that one once it is stale, deleted, then gone. Text beyond ASCII goes end to end
// under the default code page (accented Latin) and under UTF-8 (any script).
TEST_P(Manager, ACustomersLifeWithNamesInEveryScript) {
  const std::pair<const char*, std::string> cases[] = {
      {"WINDOWS-1252", "Ames & Sons"},
      {"WINDOWS-1252", "Zo\xEB Caf\xE9 \xC5ngstr\xF6m"},
      {"UTF-8", "Zo\xC3\xAB \xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1"},
      {"UTF-8", "\xE6\x9D\xB1\xE4\xBA\xAC \xE5\x95\x86\xE4\xBC\x9A"},
      {"UTF-8", "Smile \xF0\x9F\x98\x80 & Co"},
  };
  Open();
  int round = 0;
  for (const auto& [codePage, name] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(SetThreadCodePage(codePage), S_OK);
    Recovering(manager_.Get(), "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7" + std::to_string(round++) + "}");
    auto set = NewSet();
    AddCustomer(set.Get(), name, name);
    auto answer = Send(set.Get());
    ASSERT_EQ(Statuses(answer.Get()), std::vector<LONG>{0});
    const ComPtr<ICustomerRet> added = Record(answer.Get(), 0);
    EXPECT_EQ(FieldText(added.Get(), &ICustomerRet::get_Name), name);
    EXPECT_EQ(FieldText(Field(added.Get(), &ICustomerRet::get_BillAddress).Get(), &IAddress::get_City), name);
    const std::string id = FieldText(added.Get(), &ICustomerRet::get_ListID),
                      edit = FieldText(added.Get(), &ICustomerRet::get_EditSequence);
    ComPtr<IMsgSetResponse> status;
    ASSERT_EQ(manager_->GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
    ASSERT_EQ(Statuses(status.Get()), std::vector<LONG>{0});
    EXPECT_EQ(FieldText(Record(status.Get(), 0).Get(), &ICustomerRet::get_FullName), name);
    ASSERT_EQ(manager_->ClearErrorRecovery(), S_OK) << TakeError();
    ASSERT_EQ(manager_->put_EnableErrorRecovery(VARIANT_FALSE), S_OK);

    set->ClearRequests();
    OnError(set.Get(), roeStop);
    QueryCustomer(set.Get(), name);
    QueryCustomer(set.Get(), id, true);
    ModifyCustomer(set.Get(), id, edit, name + "!", "555-0199");
    answer = Send(set.Get());
    ASSERT_EQ(Statuses(answer.Get()), (std::vector<LONG>{0, 0, 0}));
    EXPECT_EQ(FieldText(Record(answer.Get(), 0).Get(), &ICustomerRet::get_Name), name);
    EXPECT_EQ(FieldText(Record(answer.Get(), 1).Get(), &ICustomerRet::get_FullName), name);
    const ComPtr<ICustomerRet> modified = Record(answer.Get(), 2);
    EXPECT_EQ(FieldText(modified.Get(), &ICustomerRet::get_Name), name + "!");
    EXPECT_EQ(FieldText(modified.Get(), &ICustomerRet::get_Phone), "555-0199");
    EXPECT_NE(FieldText(modified.Get(), &ICustomerRet::get_EditSequence), edit);

    set->ClearRequests();
    ModifyCustomer(set.Get(), id, edit, "", "555-0100");
    EXPECT_EQ(Statuses(Send(set.Get()).Get()), std::vector<LONG>{3200}) << "a stale EditSequence";
    for (const LONG expected : {0, 3120}) {  // deleted, then gone
      set->ClearRequests();
      const ComPtr<IListDel> del = Field(set.Get(), &IMsgSetRequest::AppendListDelRq);
      ASSERT_EQ(Field(del.Get(), &IListDel::get_ListDelType)->SetValue(ldtCustomer), S_OK);
      ASSERT_EQ(SetField(del.Get(), &IListDel::get_ListID, id), S_OK);
      answer = Send(set.Get());
      EXPECT_EQ(Statuses(answer.Get()), std::vector<LONG>{expected});
      const auto deleted = Record<IListDelRet>(answer.Get(), 0);
      EXPECT_EQ(deleted ? FieldText(deleted.Get(), &IListDelRet::get_FullName) : kAbsent,
                expected == 0 ? name + "!" : kAbsent);
    }
  }
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  EXPECT_EQ(manager_->EndSession(), S_OK);
  EXPECT_EQ(manager_->CloseConnection(), S_OK);
}

TEST_P(Manager, FailuresOfTheManagersOwnTable) {
  ComPtr<IMsgSetRequest> set;
  ExpectStatus("lower-case country", manager_->CreateMsgSetRequest(Wide("us").Get(), 4, 0, set.Put()), kInvalidCountry,
               "The Country value is invalid.");
  ExpectStatus("CA 4.0", manager_->CreateMsgSetRequest(Wide("CA").Get(), 4, 0, set.Put()), kUnsupportedVersion,
               "Unsupported vtXML version.");
  ExpectStatus("US 2.1", manager_->CreateMsgSetRequest(Wide("US").Get(), 2, 1, set.Put()), S_OK);
  ExpectStatus("null country is US", manager_->CreateMsgSetRequest(nullptr, 1, 1, set.Put()), S_OK);
  ExpectStatus("null out", manager_->CreateMsgSetRequest(Wide("US").Get(), 4, 0, nullptr), E_POINTER);

  ComPtr<IMsgSetResponse> answer;
  ExpectStatus("null set", manager_->DoRequests(nullptr, answer.Put()), S_OK);
  EXPECT_FALSE(answer);
  ExpectStatus("null set, null out", manager_->DoRequests(nullptr, nullptr), S_OK);
  ExpectStatus("null out", manager_->DoRequests(set.Get(), nullptr), E_POINTER);
  ExpectStatus("null text", manager_->DoRequestsFromXMLString(nullptr, answer.Put()), S_OK);
  ExpectStatus("no ticket", manager_->DoRequests(set.Get(), answer.Put()), kNoTicket,
               "BeginSession method has not been called or it did not succeed.");
  ExpectStatus("open mode out of range", manager_->BeginSession(Wide(company_).Get(), static_cast<ENOpenMode>(3)),
               kEnumOutOfRange, "Enum value is out of range.");
  ExpectStatus("connection type out of range",
               manager_->OpenConnection2(Wide("").Get(), Wide("t").Get(), static_cast<ENConnectionType>(5)),
               kEnumOutOfRange, "Enum value is out of range.");

  SHORT major = 0, minor = 0, number = 0;
  ENReleaseLevel level = rlPreAlpha;
  ExpectStatus("GetVersion with a null pointer", manager_->GetVersion(&major, nullptr, &level, &number), E_POINTER);
  EXPECT_EQ(major, 0) << "nothing written";
  ExpectStatus("GetVersion", manager_->GetVersion(&major, &minor, &level, &number), S_OK);
  EXPECT_EQ((std::vector<int>{major, minor, level, number}), (std::vector<int>{4, 0, rlRelease, 1}));

  // An online-edition set belongs to the other manager.
  auto online = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
  online->Init(4, 0, kCountryOnline);
  ExpectStatus("online set", manager_->DoRequests(online.Get(), answer.Put()), kWrongManager,
               "This message set must be used with the VTOESessionManager, not VTSessionManager.");

  // A recovery failure chains onto whatever error the thread still holds.
  EXPECT_EQ(manager_->CreateMsgSetRequest(Wide("XX").Get(), 4, 0, set.Put()), kInvalidCountry);
  ExpectStatus("chained onto an unread error", manager_->IsErrorRecoveryInfo(nullptr), E_POINTER,
               "The Country value is invalid., IsErrorRecoveryInfo, Parameter one is null - 18");

  // The mode is fixed once a processor exists.
  ENConnectionType type = ctUnknown;
  ExpectStatus("ConnectionType creates the processor", manager_->get_ConnectionType(&type), S_OK);
  ExpectStatus("mode change", manager_->CommunicateOutOfProcess(VARIANT_TRUE), kModeEstablished,
               "The mode of communication has already been established, and once set, it cannot be changed.");
}

// Subscriptions and events need no connection or session; their versions are 3.0 and 4.0.
TEST_P(Manager, SubscriptionOperationsNeedNoSession) {
  // The processor (and the daemon it starts) keeps subscriptions in the test's own store.
  setenv("VTFC4_SANDBOX_SUBSCRIPTIONS", (folder_ + "/subscriptions.db").c_str(), 1);
  const std::string unsupported = "Unsupported vtXML version.";
  ComPtr<ISubscriptionMsgSetRequest> set;
  ExpectStatus("2.0", manager_->CreateSubscriptionMsgSetRequest(2, 0, set.Put()), kUnsupportedVersion, unsupported);
  ExpectStatus("3.1", manager_->CreateSubscriptionMsgSetRequest(3, 1, set.Put()), kUnsupportedVersion, unsupported);
  ExpectStatus("null out", manager_->CreateSubscriptionMsgSetRequest(4, 0, nullptr), E_POINTER);
  ComPtr<IEventsMsgSet> events;
  ExpectStatus("events 2.1, before any reading", manager_->ToEventsMsgSet(Wide("not a document").Get(), 2, 1, events.Put()),
               kUnsupportedVersion, unsupported);
  ExpectStatus("events", manager_->ToEventsMsgSet(Wide("<VTXML><VTXMLEvents><UIEvent><CompanyFilePath>x"
                                                      "</CompanyFilePath></UIEvent></VTXMLEvents></VTXML>").Get(),
                                                 3, 0, events.Put()),
               S_OK);
  EXPECT_TRUE(Field(events.Get(), &IEventsMsgSet::get_OREvent));
  ComPtr<ISubscriptionMsgSetResponse> answer;
  ExpectStatus("answer 4.1", manager_->ToSubscriptionMsgSetResponse(nullptr, 4, 1, answer.Put()), kUnsupportedVersion,
               unsupported);
  ExpectStatus("no answer", manager_->ToSubscriptionMsgSetResponse(nullptr, 4, 0, answer.Put()), S_OK);
  EXPECT_FALSE(answer);
  ExpectStatus("null set", manager_->DoSubscriptionRequests(nullptr, answer.Put()), S_OK);
  EXPECT_FALSE(answer);
  ExpectStatus("null text", manager_->DoSubscriptionRequestsFromXMLString(nullptr, answer.Put()), S_OK);

  // A set that does not verify is not sent; one that does is, and that fixes the mode.
  ASSERT_EQ(manager_->CreateSubscriptionMsgSetRequest(4, 0, set.Put()), S_OK);
  Field(set.Get(), &ISubscriptionMsgSetRequest::AppendSubscriptionDelRq);
  Bstr report;
  VARIANT_BOOL ok = VARIANT_TRUE;
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  ExpectStatus("not verified", manager_->DoSubscriptionRequests(set.Get(), answer.Put()), kVerifyFailed, Narrow(report));
  ASSERT_EQ(set->ClearRequests(), S_OK);
  manager_->DoSubscriptionRequests(set.Get(), answer.Put());
  TakeError();
  ExpectStatus("mode change", manager_->CommunicateOutOfProcess(VARIANT_FALSE), kModeEstablished,
               "The mode of communication has already been established, and once set, it cannot be changed.");

  // A data event subscription added, without any connection, and its Ret read back.
  ComPtr<IDataEventSubscriptionAdd> add = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendDataEventSubscriptionAddRq);
  ASSERT_EQ(SetField(add.Get(), &IDataEventSubscriptionAdd::get_SubscriberID, kGuid), S_OK);
  ComPtr<ICOMCallbackInfo> callback = Field(add.Get(), &IDataEventSubscriptionAdd::get_COMCallbackInfo);
  ASSERT_EQ(SetField(callback.Get(), &ICOMCallbackInfo::get_AppName, "Books watcher"), S_OK);
  ASSERT_EQ(SetField(Field(callback.Get(), &ICOMCallbackInfo::get_ORProgCLSID).Get(), &IORProgCLSID::get_ProgID,
                     "Vendor.Subscriber"),
            S_OK);
  ASSERT_EQ(Field(add.Get(), &IDataEventSubscriptionAdd::get_DeliveryPolicy)->SetValue(dpDeliverAlways), S_OK);
  ComPtr<IListEventSubscription> entry =
      Field(Field(add.Get(), &IDataEventSubscriptionAdd::get_ListEventSubscriptionList).Get(),
            &IListEventSubscriptionList::Append);
  ASSERT_EQ(Field(entry.Get(), &IListEventSubscription::get_ListEventTypeList)->Add(letCustomer), S_OK);
  ASSERT_EQ(Field(entry.Get(), &IListEventSubscription::get_ListEventOperationList)->Add(leoAdd), S_OK);
  Field(Field(set.Get(), &ISubscriptionMsgSetRequest::AppendDataEventSubscriptionQueryRq).Get(),
        &IDataEventSubscriptionQuery::get_SubscriberID)
      ->SetValue(Wide(kGuid).Get());
  const auto codes = [&answer] {
    std::vector<LONG> all;
    const ComPtr<IResponseList> list = Field(answer.Get(), &ISubscriptionMsgSetResponse::get_ResponseList);
    for (LONG i = 0, n = list ? CountOf(list.Get()) : 0; i < n; ++i) {
      ComPtr<IResponse> r;
      LONG code = -1;
      if (list->GetAt(i, r.Put()) == S_OK) r->get_StatusCode(&code);
      all.push_back(code);
    }
    return all;
  };
  ASSERT_EQ(manager_->DoSubscriptionRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ASSERT_TRUE(answer);
  EXPECT_EQ(codes(), (std::vector<LONG>{0, 0}));
  for (LONG i : {0, 1}) {
    ComPtr<IResponse> response;
    ASSERT_EQ(Field(answer.Get(), &ISubscriptionMsgSetResponse::get_ResponseList)->GetAt(i, response.Put()), S_OK);
    ComPtr<IVTBase> detail = Field(response.Get(), &IResponse::get_Detail);
    ComPtr<IDataEventSubscriptionRet> ret;
    ASSERT_TRUE(detail && detail.As(&ret) == S_OK) << "response " << i;
    EXPECT_EQ(FieldText(ret.Get(), &IDataEventSubscriptionRet::get_SubscriberID), kGuid);
    DATE created = 0;
    EXPECT_EQ(Field(ret.Get(), &IDataEventSubscriptionRet::get_TimeCreated)->GetValue(&created), S_OK);
    EXPECT_GT(created, 40000.0);  // a day of this century
    EXPECT_EQ(FieldText(Field(Field(Field(ret.Get(), &IDataEventSubscriptionRet::get_ORCOMHTTPCallbackInfo).Get(),
                                    &IORCOMHTTPCallbackInfo::get_COMCallbackInfo).Get(),
                              &ICOMCallbackInfo::get_ORProgCLSID).Get(),
                        &IORProgCLSID::get_ProgID),
              "Vendor.Subscriber");
    EXPECT_EQ(CountOf(Field(ret.Get(), &IDataEventSubscriptionRet::get_ListEventSubscriptionList).Get()), 1);
  }
  // The same set again: the second Add of the subscriber's data subscription is refused.
  ASSERT_EQ(manager_->DoSubscriptionRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(codes(), (std::vector<LONG>{3100, 0}));
  // Deleted, it is gone.
  ASSERT_EQ(set->ClearRequests(), S_OK);
  ComPtr<ISubscriptionDel> del = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendSubscriptionDelRq);
  ASSERT_EQ(SetField(del.Get(), &ISubscriptionDel::get_SubscriberID, kGuid), S_OK);
  ASSERT_EQ(Field(del.Get(), &ISubscriptionDel::get_SubscriptionType)->SetValue(stData), S_OK);
  ASSERT_EQ(manager_->DoSubscriptionRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  ASSERT_EQ(manager_->DoSubscriptionRequests(set.Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(codes(), (std::vector<LONG>{3120}));
  // A text the processor cannot read fails there, with its reason.
  EXPECT_EQ(manager_->DoSubscriptionRequestsFromXMLString(
                Wide("<?vtxml version=\"4.0\"?><VTXML><VTXMLMsgsRq/></VTXML>").Get(), answer.Put()),
            VTFC4_HR(0x80040405));
  EXPECT_NE(TakeError().find("VTXMLSubscriptionMsgsRq"), std::string::npos);
  // The versions of subscription documents: none before 3.0.
  SAFEARRAY* versions = nullptr;
  ASSERT_EQ(manager_->get_VTXMLVersionsForSubscription(&versions), S_OK) << TakeError();
  std::vector<std::string> texts;
  LONG last = -1;
  SafeArrayGetUBound(versions, 1, &last);
  for (LONG i = 0; i <= last; ++i) {
    Bstr text;
    ASSERT_EQ(SafeArrayGetElement(versions, &i, text.Put()), S_OK);
    texts.push_back(Narrow(text));
  }
  SafeArrayDestroy(versions);
  EXPECT_EQ(texts, (std::vector<std::string>{"3.0", "4.0"}));
  unsetenv("VTFC4_SANDBOX_SUBSCRIPTIONS");
}

// Failures once connected: the processor's error object crosses whole; a set that does not
// verify and a text without a readable version are not sent; a text the processor cannot
// read, and a set sent after EndSession (with the empty ticket), fail in the processor.
TEST_P(Manager, FailuresInASession) {
  ASSERT_EQ(manager_->OpenConnection(Wide("").Get(), Wide("t").Get()), S_OK) << TakeError();
  EXPECT_EQ(manager_->BeginSession(Wide(folder_ + "/missing.vtc").Get(), omDontCare), VTFC4_HR(0x80040403));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  const std::string description = FieldText(info.Get(), &IErrorInfo::GetDescription);
  EXPECT_EQ(description.rfind("Could not open the company file: There is no company file", 0), 0u) << description;
  EXPECT_EQ(FieldText(info.Get(), &IErrorInfo::GetSource),
            OutOfProcess() ? "VTFC4Sandbox.RequestProcessor2e" : "VTFC4Sandbox.RequestProcessor2");
  ASSERT_EQ(manager_->BeginSession(Wide(company_).Get(), omDontCare), S_OK) << TakeError();

  auto set = NewSet();
  Field(set.Get(), &IMsgSetRequest::AppendCustomerAddRq);  // no Name: Verify refuses it
  ComPtr<IMsgSetResponse> answer;
  EXPECT_EQ(manager_->DoRequests(set.Get(), answer.Put()), kVerifyFailed);
  EXPECT_NE(TakeError().find("Name"), std::string::npos);
  const std::string both =
      "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n"
      "<!DOCTYPE VTXML PUBLIC \"-//KORVEN//DTD VTXML VTD 4.0//EN\" \"x\">\r\n<VTXML>\r\n"
      "<VTXMLMsgsRq onError = \"stopOnError\">\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  ExpectStatus("two version forms", manager_->DoRequestsFromXMLString(Wide(both).Get(), answer.Put()),
               kUnsupportedVersion, "Invalid Request.  Could not parse for vtXML version.");

  HRESULT hr = manager_->DoRequestsFromXMLString(Wide("<?vtxml version=\"4.0\"?><VTXML><oops").Get(), answer.Put());
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(answer);
  EXPECT_EQ(TakeError().rfind("The request could not be read: ", 0), 0u);

  ASSERT_EQ(manager_->EndSession(), S_OK);
  set->ClearRequests();
  AddCustomer(set.Get(), "Late");
  hr = manager_->DoRequests(set.Get(), answer.Put());
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(hr, kNoTicket) << "not the manager's own 604";
  EXPECT_NE(TakeError().find("ticket"), std::string::npos) << "the processor's own error";
  Bstr name;
  EXPECT_TRUE(FAILED(manager_->GetCurrentCompanyFileName(name.Put())));
}

TEST_P(Manager, WithoutARegisteredProcessorNothingIsCreated) {
  setenv("VTFC4_REGISTRY", (folder_ + "/empty-registry").c_str(), 1);
  ExpectStatus("no processor", manager_->OpenConnection(Wide("").Get(), Wide("t").Get()),
               OutOfProcess() ? kCannotCreateProcessorEx : kCannotCreateProcessor,
               OutOfProcess() ? "Cannot create VTXMLRP2e COM component." : "Cannot create VTXMLRP2 COM component. ");
}

// Every error status the sandbox gives, as the client reads it, and the three onError
// policies: what the answers say and what the company file keeps.
TEST_P(Manager, ErrorStatusesAndOnErrorPolicies) {
  Open();
  auto set = NewSet();
  AddCustomer(set.Get(), "Ames");
  ASSERT_EQ(Statuses(Send(set.Get()).Get()), std::vector<LONG>{0});

  // A duplicate name, an unknown identifier and a request the sandbox cannot serve (it has no
  // windows to open), each answered in its own response under continueOnError, which goes on.
  set->ClearRequests();
  OnError(set.Get(), roeContinue);
  AddCustomer(set.Get(), "Ames");
  ModifyCustomer(set.Get(), "99999-1", "1");
  ASSERT_EQ(Field(Field(set.Get(), &IMsgSetRequest::AppendTxnDisplayAddRq).Get(), &ITxnDisplayAdd::get_TxnDisplayAddType)
                ->SetValue(tdatInvoice),
            S_OK);
  AddCustomer(set.Get(), "Bell");
  EXPECT_EQ(Statuses(Send(set.Get()).Get()), (std::vector<LONG>{3100, 3120, 3250, 0}));

  // Carol, a duplicate (fails), Dave; then what the file kept: a name that is not there is 500.
  const struct {
    ENRqOnError onError;
    std::vector<LONG> answered, kept;
  } policies[] = {{roeStop, {0, 3100}, {0, 500}}, {roeContinue, {0, 3100, 0}, {0, 0}}, {roeRollback, {0, 3100}, {500, 500}}};
  int round = 0;
  for (const auto& p : policies) {
    SCOPED_TRACE(p.onError);
    const std::string carol = "Carol " + std::to_string(round), dave = "Dave " + std::to_string(round++);
    set->ClearRequests();
    OnError(set.Get(), p.onError);
    for (const std::string& name : {carol, std::string("Ames"), dave}) AddCustomer(set.Get(), name);
    EXPECT_EQ(Statuses(Send(set.Get()).Get()), p.answered);
    auto query = NewSet();
    OnError(query.Get(), roeContinue);
    QueryCustomer(query.Get(), carol);
    QueryCustomer(query.Get(), dave);
    EXPECT_EQ(Statuses(Send(query.Get()).Get()), p.kept);
  }
}

// A client sends with recovery on and never sees the answer: until the record is cleared it
// may send nothing more. A new client with the same recovery identifier, on the same company
// file, finds the record, gets the earlier answer back from the application, reads the saved
// request, and clears both; then it may send again.
TEST_P(Manager, ALostAnswerIsRecoveredByTheNextClient) {
  Open();
  Recovering(manager_.Get(), kGuid, true);
  auto set = NewSet();
  AddCustomer(set.Get(), "Lost Answer Ltd");
  EXPECT_EQ(Statuses(Send(set.Get()).Get()), std::vector<LONG>{0});
  // The record names the company file the session is on.
  EXPECT_EQ(access((folder_ + "/appdata/Korven/Vantrel/0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B/books.erf").c_str(), F_OK),
            0);
  ComPtr<IMsgSetResponse> answer;
  ExpectStatus("a second send", manager_->DoRequests(set.Get(), answer.Put()), kRecoveryRecord,
               "Automated Error Recovery Error - Error Recovery Data exists, must clear the data before another "
               "request is made - 21");
  manager_.Reset();  // the first client ends

  ComPtr<IVTSessionManager> next = NewManager();
  Open(next.Get());
  Recovering(next.Get(), kGuid, true);
  VARIANT_BOOL has = VARIANT_FALSE;
  ASSERT_EQ(next->IsErrorRecoveryInfo(&has), S_OK) << TakeError();
  ASSERT_EQ(has, VARIANT_TRUE);
  ComPtr<IMsgSetResponse> status;
  ASSERT_EQ(next->GetErrorRecoveryStatus(status.Put()), S_OK) << TakeError();
  const ComPtr<IAttributesRsSet> attributes = Field(status.Get(), &IMsgSetResponse::get_Attributes);
  ASSERT_TRUE(attributes);
  EXPECT_EQ(FieldText(attributes.Get(), &IAttributesRsSet::get_MessageSetStatusCode), "0");
  ASSERT_EQ(Status(status.Get(), 0), 0) << "the earlier answer comes back";
  EXPECT_EQ(FieldText(Record(status.Get(), 0).Get(), &ICustomerRet::get_FullName), "Lost Answer Ltd");
  ComPtr<IMsgSetRequest> saved;
  ASSERT_EQ(next->GetSavedMsgSetRequest(saved.Put()), S_OK) << TakeError();
  EXPECT_EQ(CountOf(Field(saved.Get(), &IMsgSetRequest::get_RequestList).Get()), 1);

  ASSERT_EQ(next->ClearErrorRecovery(), S_OK) << TakeError();
  ASSERT_EQ(next->IsErrorRecoveryInfo(&has), S_OK);
  EXPECT_EQ(has, VARIANT_FALSE);
  set = NewSet(next.Get());
  AddCustomer(set.Get(), "Next");
  EXPECT_EQ(Statuses(Send(set.Get(), next.Get()).Get()), std::vector<LONG>{0});
  // The application has forgotten the earlier set.
  const std::string id = FieldText(attributes.Get(), &IAttributesRsSet::get_NewMessageSetID);
  const std::string query = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
                            "<VTXMLMsgsRq onError = \"stopOnError\" oldMessageSetID = \"" + id +
                            "\" newMessageSetID = \"" + id + "\"/>\r\n</VTXML>\r\n";
  ASSERT_EQ(next->put_EnableErrorRecovery(VARIANT_FALSE), S_OK);
  ASSERT_EQ(next->DoRequestsFromXMLString(Wide(query).Get(), answer.Put()), S_OK) << TakeError();
  EXPECT_EQ(FieldText(Field(answer.Get(), &IMsgSetResponse::get_Attributes).Get(),
                      &IAttributesRsSet::get_MessageSetStatusCode),
            "9001");
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
  ExpectStatus("unattended mode 0", prefs->PutUnattendedModePref(static_cast<ENUnattendedModePrefType>(0)),
               kEnumOutOfRange, "Enum value is out of range.");
  EXPECT_EQ(prefs->PutPersonalDataPref(static_cast<ENPersonalDataPrefType>(4)), kEnumOutOfRange);
  TakeError();
  ASSERT_EQ(prefs->PutIsReadOnly(VARIANT_TRUE), S_OK);
  ASSERT_EQ(prefs->PutPersonalDataPref(pdptNotNeeded), S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  ExpectStatus("reads need a session", prefs->WasAuthPreferencesObeyed(&flag), kNoTicket,
               "BeginSession method has not been called or it did not succeed.");
  const auto obeyed = [&] {
    VARIANT_BOOL answer = 5;
    EXPECT_EQ(prefs->WasAuthPreferencesObeyed(&answer), S_OK);
    return answer;
  };

  Open();
  ASSERT_EQ(prefs->GetIsReadOnly(&flag), S_OK) << TakeError();
  EXPECT_EQ(flag, VARIANT_TRUE);
  ENPersonalDataPrefType personal = pdptOptional;
  ASSERT_EQ(prefs->GetPersonalDataPref(&personal), S_OK);
  EXPECT_EQ(personal, pdptNotNeeded);
  EXPECT_EQ(obeyed(), VARIANT_TRUE);

  // A read-only session refuses adds and answers queries (there is nothing to find).
  auto set = NewSet();
  OnError(set.Get(), roeContinue);
  AddCustomer(set.Get(), "Refused");
  Field(set.Get(), &IMsgSetRequest::AppendCustomerQueryRq);
  EXPECT_EQ(Statuses(Send(set.Get()).Get()), (std::vector<LONG>{3260, 1}));

  // Changed after the session began: not obeyed until the next session, which may add.
  ASSERT_EQ(prefs->PutIsReadOnly(VARIANT_FALSE), S_OK);
  EXPECT_EQ(obeyed(), VARIANT_FALSE);
  ASSERT_EQ(manager_->EndSession(), S_OK);
  ASSERT_EQ(manager_->BeginSession(Wide(company_).Get(), omDontCare), S_OK) << TakeError();
  EXPECT_EQ(obeyed(), VARIANT_TRUE);
  EXPECT_EQ(Status(Send(set.Get()).Get(), 0), 0);

  // The object outlives its manager without reaching for it.
  manager_.Reset();
  EXPECT_EQ(prefs->GetIsReadOnly(&flag), kNoTicket);
  TakeError();
}

INSTANTIATE_TEST_SUITE_P(Processors, Manager, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "OutOfProcess" : "InProcess"; });

// Out of process only: the daemon starts on demand, serves several clients, and a daemon that
// dies or stops answering gives a clear failure, never a hang.
class OutOfProcessManager : public Manager {
 protected:
  // The state letter of a process (R, S, T, Z... from /proc); '0' when it is gone.
  static char ProcessState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    const size_t name = std::getline(in, line) ? line.rfind(')') : std::string::npos;
    return name != std::string::npos && name + 2 < line.size() ? line[name + 2] : '0';
  }
  // Signals are delivered in their own time: waits until the daemon is in one of `states`.
  static bool WaitFor(pid_t pid, std::string_view states) {
    return Eventually([&] { return states.find(ProcessState(pid)) != std::string_view::npos; });
  }
};

TEST_P(OutOfProcessManager, ADaemonServesSeveralClientsAndTheyOutliveItsDeath) {
  // The first client starts it, in a session of its own and with nothing of the client: not
  // even a descriptor the client holds open across exec, as a client may by oversight.
  const std::string held = folder_ + "/held";
  const int fd = open(held.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  Open();
  close(fd);
  const pid_t daemon = DaemonPid();
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(getsid(daemon), daemon);
  const std::string fds = "/proc/" + std::to_string(daemon) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    std::error_code error;
    EXPECT_NE(std::filesystem::read_symlink(entry.path(), error).string(), held) << entry.path().string();
  }
  ComPtr<IVTSessionManager> second = NewManager();
  Open(second.Get());
  auto set = NewSet();
  AddCustomer(set.Get(), "From the first");
  EXPECT_EQ(Statuses(Send(set.Get()).Get()), std::vector<LONG>{0});
  set->ClearRequests();
  AddCustomer(set.Get(), "From the second");
  EXPECT_EQ(Statuses(Send(set.Get(), second.Get()).Get()), std::vector<LONG>{0});
  EXPECT_EQ(DaemonPid(), daemon) << "one daemon for both";

  // A daemon that stops answering: the call ends when its time is up.
  setenv("VTFC4_PROCESSOR_TIMEOUT_MS", "300", 1);
  ASSERT_EQ(kill(daemon, SIGSTOP), 0);
  ASSERT_TRUE(WaitFor(daemon, "Tt"));
  ComPtr<IMsgSetResponse> answer;
  ExpectStatus("stopped", second->DoRequests(set.Get(), answer.Put()), kDisconnected,
               "The out-of-process request processor did not answer in time during ProcessRequest.");
  unsetenv("VTFC4_PROCESSOR_TIMEOUT_MS");

  // A daemon that dies: the next call fails at once with a clear text, and keeps failing.
  ASSERT_EQ(kill(daemon, SIGKILL), 0);
  kill(daemon, SIGCONT);
  ASSERT_TRUE(WaitFor(daemon, "0ZX"));
  // Its threads go last: until then its socket may still take a connection.
  ASSERT_TRUE(Eventually([&] {
    const int connection = Connect(socket_);
    return connection < 0 || close(connection) != 0;
  }));
  ExpectStatus("dead", manager_->DoRequests(set.Get(), answer.Put()), kDisconnected,
               "The out-of-process request processor stopped during ProcessRequest.");
  ExpectStatus("still dead", manager_->DoRequests(set.Get(), answer.Put()), kDisconnected,
               "The out-of-process request processor is no longer connected.");

  // A new client starts a new daemon.
  ComPtr<IVTSessionManager> third = NewManager();
  ASSERT_EQ(third->OpenConnection(Wide("").Get(), Wide("third").Get()), S_OK) << TakeError();
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
  ASSERT_EQ(m->ToMsgSetRequest(Wide(request).Get(), set.Put()), S_OK) << TakeError();
  EXPECT_EQ(FieldText(set.Get(), &IMsgSetRequest::ToXMLString), request)
      << "read in the version and edition written in the text";
  ExpectStatus("no version", m->ToMsgSetRequest(Wide("<VTXML/>").Get(), set.Put()), kUnsupportedVersion,
               "Invalid Request.  Could not parse for vtXML version.");
  ExpectStatus("a version the edition lacks", m->ToMsgSetRequest(Wide("<?vtxml version=\"CA4.0\"?><VTXML/>").Get(), set.Put()),
               kUnsupportedVersion, "Unsupported vtXML version.");
  EXPECT_EQ(m->ToMsgSetRequest(Wide(request).Get(), nullptr), E_POINTER);

  const Bstr answer = Wide(
      "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<CustomerQueryRs requestID=\"0\" statusCode=\"1\" "
      "statusSeverity=\"Info\" statusMessage=\"none\"/>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n");
  ComPtr<IMsgSetResponse> response;
  ASSERT_EQ(m->ToMsgSetResponse(answer.Get(), Wide("US").Get(), 4, 0, response.Put()), S_OK) << TakeError();
  EXPECT_EQ(Statuses(response.Get()), std::vector<LONG>{1});
  ExpectStatus("UK", m->ToMsgSetResponse(answer.Get(), Wide("UK").Get(), 4, 0, response.Put()), kInvalidCountry,
               "The Country value is invalid.");
  ExpectStatus("US 5.0", m->ToMsgSetResponse(answer.Get(), Wide("US").Get(), 5, 0, response.Put()), kUnsupportedVersion,
               "Unsupported vtXML version.");
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
