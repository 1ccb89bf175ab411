// The sandbox engine, driven with request documents shaped as the library writes them and
// checked through the response documents it answers.
#include "processor/sandbox_engine.h"
#include "processor/document.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <pugixml.hpp>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace vtfc4::sandbox {
namespace {

constexpr std::time_t kStart = 1733389200;  // 2024-12-05T09:00:00Z

// A request document with CR LF line ends and blanks around '=', as the library writes it.
std::string Document(const std::string& requests, const std::string& onError = "stopOnError",
                     const std::string& version = "4.0") {
  std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"" + version +
                     "\"?>\r\n<VTXML>\r\n" + "<VTXMLMsgsRq onError = \"" + onError + "\">\r\n" +
                     requests + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  for (std::size_t at = 0; (at = text.find("\n<", at)) != std::string::npos; at += 2)
    if (text[at - 1] != '\r') text.insert(at++, "\r");
  return text;
}

std::string AddCustomer(const std::string& inner, int id = 0) {
  return "<CustomerAddRq requestID = \"" + std::to_string(id) + "\">\n<CustomerAdd>\n" + inner +
         "</CustomerAdd>\n</CustomerAddRq>\n";
}

std::string QueryCustomers(const std::string& inner) {
  return "<CustomerQueryRq>\n" + inner + "</CustomerQueryRq>\n";
}

// A parsed response document.
struct Reply {
  pugi::xml_document doc;
  std::vector<pugi::xml_node> items;

  explicit Reply(const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    for (pugi::xml_node rs : doc.child("VTXML").child("VTXMLMsgsRs").children())
      items.push_back(rs);
  }
  int Code(std::size_t i) const { return items.at(i).attribute("statusCode").as_int(-1); }
  std::string Message(std::size_t i) const {
    return items.at(i).attribute("statusMessage").value();
  }
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (pugi::xml_node rs : items) codes.push_back(rs.attribute("statusCode").as_int(-1));
    return codes;
  }
  pugi::xml_node Ret(std::size_t i) const { return items.at(i).first_child(); }
  std::vector<std::string> FullNames(std::size_t i) const {
    std::vector<std::string> names;
    for (pugi::xml_node ret : items.at(i).children("CustomerRet"))
      names.push_back(ret.child_value("FullName"));
    return names;
  }
};

std::vector<std::string> ChildNames(pugi::xml_node node) {
  std::vector<std::string> names;
  for (pugi::xml_node c : node.children()) names.push_back(c.name());
  return names;
}

class SandboxEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-sandbox-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::string error;
    file_ = CompanyFile::Create(Path(), error);
    ASSERT_TRUE(file_) << error;
    file_->SetClock([this] { return now_; });
  }
  void TearDown() override {
    file_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string Path() const { return dir_ + "/company.vtc"; }
  Reply Run(const std::string& requests, const std::string& onError = "stopOnError",
            const std::string& version = "4.0") {
    return Reply(ProcessRequest(*file_, Document(requests, onError, version)));
  }
  // Adds a customer and answers its ListID.
  std::string AddId(const std::string& inner) {
    Reply r = Run(AddCustomer(inner));
    EXPECT_EQ(r.Code(0), 0) << r.Message(0);
    return r.Ret(0).child_value("ListID");
  }

  std::string dir_;
  std::time_t now_ = kStart;
  std::unique_ptr<CompanyFile> file_;
};

TEST_F(SandboxEngine, AddQueryModDeleteRoad) {
  Reply added = Run(AddCustomer(
      "<Name>Ames</Name>\n<BillAddress>\n<City>Lyon</City>\n</BillAddress>\n<Phone>555</Phone>\n"));
  ASSERT_EQ(added.Codes(), std::vector<int>{0});
  EXPECT_EQ(added.items[0].name(), std::string("CustomerAddRs"));
  EXPECT_STREQ(added.items[0].attribute("requestID").value(), "0");
  EXPECT_STREQ(added.items[0].attribute("statusSeverity").value(), "Info");
  pugi::xml_node ret = added.Ret(0);
  EXPECT_EQ(ChildNames(ret), (std::vector<std::string>{"ListID", "TimeCreated", "TimeModified",
                                                       "EditSequence", "Name", "FullName", "IsActive",
                                                       "Sublevel", "BillAddress", "Phone", "Balance",
                                                       "TotalBalance"}));
  std::string id = ret.child_value("ListID");
  EXPECT_EQ(id.substr(id.find('-')), "-1733389200");
  EXPECT_STREQ(ret.child_value("EditSequence"), "1733389200");
  EXPECT_STREQ(ret.child_value("IsActive"), "true");
  EXPECT_STREQ(ret.child("BillAddress").child_value("City"), "Lyon");

  now_ += 60;
  Reply modded = Run("<CustomerModRq requestID = \"7\">\n<CustomerMod>\n<ListID>" + id +
                     "</ListID>\n<EditSequence>1733389200</EditSequence>\n<Phone>556</Phone>\n"
                     "</CustomerMod>\n</CustomerModRq>\n");
  ASSERT_EQ(modded.Codes(), std::vector<int>{0}) << modded.Message(0);
  EXPECT_EQ(modded.items[0].name(), std::string("CustomerModRs"));
  EXPECT_STREQ(modded.Ret(0).child_value("Phone"), "556");
  EXPECT_STREQ(modded.Ret(0).child("BillAddress").child_value("City"), "Lyon");
  EXPECT_STREQ(modded.Ret(0).child_value("EditSequence"), "1733389260");
  EXPECT_STRNE(modded.Ret(0).child_value("TimeModified"), modded.Ret(0).child_value("TimeCreated"));

  Reply byId = Run(QueryCustomers("<ListID>" + id + "</ListID>\n"));
  EXPECT_EQ(byId.FullNames(0), std::vector<std::string>{"Ames"});
  Reply byName = Run(QueryCustomers("<FullName>AMES</FullName>\n"));
  EXPECT_STREQ(byName.Ret(0).child_value("Phone"), "556");

  Reply deleted =
      Run("<ListDelRq requestID = \"9\">\n<ListDelType>Customer</ListDelType>\n<ListID>" + id +
          "</ListID>\n</ListDelRq>\n");
  ASSERT_EQ(deleted.Codes(), std::vector<int>{0}) << deleted.Message(0);
  EXPECT_EQ(ChildNames(deleted.items[0]),
            (std::vector<std::string>{"ListDelType", "ListID", "TimeDeleted", "FullName"}));
  EXPECT_STREQ(deleted.items[0].child_value("FullName"), "Ames");
  Reply empty = Run(QueryCustomers(""));
  EXPECT_EQ(empty.Codes(), std::vector<int>{1});
  EXPECT_STREQ(empty.items[0].attribute("statusSeverity").value(), "Info");
  EXPECT_FALSE(empty.Ret(0));
}

TEST_F(SandboxEngine, ErrorStatuses) {
  std::string id = AddId("<Name>Ames</Name>\n");
  auto mod = [&](const std::string& listId, const std::string& seq, const std::string& rest) {
    return "<CustomerModRq>\n<CustomerMod>\n<ListID>" + listId + "</ListID>\n<EditSequence>" + seq +
           "</EditSequence>\n" + rest + "</CustomerMod>\n</CustomerModRq>\n";
  };
  struct Case {
    const char* what;
    std::string request;
    std::string version;
    int code;
    const char* messagePart;
  } cases[] = {
      {"duplicate name", AddCustomer("<Name>ames</Name>\n"), "4.0", 3100, "already in use"},
      {"stale EditSequence", mod(id, "17", "<Phone>1</Phone>\n"), "4.0", 3200, "out of date"},
      {"unknown ListID in a mod", mod("123-456", "1733389200", ""), "4.0", 3120, "123-456"},
      {"unknown ListID to delete",
       "<ListDelRq>\n<ListDelType>Customer</ListDelType>\n<ListID>1-1</ListID>\n</ListDelRq>\n",
       "4.0", 3120, "1-1"},
      {"unknown parent",
       AddCustomer("<Name>Job</Name>\n<ParentRef>\n<FullName>Nobody</FullName>\n</ParentRef>\n"),
       "4.0", 3140, "CustomerAdd/ParentRef \"Nobody\" names no Customer"},
      {"unknown reference",
       AddCustomer("<Name>Job</Name>\n<TermsRef>\n<FullName>Net 99</FullName>\n</TermsRef>\n"),
       "4.0", 3140, "CustomerAdd/TermsRef \"Net 99\" names no Terms"},
      {"a reference to a record of another list",
       AddCustomer("<Name>Job</Name>\n<CustomerTypeRef>\n<ListID>" + id + "</ListID>\n</CustomerTypeRef>\n"),
       "4.0", 3140, "names no CustomerType"},
      {"an enumeration's unknown word",
       AddCustomer("<Name>Job</Name>\n<JobStatus>Dreaming</JobStatus>\n"), "4.0", 3000, "Dreaming"},
      {"unknown ListID in a query",
       QueryCustomers("<ListID>" + id + "</ListID>\n<ListID>9-9</ListID>\n"), "4.0", 500, "9-9"},
      {"a report of what the sandbox does not keep",
       "<PayrollSummaryReportQueryRq requestID = \"0\">\n<PayrollSummaryReportType>PayrollSummary"
       "</PayrollSummaryReportType>\n</PayrollSummaryReportQueryRq>\n",
       "4.0", 3250, "keeps no payroll: it cannot compute the Payroll Summary report"},
      {"a window of the application",
       "<ListDisplayAddRq>\n<ListDisplayAddType>Customer</ListDisplayAddType>\n</ListDisplayAddRq>\n", "4.0",
       3250, "no windows"},
      {"deleting a record of another kind",
       "<ListDelRq>\n<ListDelType>Class</ListDelType>\n<ListID>" + id + "</ListID>\n</ListDelRq>\n", "4.0",
       3120, "no Class"},
      {"missing required Name", AddCustomer("<Phone>1</Phone>\n"), "4.0", 3000,
       "required element Name"},
      {"empty Name", AddCustomer("<Name/>\n"), "4.0", 3000, "empty"},
      {"colon in a Name", AddCustomer("<Name>A:B</Name>\n"), "4.0", 3000, "':'"},
      {"out of order", AddCustomer("<Phone>1</Phone>\n<Name>Z</Name>\n"), "4.0", 3000,
       "out of order"},
      {"unknown element", AddCustomer("<Name>Z</Name>\n<Colour>red</Colour>\n"), "4.0", 3000,
       "no element Colour"},
      {"twice", AddCustomer("<Name>Z</Name>\n<Phone>1</Phone>\n<Phone>2</Phone>\n"), "4.0", 3000,
       "twice"},
      {"newer than the version", mod(id, "1733389200", "<IsActive>false</IsActive>\n"), "2.0", 3000,
       "vtXML 2.0"},
      {"bad bool", AddCustomer("<Name>Z</Name>\n<IsActive>yes</IsActive>\n"), "4.0", 3000,
       "valid bool"},
      {"nested unknown element",
       AddCustomer("<Name>Z</Name>\n<BillAddress>\n<Town>x</Town>\n</BillAddress>\n"), "4.0", 3000,
       "CustomerAdd/BillAddress has no element Town"},
      {"two OR alternatives",
       QueryCustomers("<ListID>" + id + "</ListID>\n<MaxReturned>1</MaxReturned>\n"), "4.0", 3000,
       "more than one alternative"},
      {"bad match criterion",
       QueryCustomers("<NameFilter>\n<MatchCriterion>Sounds</MatchCriterion>\n"
                      "<Name>a</Name>\n</NameFilter>\n"),
       "4.0", 3000, "Sounds"},
      {"MaxReturned zero", QueryCustomers("<MaxReturned>0</MaxReturned>\n"), "4.0", 3000,
       "MaxReturned"},
  };
  for (const Case& c : cases) {
    Reply r = Run(c.request, "stopOnError", c.version);
    ASSERT_EQ(r.items.size(), 1u) << c.what;
    EXPECT_EQ(r.Code(0), c.code) << c.what << ": " << r.Message(0);
    EXPECT_STREQ(r.items[0].attribute("statusSeverity").value(), "Error") << c.what;
    EXPECT_NE(r.Message(0).find(c.messagePart), std::string::npos)
        << c.what << ": " << r.Message(0);
  }
  // None of them changed the record.
  Reply after = Run(QueryCustomers("<ActiveStatus>All</ActiveStatus>\n"));
  EXPECT_EQ(after.FullNames(0), std::vector<std::string>{"Ames"});
  EXPECT_STREQ(after.Ret(0).child_value("EditSequence"), "1733389200");
  EXPECT_FALSE(after.Ret(0).child("Phone"));
}

// The library writes a boolean as 1 or 0; the sandbox reads both forms and keeps true or false.
TEST_F(SandboxEngine, BooleansAsClientsWriteThem) {
  for (const auto& [written, kept] : {std::pair{"0", "false"}, std::pair{"1", "true"}, std::pair{"false", "false"}}) {
    const std::string name = std::string("Flag ") + written;
    Reply r = Run(AddCustomer("<Name>" + name + "</Name>\n<IsActive>" + written + "</IsActive>\n"));
    ASSERT_EQ(r.Code(0), 0) << r.Message(0);
    EXPECT_STREQ(r.Ret(0).child_value("IsActive"), kept) << written;
  }
  // What the books keep decides the filters: the inactive ones are not among the active.
  Reply active = Run(QueryCustomers("<ActiveStatus>ActiveOnly</ActiveStatus>\n"));
  const std::vector<std::string> names = active.FullNames(0);
  EXPECT_NE(std::find(names.begin(), names.end(), "Flag 1"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "Flag 0"), names.end());
}

TEST_F(SandboxEngine, ModMergesAndEmptyElementsClear) {
  std::string id = AddId(
      "<Name>Ames</Name>\n<BillAddress>\n<Addr1>1 Rue</Addr1>\n<City>Lyon</City>\n</BillAddress>\n"
      "<ShipAddress>\n<City>Nice</City>\n</ShipAddress>\n<Phone>555</Phone>\n<Fax>556</Fax>\n");
  Reply r = Run("<CustomerModRq>\n<CustomerMod>\n<ListID>" + id +
                "</ListID>\n<EditSequence>1733389200</EditSequence>\n<Name>Bates</Name>\n"
                "<BillAddress>\n<Addr2>Bat "
                "B</Addr2>\n<City></City>\n</BillAddress>\n<ShipAddress/>\n<Phone/>\n"
                "</CustomerMod>\n</CustomerModRq>\n");
  ASSERT_EQ(r.Codes(), std::vector<int>{0}) << r.Message(0);
  pugi::xml_node ret = r.Ret(0);
  EXPECT_STREQ(ret.child_value("FullName"), "Bates");
  EXPECT_EQ(ChildNames(ret.child("BillAddress")), (std::vector<std::string>{"Addr1", "Addr2"}));
  EXPECT_FALSE(ret.child("ShipAddress"));
  EXPECT_FALSE(ret.child("Phone"));
  EXPECT_STREQ(ret.child_value("Fax"), "556");
  EXPECT_STREQ(ret.child_value("EditSequence"),
               "1733389201");  // the clock stood still: still a new sequence
  // The merged record is what is stored, not only what was answered.
  Reply again = Run(QueryCustomers("<FullName>Bates</FullName>\n"));
  EXPECT_EQ(ChildNames(again.Ret(0).child("BillAddress")),
            (std::vector<std::string>{"Addr1", "Addr2"}));
  EXPECT_FALSE(again.Ret(0).child("Phone"));
  EXPECT_EQ(Run(QueryCustomers("<FullName>Ames</FullName>\n")).Code(0), 500);
}

// Records named by ListID or by FullName (without regard to case) come back in the order they
// were made; one unknown name fails the query.
TEST_F(SandboxEngine, QueryByIdsOrNames) {
  AddId("<Name>Cole</Name>\n");
  const std::string ames = AddId("<Name>Ames</Name>\n");
  const std::string bates = AddId("<Name>Bates</Name>\n");
  Reply byName = Run(QueryCustomers("<FullName>cole</FullName>\n<FullName>BATES</FullName>\n<FullName>ames</FullName>\n"));
  EXPECT_EQ(byName.FullNames(0), (std::vector<std::string>{"Cole", "Ames", "Bates"})) << byName.Message(0);
  Reply byId = Run(QueryCustomers("<ListID>" + bates + "</ListID>\n<ListID>" + ames + "</ListID>\n"));
  EXPECT_EQ(byId.FullNames(0), (std::vector<std::string>{"Ames", "Bates"})) << byId.Message(0);
  Reply unknown = Run(QueryCustomers("<FullName>Ames</FullName>\n<FullName>Dunn</FullName>\n"));
  EXPECT_EQ(unknown.Code(0), 500);
  EXPECT_NE(unknown.Message(0).find("\"Dunn\""), std::string::npos) << unknown.Message(0);
}

TEST_F(SandboxEngine, OnErrorPolicies) {
  struct Case {
    const char* policy;
    std::vector<int> codes;
    std::vector<std::string> stored;
  } cases[] = {
      {"stopOnError", {0, 3100}, {"Keep", "A"}},
      {"continueOnError", {0, 3100, 0}, {"Keep", "A", "B"}},
      {"rollbackOnError", {0, 3100}, {"Keep"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy);
    TearDown();
    SetUp();
    AddId("<Name>Keep</Name>\n");
    Reply r = Run(AddCustomer("<Name>A</Name>\n", 1) + AddCustomer("<Name>A</Name>\n", 2) +
                      AddCustomer("<Name>B</Name>\n", 3),
                  c.policy);
    EXPECT_EQ(r.Codes(), c.codes);
    for (std::size_t i = 0; i < r.items.size(); ++i)
      EXPECT_EQ(r.items[i].attribute("requestID").as_int(), static_cast<int>(i) + 1);
    EXPECT_EQ(Run(QueryCustomers("")).FullNames(0), c.stored);
  }
}

TEST_F(SandboxEngine, QueryFilters) {
  // Modified at kStart, +100, +200, +300; Beta is inactive.
  for (const char* record :
       {"<Name>Alpha</Name>\n", "<Name>Beta</Name>\n<IsActive>false</IsActive>\n",
        "<Name>Gamma</Name>\n", "<Name>alphabet</Name>\n"}) {
    AddId(record);
    now_ += 100;
  }
  struct Case {
    std::string filter;
    std::vector<std::string> names;
  } cases[] = {
      {"", {"Alpha", "Gamma", "alphabet"}},
      {"<ActiveStatus>InactiveOnly</ActiveStatus>\n", {"Beta"}},
      {"<ActiveStatus>All</ActiveStatus>\n", {"Alpha", "Beta", "Gamma", "alphabet"}},
      {"<MaxReturned>2</MaxReturned>\n<ActiveStatus>All</ActiveStatus>\n", {"Alpha", "Beta"}},
      {"<NameFilter>\n<MatchCriterion>StartsWith</MatchCriterion>\n"
       "<Name>ALPHA</Name>\n</NameFilter>\n",
       {"Alpha", "alphabet"}},
      {"<NameFilter>\n<MatchCriterion>Contains</MatchCriterion>\n<Name>MM</Name>\n</NameFilter>\n",
       {"Gamma"}},
      {"<ActiveStatus>All</ActiveStatus>\n<NameFilter>\n"
       "<MatchCriterion>EndsWith</MatchCriterion>\n<Name>a</Name>\n</NameFilter>\n",
       {"Alpha", "Beta", "Gamma"}},
      {"<ActiveStatus>All</ActiveStatus>\n<NameRangeFilter>\n"
       "<FromName>beta</FromName>\n<ToName>GAMMA</ToName>\n</NameRangeFilter>\n",
       {"Beta", "Gamma"}},
      {"<NameRangeFilter>\n<FromName>b</FromName>\n</NameRangeFilter>\n", {"Gamma"}},
      // Inclusive bounds, compared as instants whatever the offset.
      {"<ActiveStatus>All</ActiveStatus>\n"
       "<FromModifiedDate>2024-12-05T09:01:40+00:00</FromModifiedDate>\n"
       "<ToModifiedDate>2024-12-05T10:03:20+01:00</ToModifiedDate>\n",
       {"Beta", "Gamma"}},
      {"<FromModifiedDate>2024-12-05T09:05:01Z</FromModifiedDate>\n", {}},
      {"<ToModifiedDate>2024-12-05T04:01:40-05:00</ToModifiedDate>\n", {"Alpha"}},
  };
  for (const Case& c : cases) {
    Reply r = Run(QueryCustomers(c.filter));
    EXPECT_EQ(r.FullNames(0), c.names) << c.filter;
    EXPECT_EQ(r.Code(0), c.names.empty() ? 1 : 0) << c.filter;
  }
}

TEST_F(SandboxEngine, RetCountAndIncludeRetElement) {
  AddId("<Name>Alpha</Name>\n<Phone>1</Phone>\n");
  AddId("<Name>Beta</Name>\n");
  Reply counted = Run("<CustomerQueryRq metaData = \"MetaDataOnly\">\n</CustomerQueryRq>\n");
  EXPECT_STREQ(counted.items[0].attribute("retCount").value(), "2");
  EXPECT_FALSE(counted.Ret(0));
  Reply trimmed = Run(QueryCustomers("<IncludeRetElement>Name</IncludeRetElement>\n"
                                     "<IncludeRetElement>Phone</IncludeRetElement>\n"));
  ASSERT_EQ(trimmed.items[0].select_nodes("CustomerRet").size(), 2u);
  EXPECT_EQ(ChildNames(trimmed.Ret(0)), (std::vector<std::string>{"Name", "Phone"}));
}

TEST_F(SandboxEngine, ParentsGiveFullNameAndSublevel) {
  std::string ames = AddId("<Name>Ames</Name>\n");
  Reply job =
      Run(AddCustomer("<Name>Roof</Name>\n<ParentRef>\n<FullName>ames</FullName>\n</ParentRef>\n"));
  ASSERT_EQ(job.Code(0), 0) << job.Message(0);
  EXPECT_STREQ(job.Ret(0).child_value("FullName"), "Ames:Roof");
  EXPECT_STREQ(job.Ret(0).child_value("Sublevel"), "1");
  EXPECT_EQ(ChildNames(job.Ret(0).child("ParentRef")),
            (std::vector<std::string>{"ListID", "FullName"}));
  EXPECT_EQ(job.Ret(0).child("ParentRef").child_value("ListID"), ames);
  std::string roof = job.Ret(0).child_value("ListID");
  Reply phase = Run(AddCustomer("<Name>Tiles</Name>\n<ParentRef>\n<ListID>" + roof +
                                "</ListID>\n</ParentRef>\n"));
  EXPECT_STREQ(phase.Ret(0).child_value("FullName"), "Ames:Roof:Tiles");
  EXPECT_STREQ(phase.Ret(0).child_value("Sublevel"), "2");
  // The same Name may stand under another parent, not twice under one.
  EXPECT_EQ(Run(AddCustomer("<Name>Roof</Name>\n")).Code(0), 0);
  EXPECT_EQ(Run(AddCustomer("<Name>Roof</Name>\n<ParentRef>\n<ListID>" + ames +
                            "</ListID>\n</ParentRef>\n"))
                .Code(0),
            3100);

  auto modAmes = [&](const std::string& rest) {
    Reply current = Run(QueryCustomers("<ListID>" + ames + "</ListID>\n"));
    return Run("<CustomerModRq>\n<CustomerMod>\n<ListID>" + ames + "</ListID>\n<EditSequence>" +
               current.Ret(0).child_value("EditSequence") + "</EditSequence>\n" + rest +
               "</CustomerMod>\n</CustomerModRq>\n");
  };
  Reply cycle = modAmes("<ParentRef>\n<ListID>" + roof + "</ListID>\n</ParentRef>\n");
  EXPECT_EQ(cycle.Code(0), 3000) << cycle.Message(0);
  // Renaming a parent carries its sub-records along.
  ASSERT_EQ(modAmes("<Name>Bates</Name>\n").Code(0), 0);
  Reply all = Run(QueryCustomers(""));
  EXPECT_EQ(all.FullNames(0),
            (std::vector<std::string>{"Bates", "Bates:Roof", "Bates:Roof:Tiles", "Roof"}));
  // Moving a record under another renames and relevels its sub-records.
  std::string other = AddId("<Name>Other</Name>\n");
  ASSERT_EQ(modAmes("<ParentRef>\n<ListID>" + other + "</ListID>\n</ParentRef>\n").Code(0), 0);
  Reply moved = Run(QueryCustomers("<FullName>Other:Bates:Roof:Tiles</FullName>\n"));
  EXPECT_STREQ(moved.Ret(0).child_value("Sublevel"), "3");
  // A record with sub-records stays.
  Reply del = Run("<ListDelRq>\n<ListDelType>Customer</ListDelType>\n<ListID>" + roof +
                  "</ListID>\n</ListDelRq>\n");
  EXPECT_EQ(del.Code(0), 3170) << del.Message(0);
}

TEST_F(SandboxEngine, MalformedDocumentsThrowAndChangeNothing) {
  std::string add = AddCustomer("<Name>Ames</Name>\n");
  std::string cases[] = {
      "not xml at all",
      "",
      "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n" + add + "</VTXML>\r\n",
      "<?xml version=\"1.0\" ?>\r\n<Other>\r\n<VTXMLMsgsRq>\r\n" + add +
          "</VTXMLMsgsRq>\r\n</Other>\r\n",
      Document(add, "stopSometimes"),
      Document(add, "stopOnError", "9.9"),
      Document(add + "<Stray/>\n"),
      Document(add).substr(0, 120),
  };
  for (const std::string& text : cases)
    EXPECT_THROW(ProcessRequest(*file_, text), MalformedRequest) << text;
  EXPECT_EQ(Run(QueryCustomers("")).Code(0), 1);
}

TEST_F(SandboxEngine, TextIsEscapedBothWays) {
  Reply r =
      Run("<CustomerAddRq requestID = \"a&quot;b\">\n<CustomerAdd>\n<Name>Ames &amp; "
          "&lt;Sons&gt;</Name>\n"
          "<Notes>line 1&#13;\nline \"2\"</Notes>\n</CustomerAdd>\n</CustomerAddRq>\n");
  ASSERT_EQ(r.Code(0), 0) << r.Message(0);
  EXPECT_STREQ(r.items[0].attribute("requestID").value(), "a\"b");
  EXPECT_STREQ(r.Ret(0).child_value("Name"), "Ames & <Sons>");
  Reply q = Run(QueryCustomers("<FullName>Ames &amp; &lt;Sons&gt;</FullName>\n"));
  EXPECT_STREQ(q.Ret(0).child_value("Notes"), "line 1\r\nline \"2\"");
  Reply dup = Run(AddCustomer("<Name>Ames &amp; &lt;Sons&gt;</Name>\n"));
  EXPECT_NE(dup.Message(0).find("Ames & <Sons>"), std::string::npos);
  // Entities are never loaded: a reference to one stays text.
  std::string hostile = Document(AddCustomer("<Name>&xxe;</Name>\n"));
  hostile.insert(hostile.find("<VTXML>"),
                 "<!DOCTYPE VTXML [<!ENTITY xxe SYSTEM \"file:///etc/hostname\">]>\r\n");
  Reply entity(ProcessRequest(*file_, hostile));
  EXPECT_STREQ(entity.Ret(0).child_value("Name"), "&xxe;");
  // Elements are separated by CR LF and a request without requestID gets none back.
  std::string raw = ProcessRequest(
      *file_, Document(QueryCustomers("<ActiveStatus>InactiveOnly</ActiveStatus>\n")));
  EXPECT_EQ(
      raw.rfind(
          "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<CustomerQueryRs statusCode", 0),
      0u)
      << raw;
  for (std::size_t at = raw.find('\n'); at != std::string::npos; at = raw.find('\n', at + 1))
    EXPECT_EQ(raw[at - 1], '\r') << raw;
}

TEST_F(SandboxEngine, CompanyFileLifecycle) {
  AddId("<Name>Ames</Name>\n<BillAddress>\n<City>Lyon</City>\n</BillAddress>\n");
  std::string error;
  EXPECT_FALSE(CompanyFile::Create(Path(), error));
  EXPECT_NE(error.find("already exists"), std::string::npos) << error;
  EXPECT_FALSE(CompanyFile::Open(dir_ + "/missing.vtc", error));
  EXPECT_NE(error.find("no company file"), std::string::npos) << error;
  std::ofstream(dir_ + "/text.vtc")
      << "just some text, not a database at all, long enough to be read as a header";
  EXPECT_FALSE(CompanyFile::Open(dir_ + "/text.vtc", error));
  EXPECT_NE(error.find("not a sandbox company file"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/text.vtc.lock")) << "nothing left beside it";

  file_.reset();
  auto reopened = CompanyFile::Open(Path(), error);
  ASSERT_TRUE(reopened) << error;
  std::string listing = ListRecords(*reopened);
  for (const char* part : {"Customer", "\"Ames\"", "EditSequence 1733389200", "BillAddress/City: Lyon",
                           "Account", "\"Accounts Receivable\"", "Company (the company's)"})
    EXPECT_NE(listing.find(part), std::string::npos) << part << " in\n" << listing;
  // The ListID counter lives in the file: a second session goes on from it.
  Reply next(ProcessRequest(*reopened, Document(AddCustomer("<Name>Bates</Name>\n"))));
  Reply first(ProcessRequest(*reopened, Document(QueryCustomers("<FullName>Ames</FullName>\n"))));
  EXPECT_EQ(std::stoul(next.Ret(0).child_value("ListID"), nullptr, 16),
            std::stoul(first.Ret(0).child_value("ListID"), nullptr, 16) + 1);
  EXPECT_EQ(SupportedVersions(),
            (std::vector<std::string>{"1.0", "1.1", "2.0", "2.1", "3.0", "4.0"}));
}

}  // namespace
}  // namespace vtfc4::sandbox

namespace vtfc4::sandbox {
namespace {

// A company file deleted or replaced under an open session: the next set is refused and
// nothing is acknowledged that would be lost with the old file.
TEST_F(SandboxEngine, AFileDeletedOrReplacedUnderTheSessionIsRefused) {
  AddId("<Name>Before</Name>\n");
  std::string error;
  const std::string other = dir_ + "/other.vtc";
  ASSERT_TRUE(CompanyFile::Create(other, error)) << error;
  std::filesystem::rename(other, Path());
  EXPECT_THROW(ProcessRequest(*file_, Document(AddCustomer("<Name>Lost</Name>\n"))), CompanyFileGone);
  std::filesystem::remove(Path());
  try {
    ProcessRequest(*file_, Document(AddCustomer("<Name>Lost</Name>\n")));
    ADD_FAILURE() << "a deleted file took a request";
  } catch (const CompanyFileGone& e) {
    EXPECT_NE(std::string(e.what()).find("was deleted while the session was open"), std::string::npos) << e.what();
  }
}

// Whatever a client nests inside a value is refused at once, at any depth, without recursion.
TEST_F(SandboxEngine, DeeplyNestedValuesAreRefused) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  for (const std::string& inner : {"<Name>N</Name>\n<CustomerTypeRef>\n<ListID>" + deep + "</ListID>\n</CustomerTypeRef>\n",
                                   "<Name>" + deep + "</Name>\n"}) {
    Reply r = Run(AddCustomer(inner));
    EXPECT_EQ(r.Code(0), 3000) << r.Message(0);
    EXPECT_NE(r.Message(0).find("holds elements"), std::string::npos) << r.Message(0);
  }
}

// A set with message set identifiers in its envelope and the given requests.
std::string IdentifiedSet(const std::string& attributes, const std::string& requests) {
  std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq onError = "
                     "\"stopOnError\"" + attributes + ">\r\n" + requests + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  return text;
}

// The answer of every set that carried a newMessageSetID is kept; a status query gets it
// back with messageSetStatusCode 0, a clearing forgets it, and an unknown set answers 9001.
TEST_F(SandboxEngine, AnswersKeptForErrorRecovery) {
  const std::string sent = ProcessRequest(
      *file_, IdentifiedSet(" newMessageSetID = \"SET-1\"", AddCustomer("<Name>Ames</Name>\n")));
  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(sent.c_str()));
  const pugi::xml_node sentSet = answer.child("VTXML").child("VTXMLMsgsRs");
  EXPECT_STREQ(sentSet.attribute("newMessageSetID").value(), "SET-1");

  struct Step {
    const char* name;
    std::string attributes;
    const char* statusCode;  // of the answer's set
    bool answersAgain;       // the earlier responses come back
  } steps[] = {
      {"status", " oldMessageSetID = \"SET-1\" newMessageSetID = \"SET-1\"", "0", true},
      {"status again: nothing forgotten yet", " oldMessageSetID = \"SET-1\" newMessageSetID = \"SET-1\"", "0", true},
      {"another set's status", " oldMessageSetID = \"SET-2\" newMessageSetID = \"SET-2\"", "9001", false},
      {"clearing", " oldMessageSetID = \"SET-1\"", "", false},
      {"status after clearing", " oldMessageSetID = \"SET-1\" newMessageSetID = \"SET-1\"", "9001", false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const std::string text = ProcessRequest(*file_, IdentifiedSet(step.attributes, ""));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str())) << text;
    const pugi::xml_node set = doc.child("VTXML").child("VTXMLMsgsRs");
    ASSERT_TRUE(set) << text;
    EXPECT_STREQ(set.attribute("messageSetStatusCode").value(), step.statusCode);
    if (step.answersAgain) {
      // The same responses, byte for byte, as the set's answer had.
      std::ostringstream before, after;
      sentSet.first_child().print(before);
      set.first_child().print(after);
      EXPECT_EQ(after.str(), before.str());
    } else {
      EXPECT_FALSE(set.first_child()) << text;
    }
  }
  // A status query changes no record.
  Reply r = Run(QueryCustomers("<FullName>Ames</FullName>\n"));
  EXPECT_EQ(r.Code(0), 0);
}

}  // namespace
}  // namespace vtfc4::sandbox

namespace vtfc4::sandbox {
namespace {

// Private data: a definition names its owner, its type and the records it may sit on; a value
// needs its definition and a record it is assigned to, is checked against its type, and comes
// back in the record's answer when the query names its owner.
TEST_F(SandboxEngine, DataExtensions) {
  const std::string id = AddId("<Name>Ames</Name>\n");
  const std::string owner = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  auto define = [&](const std::string& name, const std::string& type, const std::string& on) {
    return Run("<DataExtDefAddRq>\n<DataExtDefAdd>\n<OwnerID>" + owner + "</OwnerID>\n<DataExtName>" + name +
               "</DataExtName>\n<DataExtType>" + type + "</DataExtType>\n<AssignToObject>" + on +
               "</AssignToObject>\n</DataExtDefAdd>\n</DataExtDefAddRq>\n");
  };
  auto set = [&](const std::string& op, const std::string& name, const std::string& value) {
    return Run("<DataExt" + op + "Rq>\n<DataExt" + op + ">\n<OwnerID>" + owner + "</OwnerID>\n<DataExtName>" + name +
               "</DataExtName>\n<ListDataExtType>Customer</ListDataExtType>\n<ListObjRef>\n<ListID>" +
               id + "</ListID>\n</ListObjRef>\n<DataExtValue>" + value + "</DataExtValue>\n</DataExt" +
               op + ">\n</DataExt" + op + "Rq>\n");
  };
  EXPECT_EQ(define("Colour", "STR255TYPE", "Customer").Code(0), 0);
  EXPECT_EQ(define("colour", "STR255TYPE", "Customer").Code(0), 3100) << "one name per owner";
  EXPECT_EQ(define("Visits", "INTTYPE", "Vendor").Code(0), 0);
  struct Case {
    const char* what;
    Reply reply;
    int code;
  } cases[] = {
      {"no definition", set("Add", "Size", "L"), 3120},
      {"not assigned to customers", set("Add", "Visits", "3"), 3000},
      {"added", set("Add", "Colour", "blue"), 0},
      {"added twice", set("Add", "Colour", "red"), 3100},
      {"modified", set("Mod", "Colour", "green"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reply.Code(0), c.code) << c.what << ": " << c.reply.Message(0);
  ASSERT_EQ(Run("<DataExtDefModRq>\n<DataExtDefMod>\n<OwnerID>" + owner +
                "</OwnerID>\n<DataExtName>Visits</DataExtName>\n<AssignToObject>Customer</AssignToObject>\n"
                "<RemoveFromObject>Vendor</RemoveFromObject>\n</DataExtDefMod>\n</DataExtDefModRq>\n")
                .Code(0),
            0);
  EXPECT_EQ(set("Add", "Visits", "three").Code(0), 3000) << "an INTTYPE takes whole numbers";
  EXPECT_EQ(set("Add", "Visits", "3").Code(0), 0);

  Reply plain = Run(QueryCustomers("<ListID>" + id + "</ListID>\n"));
  EXPECT_FALSE(plain.Ret(0).child("DataExtRet")) << "only when the query names the owner";
  Reply withData = Run(QueryCustomers("<ListID>" + id + "</ListID>\n<OwnerID>" + owner + "</OwnerID>\n"));
  std::vector<std::string> values;
  for (pugi::xml_node ext : withData.Ret(0).children("DataExtRet"))
    values.push_back(std::string(ext.child_value("DataExtName")) + "=" + ext.child_value("DataExtValue") + " " +
                     ext.child_value("DataExtType"));
  EXPECT_EQ(values, (std::vector<std::string>{"Colour=green STR255TYPE", "Visits=3 INTTYPE"}));
  Reply definitions = Run("<DataExtDefQueryRq>\n<AssignToObject>Vendor</AssignToObject>\n</DataExtDefQueryRq>\n");
  EXPECT_EQ(definitions.Codes(), std::vector<int>{1}) << "Visits was moved to customers";
  EXPECT_EQ(Run("<DataExtDefDelRq>\n<OwnerID>" + owner + "</OwnerID>\n<DataExtName>Colour</DataExtName>\n"
                "</DataExtDefDelRq>\n")
                .Code(0),
            0);
  Reply after = Run(QueryCustomers("<ListID>" + id + "</ListID>\n<OwnerID>" + owner + "</OwnerID>\n"));
  EXPECT_EQ(after.Ret(0).select_nodes("DataExtRet").size(), 1u) << "a deleted definition takes its values along";
}

// Filters of a family's own: a field compared with the values given, a yes/no field by its
// status, a reference the records name, and the total balance.
TEST_F(SandboxEngine, FiltersOfTheFamilies) {
  for (const char* rq : {"<CustomerAddRq>\n<CustomerAdd>\n<Name>Rich</Name>\n<OpenBalance>900.00</OpenBalance>\n"
                         "</CustomerAdd>\n</CustomerAddRq>\n",
                         "<CustomerAddRq>\n<CustomerAdd>\n<Name>Poor</Name>\n</CustomerAdd>\n</CustomerAddRq>\n",
                         "<ToDoAddRq>\n<ToDoAdd>\n<Notes>Call</Notes>\n</ToDoAdd>\n</ToDoAddRq>\n",
                         "<ItemServiceAddRq>\n<ItemServiceAdd>\n<Name>Labour</Name>\n<SalesOrPurchase>\n<AccountRef>\n"
                         "<FullName>Uncategorized Income</FullName>\n</AccountRef>\n</SalesOrPurchase>\n"
                         "</ItemServiceAdd>\n</ItemServiceAddRq>\n",
                         "<PriceLevelAddRq>\n<PriceLevelAdd>\n<Name>Trade</Name>\n<PriceLevelPerItem>\n<ItemRef>\n"
                         "<FullName>Labour</FullName>\n</ItemRef>\n<CustomPrice>10.00</CustomPrice>\n"
                         "</PriceLevelPerItem>\n</PriceLevelAdd>\n</PriceLevelAddRq>\n",
                         "<PriceLevelAddRq>\n<PriceLevelAdd>\n<Name>Retail</Name>\n</PriceLevelAdd>\n</PriceLevelAddRq>\n"}) {
    Reply r = Run(rq);
    ASSERT_EQ(r.Code(0), 0) << rq << r.Message(0);
  }
  auto names = [&](const std::string& request, const char* ret) {
    Reply r = Run(request);
    std::vector<std::string> found;
    for (pugi::xml_node n : r.items.at(0).children(ret))
      found.push_back(n.child("FullName") ? n.child_value("FullName") : n.child_value("Name"));
    if (found.empty()) found.push_back(r.Message(0));
    return found;
  };
  EXPECT_EQ(names(QueryCustomers("<TotalBalanceFilter>\n<Operator>GreaterThan</Operator>\n<Amount>100.00</Amount>\n"
                                 "</TotalBalanceFilter>\n"),
                  "CustomerRet"),
            std::vector<std::string>{"Rich"});
  EXPECT_EQ(names("<PriceLevelQueryRq>\n<ItemRef>\n<FullName>Labour</FullName>\n</ItemRef>\n</PriceLevelQueryRq>\n",
                  "PriceLevelRet"),
            std::vector<std::string>{"Trade"});
  // An answer names the per-item prices as its own records, with the item's present name.
  Reply trade = Run("<PriceLevelQueryRq>\n<FullName>Trade</FullName>\n</PriceLevelQueryRq>\n");
  EXPECT_STREQ(trade.Ret(0).child_value("PriceLevelType"), "PerItem");
  EXPECT_STREQ(trade.Ret(0).child("PriceLevelPerItemRet").child("ItemRef").child_value("FullName"), "Labour");
  EXPECT_EQ(Run("<ToDoQueryRq>\n<DoneStatus>DoneOnly</DoneStatus>\n</ToDoQueryRq>\n").Code(0), 1);
  EXPECT_EQ(Run("<ToDoQueryRq>\n<DoneStatus>NotDoneOnly</DoneStatus>\n</ToDoQueryRq>\n").Code(0), 0);
  EXPECT_EQ(names("<AccountQueryRq>\n<AccountType>Equity</AccountType>\n</AccountQueryRq>\n", "AccountRet"),
            (std::vector<std::string>{"Opening Balance Equity", "Retained Earnings"}));
  // The item family answers each record as its own kind, and shares one name space.
  Reply items = Run("<ItemQueryRq>\n<NameFilter>\n<MatchCriterion>StartsWith</MatchCriterion>\n<Name>lab</Name>\n"
                    "</NameFilter>\n</ItemQueryRq>\n");
  EXPECT_EQ(ChildNames(items.items.at(0)), std::vector<std::string>{"ItemServiceRet"});
  EXPECT_EQ(Run("<ItemSubtotalAddRq>\n<ItemSubtotalAdd>\n<Name>LABOUR</Name>\n</ItemSubtotalAdd>\n"
                "</ItemSubtotalAddRq>\n")
                .Code(0),
            3100);
}

// A file made by the sandbox's first layout opens, moves to the present one step by step, and
// keeps what it held: its records, their ListIDs, EditSequences and opening balances (now
// posted), the kept answers.
TEST_F(SandboxEngine, AFileOfTheFirstLayoutIsBroughtForward) {
  file_.reset();
  std::filesystem::remove(Path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  const char* layout =
      "CREATE TABLE sandbox_company (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE records (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, list_id TEXT NOT NULL "
      "UNIQUE, name TEXT NOT NULL, full_name TEXT NOT NULL COLLATE NOCASE, parent_id TEXT NOT NULL, sublevel INTEGER "
      "NOT NULL, edit_sequence TEXT NOT NULL, time_created TEXT NOT NULL, time_modified TEXT NOT NULL, modified_at "
      "INTEGER NOT NULL, is_active INTEGER NOT NULL, fields TEXT NOT NULL, UNIQUE (kind, full_name));"
      "CREATE TABLE message_sets (id TEXT PRIMARY KEY, answer TEXT NOT NULL);"
      "INSERT INTO sandbox_company VALUES ('format', 'vtfc4 sandbox company file'), ('format_version', '1'),"
      " ('next_list_number', '2147483651');"
      "INSERT INTO records VALUES (1, 'Customer', '80000001-1', 'Ames', 'Ames', '', 0, '17', 't', 't', 1, 1,"
      " '<Fields><Phone>555</Phone><OpenBalance>50.00</OpenBalance></Fields>');"
      "INSERT INTO records VALUES (2, 'Customer', '80000002-1', 'Roof', 'Ames:Roof', '80000001-1', 1, '18', 't', 't',"
      " 1, 1, '<Fields/>');"
      "INSERT INTO message_sets VALUES ('kept', '<CustomerAddRs statusCode=\"0\"/>\r\n');";
  ASSERT_EQ(sqlite3_exec(db, layout, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  std::string error;
  file_ = CompanyFile::Open(Path(), error);
  ASSERT_TRUE(file_) << error;
  file_->SetClock([this] { return now_; });
  Reply roof = Run(QueryCustomers("<FullName>Ames:Roof</FullName>\n"));
  ASSERT_EQ(roof.Code(0), 0) << roof.Message(0);
  EXPECT_STREQ(roof.Ret(0).child_value("ListID"), "80000002-1");
  EXPECT_STREQ(roof.Ret(0).child_value("EditSequence"), "18");
  EXPECT_STREQ(roof.Ret(0).child("ParentRef").child_value("FullName"), "Ames");
  const Reply ames = Run(QueryCustomers("<FullName>Ames</FullName>\n"));
  EXPECT_STREQ(ames.Ret(0).child_value("Phone"), "555");
  // The opening balance it held is posted to the ledger, against Opening Balance Equity.
  EXPECT_STREQ(ames.Ret(0).child_value("Balance"), "50.00");
  EXPECT_STREQ(Run("<AccountQueryRq>\n<FullName>Accounts Receivable</FullName>\n</AccountQueryRq>\n").Ret(0).child_value("Balance"),
               "50.00");
  EXPECT_STREQ(Run("<AccountQueryRq>\n<FullName>Opening Balance Equity</FullName>\n</AccountQueryRq>\n").Ret(0).child_value("Balance"),
               "50.00");
  // The family's name space and the starting records are there; the counter went on.
  EXPECT_EQ(Run("<VendorAddRq>\n<VendorAdd>\n<Name>ames</Name>\n</VendorAdd>\n</VendorAddRq>\n").Code(0), 3100);
  EXPECT_EQ(Run("<AccountQueryRq>\n<FullName>Accounts Receivable</FullName>\n</AccountQueryRq>\n").Code(0), 0);
  EXPECT_GT(std::stoul(Run(AddCustomer("<Name>New</Name>\n")).Ret(0).child_value("ListID"), nullptr, 16), 0x80000002u);
  Reply kept(ProcessRequest(*file_, IdentifiedSet(" oldMessageSetID = \"kept\" newMessageSetID = \"kept\"", "")));
  EXPECT_EQ(ChildNames(kept.doc.child("VTXML").child("VTXMLMsgsRs")), std::vector<std::string>{"CustomerAddRs"});
  file_.reset();
  file_ = CompanyFile::Open(Path(), error);
  ASSERT_TRUE(file_) << "and opens again: " << error;
}

// The online gateway names the version it read from the DOCTYPE: that version holds rather than
// the instruction's, the sign-on ahead of the message set is left to the gateway, and a
// version the company's edition does not know is refused as the instruction's would be.
TEST_F(SandboxEngine, TheCarrierNamesTheVersion) {
  const std::string body = "<CustomerAddRq>\r\n<CustomerAdd>\r\n<Name>Ames</Name>\r\n<Notes>n</Notes>\r\n"
                           "</CustomerAdd>\r\n</CustomerAddRq>\r\n";
  auto online = [&](const std::string& pi) {
    return "<?xml version=\"1.0\" ?>\r\n" + pi + "<VTXML>\r\n<SignonMsgsRq>\r\n<SignonTicketRq>\r\n"
           "<SessionTicket>T</SessionTicket>\r\n</SignonTicketRq>\r\n</SignonMsgsRq>\r\n<VTXMLMsgsRq>\r\n" +
           body + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  };
  struct Case {
    std::string pi, version;
    int code;  // -1: the document is refused
  };
  const std::vector<Case> cases = {
      {"", "2.0", 3000},  // Notes came with 3.0
      {"<?vtxml version=\"4.0\"?>\r\n", "2.0", 3000},
      {"<?vtxml version=\"2.0\"?>\r\n", "4.0", 0},
      {"", "9.9", -1},
      {"", "CA3.0", -1},
  };
  for (const Case& c : cases) {
    Access access;
    access.version = c.version;
    if (c.code < 0) {
      EXPECT_THROW(ProcessRequest(*file_, online(c.pi), access), MalformedRequest) << c.version;
      continue;
    }
    Reply r(ProcessRequest(*file_, online(c.pi), access));
    ASSERT_EQ(r.Codes().size(), 1u) << c.version;
    EXPECT_EQ(r.Code(0), c.code) << c.version << ": " << r.Message(0);
  }
  EXPECT_EQ(Run(QueryCustomers("<FullName>Ames</FullName>\n")).Code(0), 0) << "booked under 4.0 only";
}

// The dates each date macro stands for, on a Wednesday in the middle of a quarter (local time,
// noon), with the calendar year and with a fiscal year starting in April.
TEST(DateMacros, EveryMacroOnAKnownDay) {
  std::tm noon{};
  noon.tm_year = 2024 - 1900, noon.tm_mon = 10, noon.tm_mday = 13, noon.tm_hour = 12, noon.tm_isdst = -1;
  const std::time_t wednesday = std::mktime(&noon);  // 2024-11-13
  struct Case {
    const char* macro;
    const char* from;
    const char* to;
  };
  const Case cases[] = {
      {"All", "", ""},
      {"Today", "2024-11-13", "2024-11-13"},
      {"Yesterday", "2024-11-12", "2024-11-12"},
      {"ThisWeek", "2024-11-11", "2024-11-17"},
      {"ThisWeekToDate", "2024-11-11", "2024-11-13"},
      {"LastWeek", "2024-11-04", "2024-11-10"},
      {"LastWeekToDate", "2024-11-04", "2024-11-10"},
      {"NextWeek", "2024-11-18", "2024-11-24"},
      {"NextFourWeeks", "2024-11-18", "2024-12-15"},
      {"ThisMonth", "2024-11-01", "2024-11-30"},
      {"ThisMonthToDate", "2024-11-01", "2024-11-13"},
      {"LastMonth", "2024-10-01", "2024-10-31"},
      {"LastMonthToDate", "2024-10-01", "2024-10-31"},
      {"NextMonth", "2024-12-01", "2024-12-31"},
      {"ThisQuarter", "2024-10-01", "2024-12-31"},
      {"ThisQuarterToDate", "2024-10-01", "2024-11-13"},
      {"LastQuarter", "2024-07-01", "2024-09-30"},
      {"NextQuarter", "2025-01-01", "2025-03-31"},
      {"ThisYear", "2024-01-01", "2024-12-31"},
      {"ThisYearToDate", "2024-01-01", "2024-11-13"},
      {"LastYear", "2023-01-01", "2023-12-31"},
      {"NextYear", "2025-01-01", "2025-12-31"},
      {"ThisCalendarQuarter", "2024-10-01", "2024-12-31"},
      {"ThisFiscalQuarter", "2024-10-01", "2024-12-31"},
      {"LastFiscalQuarter", "2024-07-01", "2024-09-30"},
      {"ThisFiscalYear", "2024-04-01", "2025-03-31"},
      {"ThisFiscalYearToDate", "2024-04-01", "2024-11-13"},
      {"LastFiscalYear", "2023-04-01", "2024-03-31"},
      {"NextFiscalYear", "2025-04-01", "2026-03-31"},
  };
  for (const Case& c : cases) {
    const auto [from, to] = MacroDates(c.macro, wednesday, 4);
    EXPECT_EQ(from, c.from) << c.macro;
    EXPECT_EQ(to, c.to) << c.macro;
  }
  // A fiscal year that began in the month itself, and one that begins next month.
  EXPECT_EQ(MacroDates("ThisFiscalYear", wednesday, 11).first, "2024-11-01");
  EXPECT_EQ(MacroDates("ThisFiscalYear", wednesday, 12).first, "2023-12-01");
}

}  // namespace
}  // namespace vtfc4::sandbox
