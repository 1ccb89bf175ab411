// Sessions through the layer against the sandbox's in-process processor and a new company file:
// text beyond ASCII added and read back, an invoice's lines walked, a report's grid, and the
// session ended by its destructor however the scope is left.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "client/client_fixture.h"

namespace vtfc4 {
namespace {

const std::string kBeyondAscii = "Zo\xC3\xAB \xC3\x85str\xC3\xB6m \xE2\x80\x94 \xE6\x9D\xB1\xE4\xBA\xAC";  // Zoë Åström — 東京

// How many of this process's descriptors are open on `path` (or its journal files beside it).
int OpenOn(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (const dirent* entry = readdir(dir)) {
    char target[PATH_MAX];
    const ssize_t n = readlink(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(path, 0) == 0) ++count;
  }
  closedir(dir);
  return count;
}

// The first response's record as I, failing the test when the response is not a success.
template <class I>
ComPtr<I> Only(const ComPtr<IMsgSetResponse>& answer) {
  auto all = responses(answer);
  EXPECT_EQ(all.size(), 1);
  if (all.empty()) return ComPtr<I>();
  EXPECT_EQ(all.at(0).statusCode(), 0) << all.at(0).statusMessage();
  return all.at(0).as<I>();
}

class ClientSessions : public ClientSession {};

TEST_F(ClientSessions, TextBeyondAsciiAddedAndReadBack) {
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  DesktopSession session(company_, "client tests");
  EXPECT_EQ(session.companyFile(), company_);
  auto rq = session.newRequest();
  auto adding = append(rq, &IMsgSetRequest::AppendCustomerAddRq);
  set(adding, &ICustomerAdd::get_Name, kBeyondAscii);
  set(adding, &ICustomerAdd::get_Phone, "555-0100");
  auto address = get(adding, &ICustomerAdd::get_BillAddress);
  set(address, &IAddress::get_Addr1, "1-1 \xE4\xB8\xB8\xE3\x81\xAE\xE5\x86\x85");  // 丸の内
  set(address, &IAddress::get_City, "\xE6\x9D\xB1\xE4\xBA\xAC");
  auto added = Only<ICustomerRet>(session.send(rq));
  ASSERT_TRUE(added);
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252") << "the layer restores the client's code page";
  const std::string id = get(added, &ICustomerRet::get_ListID).value_or("");
  ASSERT_FALSE(id.empty());

  auto again = session.newRequest();
  auto query = append(again, &IMsgSetRequest::AppendCustomerQueryRq);
  add(get(get(query, &ICustomerQuery::get_ORCustomerListQuery), &IORCustomerListQuery::get_ListIDList), id);
  auto found = Only<ICustomerRetList>(session.send(again));
  const auto customers = items(found);
  ASSERT_EQ(customers.size(), 1);
  const auto& customer = customers.at(0);
  EXPECT_EQ(get(customer, &ICustomerRet::get_Name), kBeyondAscii);
  EXPECT_EQ(get(customer, &ICustomerRet::get_FullName), kBeyondAscii);
  EXPECT_EQ(get(get(customer, &ICustomerRet::get_BillAddress), &IAddress::get_City), "\xE6\x9D\xB1\xE4\xBA\xAC");
  EXPECT_EQ(get(get(customer, &ICustomerRet::get_BillAddress), &IAddress::get_Addr1),
            "1-1 \xE4\xB8\xB8\xE3\x81\xAE\xE5\x86\x85");
  EXPECT_EQ(get(customer, &ICustomerRet::get_Fax), std::nullopt);
  const auto created = get(customer, &ICustomerRet::get_TimeCreated);
  ASSERT_TRUE(created);
  EXPECT_TRUE(created->valid());
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");

  // A name the application already has: a failing status, not an exception.
  auto twice = session.newRequest();
  set(append(twice, &IMsgSetRequest::AppendCustomerAddRq), &ICustomerAdd::get_Name, kBeyondAscii);
  auto refused = responses(session.send(twice));
  ASSERT_EQ(refused.size(), 1);
  EXPECT_NE(refused.at(0).statusCode(), 0);
  EXPECT_EQ(refused.at(0).statusSeverity(), "Error");
  EXPECT_NE(refused.at(0).statusMessage().find(kBeyondAscii), std::string::npos) << refused.at(0).statusMessage();
  EXPECT_FALSE(refused.at(0).detail());
}

TEST_F(ClientSessions, AnInvoicesLinesAndTheReportOfItsIncome) {
  DesktopSession session(company_, "client tests");
  auto rq = session.newRequest();
  check(get(rq, &IMsgSetRequest::get_Attributes)->put_OnError(roeStop));
  auto account = append(rq, &IMsgSetRequest::AppendAccountAddRq);
  set(account, &IAccountAdd::get_Name, "Service Income");
  set(account, &IAccountAdd::get_AccountType, atIncome);
  set(append(rq, &IMsgSetRequest::AppendCustomerAddRq), &ICustomerAdd::get_Name, "Harbor Cafe");
  auto service = append(rq, &IMsgSetRequest::AppendItemServiceAddRq);
  set(service, &IItemServiceAdd::get_Name, "Machine service");
  auto sale = get(get(service, &IItemServiceAdd::get_ORSalesPurchase), &IORSalesPurchase::get_SalesOrPurchase);
  set(get(sale, &ISalesOrPurchase::get_ORPrice), &IORPrice::get_Price, 120);
  set(get(sale, &ISalesOrPurchase::get_AccountRef), &IVTBaseRef::get_FullName, "Service Income");
  for (auto& r : responses(session.send(rq))) EXPECT_EQ(r.statusCode(), 0) << r.type() << ": " << r.statusMessage();

  check(rq->ClearRequests());
  auto invoice = append(rq, &IMsgSetRequest::AppendInvoiceAddRq);
  set(get(invoice, &IInvoiceAdd::get_CustomerRef), &IVTBaseRef::get_FullName, "Harbor Cafe");
  set(invoice, &IInvoiceAdd::get_TxnDate, Date{2024, 6, 14});
  auto lines = get(invoice, &IInvoiceAdd::get_ORInvoiceLineAddList);
  auto first = get(append(lines, &IORInvoiceLineAddList::Append), &IORInvoiceLineAdd::get_InvoiceLineAdd);
  set(get(first, &IInvoiceLineAdd::get_ItemRef), &IVTBaseRef::get_FullName, "Machine service");
  set(first, &IInvoiceLineAdd::get_Quantity, 2);
  auto second = get(append(lines, &IORInvoiceLineAddList::Append), &IORInvoiceLineAdd::get_InvoiceLineAdd);
  set(second, &IInvoiceLineAdd::get_Desc, "Descaling kit \xE2\x80\x94 Gr\xC3\xB6\xC3\x9F" "e 2");
  set(second, &IInvoiceLineAdd::get_Amount, "35.50");
  auto added = Only<IInvoiceRet>(session.send(rq));
  ASSERT_TRUE(added);
  EXPECT_EQ(get(added, &IInvoiceRet::get_Subtotal), 275.5);
  EXPECT_EQ(get(added, &IInvoiceRet::get_TxnDate), (Date{2024, 6, 14}));

  // The answer to the add holds the invoice as the application wrote it, with its lines.
  std::vector<std::string> described;
  for (auto& entry : items(get(added, &IInvoiceRet::get_ORInvoiceLineRetList))) {
    ASSERT_EQ(choice(entry), orilrInvoiceLineRet);
    auto line = get(entry, &IORInvoiceLineRet::get_InvoiceLineRet);
    described.push_back(get(line, &IInvoiceLineRet::get_Desc).value_or(
                            get(get(line, &IInvoiceLineRet::get_ItemRef), &IVTBaseRef::get_FullName).value_or("?")) +
                        " = " + std::to_string(get(line, &IInvoiceLineRet::get_Amount).value_or(-1)));
  }
  ASSERT_EQ(described.size(), 2u);
  EXPECT_NE(described[0].find("= 240.000000"), std::string::npos) << described[0];
  EXPECT_EQ(described[1], "Descaling kit \xE2\x80\x94 Gr\xC3\xB6\xC3\x9F" "e 2 = 35.500000");

  // The year's profit and loss, as a grid.
  check(rq->ClearRequests());
  auto report = append(rq, &IMsgSetRequest::AppendGeneralSummaryReportQueryRq);
  set(report, &IGeneralSummaryReportQuery::get_GeneralSummaryReportType, gsrtProfitAndLossStandard);
  auto period = get(report, &IGeneralSummaryReportQuery::get_ORReportPeriod);
  set(get(period, &IORReportPeriod::get_ReportPeriod), &IReportPeriod::get_FromReportDate, Date{2024, 1, 1});
  set(get(period, &IORReportPeriod::get_ReportPeriod), &IReportPeriod::get_ToReportDate, Date{2024, 12, 31});
  const ReportGrid grid = ReportGrid::read(Only<IReportRet>(session.send(rq)));
  EXPECT_EQ(grid.title, "Profit And Loss Standard");
  ASSERT_GE(grid.columns.size(), 2u);
  const LONG label = grid.columns.front().id;
  const LONG total = grid.columns.back().id;
  ASSERT_TRUE(grid.column(total));
  EXPECT_EQ(grid.column(total)->titles.back(), "TOTAL");
  EXPECT_EQ(grid.column(999), nullptr);
  struct Expected {
    ReportGrid::RowKind kind;
    const char* figure;
  };
  const std::map<std::string, Expected> expected = {
      {"Service Income", {ReportGrid::RowKind::data, "240.00"}},
      {"Uncategorized Income", {ReportGrid::RowKind::data, "35.50"}},
      {"Total Income", {ReportGrid::RowKind::subtotal, "275.50"}},
      {"Net Income", {ReportGrid::RowKind::total, "275.50"}},
  };
  size_t matched = 0;
  bool heading = false;
  for (const ReportGrid::Row& row : grid.rows) {
    if (row.kind == ReportGrid::RowKind::text) heading = heading || row.label == "Income";
    const auto it = expected.find(row.label);
    if (it == expected.end()) continue;
    SCOPED_TRACE(row.label);
    ++matched;
    EXPECT_EQ(row.kind, it->second.kind);
    ASSERT_TRUE(row.cell(total));
    EXPECT_EQ(*row.cell(total), it->second.figure);
    ASSERT_TRUE(row.cell(label));
    EXPECT_EQ(*row.cell(label), row.label);
  }
  EXPECT_EQ(matched, expected.size());
  EXPECT_TRUE(heading) << "the text row that heads the income";
}

TEST_F(ClientSessions, TheDestructorEndsTheSessionWhileAnExceptionUnwinds) {
  ComPtr<IVTSessionManager> kept;
  bool reached = false;
  try {
    DesktopSession session(company_, "client tests", omSingleUser);
    kept = ComPtr<IVTSessionManager>(session.manager());
    // While the session lives the company file is open and the manager names it.
    EXPECT_GT(OpenOn(company_), 0);
    Bstr name;
    EXPECT_EQ(kept->GetCurrentCompanyFileName(name.Put()), S_OK);
    EXPECT_EQ(toUtf8(name), company_);
    auto rq = session.newRequest();
    set(append(rq, &IMsgSetRequest::AppendCustomerAddRq), &ICustomerAdd::get_Name, std::string(60, 'n'));
    reached = true;
  } catch (const Error& e) {
    EXPECT_EQ(e.hr(), VTFC4_HR(0x80040304));
  }
  EXPECT_FALSE(reached);
  ASSERT_TRUE(kept) << "the manager outlives the session object";
  // The session is over (not merely the object gone: the manager is still held here) and the
  // connection closed, so the company file is no longer open.
  EXPECT_EQ(OpenOn(company_), 0);
  Bstr name;
  EXPECT_TRUE(FAILED(kept->GetCurrentCompanyFileName(name.Put())));
  ComPtr<IErrorInfo> info;
  GetErrorInfo(0, info.Put());
  // A new single-user session on the same file is had at once.
  DesktopSession next(company_, "client tests", omSingleUser);
  EXPECT_EQ(next.companyFile(), company_);
}

TEST_F(ClientSessions, SessionsThatCannotBeHad) {
  const Error missing = Thrown([&] { DesktopSession(folder_ + "/nothing.vtc", "client tests"); });
  EXPECT_TRUE(FAILED(missing.hr()));
  EXPECT_NE(missing.description().find("nothing.vtc"), std::string::npos) << missing.description();
  EXPECT_NE(std::string(missing.what()).find("BeginSession"), std::string::npos) << missing.what();
  // Through the registry the library itself must be registered; here it is not.
  EXPECT_EQ(Thrown([&] { DesktopSession(company_, "client tests", omDontCare, Activation::registered); }).hr(),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ClientSessions, AnOnlineSessionSignsOnWithWhatItWasGiven) {
  setenv("VTFC4_GATEWAY_URL", "https://127.0.0.1:1", 1);
  OnlineSession session("alice", "TGT-1234", "4711", "1.0");
  EXPECT_EQ(get(session.onlineManager(), &IVTOESessionManager::get_ApplicationLogin), "alice");
  EXPECT_EQ(get(session.onlineManager(), &IVTOESessionManager::get_ConnectionTicket), "TGT-1234");
  EXPECT_EQ(get(session.onlineManager(), &IVTOESessionManager::get_AppID), "4711");
  EXPECT_EQ(get(session.onlineManager(), &IVTOESessionManager::get_AppVer), "1.0");
  EXPECT_EQ(get(session.onlineManager(), &IVTOESessionManager::get_Language), "English");
  EXPECT_EQ(session.sessionTicket(), std::nullopt);
  // Nothing listens there: the transport's failure is thrown with its text.
  auto rq = session.newRequest();
  set(append(rq, &IMsgSetRequest::AppendCustomerAddRq), &ICustomerAdd::get_Name, "Ames");
  const Error refused = Thrown([&] { session.send(rq); });
  EXPECT_EQ(static_cast<uint32_t>(refused.hr()) & 0xFFFF0000u, 0x80070000u) << refused.what();
  EXPECT_FALSE(refused.description().empty());
  unsetenv("VTFC4_GATEWAY_URL");
}

}  // namespace
}  // namespace vtfc4
