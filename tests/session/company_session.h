// What the tests of records through a real session share: a folder with a registry naming the
// sandbox's in-process processor, a new company file of either edition, a session on it, and
// one request at a time sent as a document of the company's edition, its answer read as the
// library's objects.
#ifndef VTFC4_TESTS_SESSION_COMPANY_SESSION_H
#define VTFC4_TESTS_SESSION_COMPANY_SESSION_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "processor/sandbox_engine.h"
#include "src/catalogue/engine.h"
#include "src/com/registry.h"
#include "src/session/session_manager.h"
#include "src/xml/tag_table.h"
#include "support.h"

namespace vtfc4 {

inline Bstr W(const std::string& text) { return Bstr::Adopt(ToBstr(text)); }

// The text of a value member of a record of the answer, by its element; "" when absent.
inline std::string Field(IVTBase* record, const std::string& element) {
  auto* r = dynamic_cast<CatalogueBase*>(record);
  if (!r) return "<not a record>";
  for (size_t i = 0; i < r->Info().memberCount; ++i) {
    if (TagName(r->Info().members[i].tag) != element) continue;
    ComPtr<IUnknown> value;
    if (FAILED(r->GetMemberCom(i, IID_IUnknown, value.PutVoid())) || !value) return "";
    std::string scratch;
    std::string_view text;
    dynamic_cast<ObjectRoot*>(value.Get())->AsValue()->XMLText(scratch, text);
    return std::string(text);
  }
  return "<no member " + element + ">";
}

// A list's entries are handed out only through its typed interface; the operation behind every
// typed GetAt is reached through a member pointer, the access a derived class may give.
struct Access : CatalogueListCore {
  static constexpr auto kGetAt = &Access::GetAtCom;
};

struct Reply {
  LONG code = -1;
  std::string message;
  std::vector<ComPtr<IVTBase>> records;  // the detail, or the entries of a list detail
  std::string xml;                       // the answer as the library writes it back
};

class CompanySession : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-company-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    setenv("VTFC4_REGISTRY", (folder_ + "/registry").c_str(), 1);
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
    Registry registry;
    std::string error;
    ASSERT_TRUE(registry.Load(error)) << error;
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2) + "\\InprocServer32", "", VTFC4_SANDBOX_MODULE);
    ASSERT_TRUE(registry.Save(error)) << error;
  }
  void TearDown() override {
    if (manager_) {
      manager_->EndSession();
      manager_->CloseConnection();
    }
    manager_.Reset();
    unsetenv("VTFC4_REGISTRY");
    unsetenv("VTFC4_COMMON_APPDATA");
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  void Open(const std::string& country) {
    const std::string company = folder_ + "/" + country + ".vtc";
    sandbox::NewCompany made;
    made.country = country;
    made.name = "Company " + country;
    std::string error;
    ASSERT_TRUE(sandbox::CompanyFile::Create(company, error, made)) << error;
    country_ = country;
    ASSERT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, manager_.PutVoid()), S_OK);
    ASSERT_EQ(manager_->OpenConnection(W("").Get(), W("company").Get()), S_OK) << TakeError();
    ASSERT_EQ(manager_->BeginSession(W(company).Get(), omDontCare), S_OK) << TakeError();
  }
  // One request, sent as a document of the company's edition, and its answer as objects.
  Reply Send(const std::string& request) {
    const std::string version = country_ == "CA" ? "CA3.0" : "4.0";
    const std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"" + version + "\"?>\r\n<VTXML>\r\n" +
                             "<VTXMLMsgsRq onError=\"stopOnError\">\r\n" + request + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
    Reply reply;
    ComPtr<IMsgSetResponse> answer;
    EXPECT_EQ(manager_->DoRequestsFromXMLString(W(text).Get(), answer.Put()), S_OK) << TakeError() << "\n" << text;
    if (!answer) return reply;
    Bstr xml;
    EXPECT_EQ(answer->ToXMLString(xml.Put()), S_OK);
    reply.xml = ToNarrow(xml.Get());
    ComPtr<IResponseList> list;
    answer->get_ResponseList(list.Put());
    ComPtr<IResponse> response;
    if (FAILED(list->GetAt(0, response.Put()))) return reply;
    response->get_StatusCode(&reply.code);
    Bstr message;
    response->get_StatusMessage(message.Put());
    reply.message = ToNarrow(message.Get());
    ComPtr<IVTBase> detail;
    response->get_Detail(detail.Put());
    if (!detail) return reply;
    if (auto* many = dynamic_cast<CatalogueListCore*>(detail.Get())) {
      for (LONG i = 0; i < static_cast<LONG>(many->Count()); ++i) reply.records.push_back(EntryOf(detail.Get(), i));
    } else {
      reply.records.push_back(detail);
    }
    return reply;
  }
  // The i-th entry of a list detail, through the list's own GetAt; an OR entry gives its chosen
  // record.
  static ComPtr<IVTBase> EntryOf(IVTBase* list, LONG i) {
    ComPtr<IVTBase> entry;
    auto* core = dynamic_cast<CatalogueListCore*>(list);
    (core->*Access::kGetAt)(i, IID_IVTBase, entry.PutVoid());
    if (auto* choice = dynamic_cast<CatalogueBase*>(entry.Get()); choice && choice->Info().choice == kORChoice) {
      int32_t chosen = -1;
      choice->OrType(&chosen);
      ComPtr<IVTBase> record;
      choice->GetMemberCom(static_cast<size_t>(chosen), IID_IVTBase, record.PutVoid());
      return record;
    }
    return entry;
  }
  static std::string TypeOf(IVTBase* record) {
    ComPtr<IObjectType> type;
    record->get_Type(type.Put());
    Bstr name;
    type->GetAsString(name.Put());
    return ToNarrow(name.Get());
  }

  std::string folder_, country_;
  ComPtr<IVTSessionManager> manager_;
};

}  // namespace vtfc4

#endif  // VTFC4_TESTS_SESSION_COMPANY_SESSION_H
