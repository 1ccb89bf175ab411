// Many clients on one company file at once: each client is a process of its own with its own
// session manager, in process or through the daemon (or, online, over HTTPS to the gateway
// that VTFC4_GATEWAY_URL names), sending the same round of requests again and again: adding
// customers and reading each back, or invoicing its customer, receiving the payment of the
// invoice and reading the invoice back.
// Used by the load benchmark (figures) and by a bounded test (nothing lost, nothing failed).
#ifndef VTFC4_BENCH_LOAD_RUN_H
#define VTFC4_BENCH_LOAD_RUN_H

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "src/com/text.h"
#include "src/session/online_session_manager.h"
#include "src/session/session_manager.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::load {

// What each client sends in a round, each request a message set of its own.
enum class Work {
  kCustomers,  // a CustomerAdd, then a CustomerQuery for it by name
  kInvoices,   // an InvoiceAdd for the client's customer, a ReceivePaymentAdd paying it, an InvoiceQuery for it
};

struct Plan {
  std::string company;
  Work work = Work::kCustomers;
  int clients = 8;
  int rounds = 25;
  int outOfProcessEvery = 2;  // every n-th client goes through the daemon (0: none)
  // Online: every client signs on to the gateway with this login and connection ticket.
  bool online = false;
  std::string login, connectionTicket;
};

// The invoices of the invoicing rounds: kInvoiceLines lines of kInvoiceItem, the n-th line of
// quantity n at kInvoiceRate, each invoice paid in full.
inline constexpr int kInvoiceLines = 5;
inline constexpr double kInvoiceRate = 12.5;
inline constexpr long long kInvoiceCents = 1250LL * kInvoiceLines * (kInvoiceLines + 1) / 2;
inline const char* const kInvoiceItem = "Consulting";
inline const char* const kIncomeAccount = "Services";
inline std::string CustomerOf(int client) { return "Customer " + std::to_string(client); }

inline int RequestsPerRound(Work work) { return work == Work::kInvoices ? 3 : 2; }

struct Outcome {
  long requests = 0;
  long failures = 0;
  double seconds = 0;
  std::vector<double> latencies;  // milliseconds, one per request
  std::string firstFailure;
};

namespace detail {

inline Bstr Text(const std::string& s) { return Bstr::Adopt(ToBstr(s)); }

// The only response of an answer: its status (-1 when there is none), message and detail.
struct Answer {
  LONG code = -1;
  std::string message;
  ComPtr<IVTBase> detail;
};

inline Answer OnlyResponse(IMsgSetResponse* answer) {
  Answer a;
  ComPtr<IResponseList> list;
  if (answer) answer->get_ResponseList(list.Put());
  ComPtr<IResponse> r;
  if (!list || FAILED(list->GetAt(0, r.Put()))) return a;
  r->get_StatusCode(&a.code);
  Bstr message;
  r->get_StatusMessage(message.Put());
  a.message = ToNarrow(message.Get());
  r->get_Detail(a.detail.Put());
  return a;
}

// Members of a request set through the typed interfaces: a text, a reference by full name, a
// number.
template <class V>
void SetText(V* holder, HRESULT (V::*get)(IVTStringType**), const std::string& value) {
  ComPtr<IVTStringType> field;
  if (SUCCEEDED((holder->*get)(field.Put()))) field->SetValue(Text(value).Get());
}
template <class V>
void SetRef(V* holder, HRESULT (V::*get)(IVTBaseRef**), const std::string& fullName) {
  ComPtr<IVTBaseRef> ref;
  if (SUCCEEDED((holder->*get)(ref.Put()))) SetText(ref.Get(), &IVTBaseRef::get_FullName, fullName);
}
template <class V, class T, class N>
void SetNumber(V* holder, HRESULT (V::*get)(T**), N value) {
  ComPtr<T> field;
  if (SUCCEEDED((holder->*get)(field.Put()))) field->SetValue(value);
}
template <class V, class T>
void SetDecimal(V* holder, HRESULT (V::*get)(T**), const std::string& text) {
  ComPtr<T> field;
  if (SUCCEEDED((holder->*get)(field.Put()))) field->SetAsString(Text(text).Get());
}
// A member of an answer as its text ("187.50"); "" when absent.
template <class V, class T>
std::string Decimal(V* holder, HRESULT (V::*get)(T**)) {
  ComPtr<T> field;
  Bstr text;
  if (FAILED((holder->*get)(field.Put())) || !field || FAILED(field->GetAsString(text.Put()))) return "";
  return ToNarrow(text.Get());
}
template <class I>
ComPtr<I> As(IVTBase* detail) {
  ComPtr<I> typed;
  if (detail) detail->QueryInterface(iid_of<I>(), typed.PutVoid());
  return typed;
}

// How a client reaches the company file.
enum class Road { kInProcess, kDaemon, kOnline };

inline Road RoadOf(const Plan& plan, int client) {
  if (plan.online) return Road::kOnline;
  return plan.outOfProcessEvery && client % plan.outOfProcessEvery == 0 ? Road::kDaemon : Road::kInProcess;
}

// A session manager with a session begun on the plan's company file; Error() names the step
// that failed.
class Session {
 public:
  Session(const Plan& plan, Road road) {
    if (FAILED((road == Road::kOnline ? CreateOnlineSessionManager : CreateSessionManager)(
            nullptr, IID_IVTSessionManager, m_.PutVoid()))) {
      error_ = "no manager";
      return;
    }
    if (road == Road::kOnline) {
      ComPtr<IVTOESessionManager> online;
      m_.As(&online);
      for (auto [get, value] : {std::pair{&IVTOESessionManager::get_AppID, std::string("load")},
                                std::pair{&IVTOESessionManager::get_AppVer, std::string("1")},
                                std::pair{&IVTOESessionManager::get_Language, std::string("English")},
                                std::pair{&IVTOESessionManager::get_ApplicationLogin, plan.login},
                                std::pair{&IVTOESessionManager::get_ConnectionTicket, plan.connectionTicket}}) {
        ComPtr<IVTStringType> field;
        if (FAILED((online.Get()->*get)(field.Put())) || FAILED(field->SetValue(Text(value).Get()))) {
          error_ = "no sign-on";
          return;
        }
      }
    } else if (road == Road::kDaemon) {
      m_->CommunicateOutOfProcess(VARIANT_TRUE);
    }
    if (FAILED(m_->OpenConnection(Text("").Get(), Text("load").Get())) ||
        FAILED(m_->BeginSession(Text(plan.company).Get(), omDontCare)))
      error_ = "no session";
  }
  ~Session() {
    if (!m_) return;
    m_->EndSession();
    m_->CloseConnection();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  IVTSessionManager* operator->() const { return m_.Get(); }
  const std::string& Error() const { return error_; }
  ComPtr<IMsgSetRequest> NewSet() const {
    ComPtr<IMsgSetRequest> set;
    m_->CreateMsgSetRequest(Text("US").Get(), 4, 0, set.Put());
    return set;
  }

 private:
  ComPtr<IVTSessionManager> m_;
  std::string error_;
};

// One client's round: the requests it sends in turn, and what each answer must hold.
class Round {
 public:
  virtual ~Round() = default;
  virtual int Requests() const = 0;
  // Writes the `request`-th request of round `round` into an empty message set.
  virtual void Write(IMsgSetRequest* set, int round, int request) = 0;
  // "" when the answer holds what it should, else what went wrong.
  virtual std::string Read(HRESULT sent, IMsgSetResponse* answer, int round, int request) = 0;
};

// A customer added, then read back by its name.
class CustomerRound : public Round {
 public:
  explicit CustomerRound(int client) : client_(client) {}
  int Requests() const override { return 2; }
  void Write(IMsgSetRequest* set, int round, int request) override {
    if (request == 1) {
      ComPtr<ICustomerQuery> q;
      set->AppendCustomerQueryRq(q.Put());
      ComPtr<IORCustomerListQuery> choice;
      q->get_ORCustomerListQuery(choice.Put());
      ComPtr<IBSTRList> names;
      choice->get_FullNameList(names.Put());
      names->Add(Text(Name(round)).Get());
    } else {
      ComPtr<ICustomerAdd> add;
      set->AppendCustomerAddRq(add.Put());
      SetText(add.Get(), &ICustomerAdd::get_Name, Name(round));
    }
  }
  std::string Read(HRESULT sent, IMsgSetResponse* answer, int round, int request) override {
    if (SUCCEEDED(sent) && OnlyResponse(answer).code == 0) return "";
    return (request == 1 ? "query of " : "add of ") + Name(round) + " failed";
  }

 private:
  std::string Name(int round) const {
    return "Client " + std::to_string(client_) + " customer " + std::to_string(round);
  }
  int client_;
};

// An invoice for the client's customer; a payment of what the invoice's answer leaves open,
// applied to it by its TxnID; the invoice read back by that TxnID, with its lines, paid.
class InvoiceRound : public Round {
 public:
  explicit InvoiceRound(int client) : customer_(CustomerOf(client)) {}
  int Requests() const override { return 3; }
  void Write(IMsgSetRequest* set, int, int request) override {
    if (request == 0) {
      txnID_.clear();
      open_.clear();
      ComPtr<IInvoiceAdd> add;
      set->AppendInvoiceAddRq(add.Put());
      SetRef(add.Get(), &IInvoiceAdd::get_CustomerRef, customer_);
      ComPtr<IORInvoiceLineAddList> lines;
      add->get_ORInvoiceLineAddList(lines.Put());
      for (int n = 1; n <= kInvoiceLines; ++n) {
        ComPtr<IORInvoiceLineAdd> entry;
        ComPtr<IInvoiceLineAdd> line;
        lines->Append(entry.Put());
        entry->get_InvoiceLineAdd(line.Put());
        SetRef(line.Get(), &IInvoiceLineAdd::get_ItemRef, kInvoiceItem);
        SetNumber(line.Get(), &IInvoiceLineAdd::get_Quantity, static_cast<double>(n));
        ComPtr<IORRate> rate;
        line->get_ORRate(rate.Put());
        SetNumber(rate.Get(), &IORRate::get_Rate, kInvoiceRate);
      }
    } else if (request == 1) {
      ComPtr<IReceivePaymentAdd> payment;
      set->AppendReceivePaymentAddRq(payment.Put());
      SetRef(payment.Get(), &IReceivePaymentAdd::get_CustomerRef, customer_);
      SetDecimal(payment.Get(), &IReceivePaymentAdd::get_TotalAmount, open_);
      ComPtr<IORApplyPayment> apply;
      payment->get_ORApplyPayment(apply.Put());
      ComPtr<IAppliedToTxnAddList> applications;
      apply->get_AppliedToTxnAddList(applications.Put());
      ComPtr<IAppliedToTxnAdd> applied;
      applications->Append(applied.Put());
      ComPtr<IVTIDType> target;
      applied->get_TxnID(target.Put());
      target->SetValue(Text(txnID_).Get());
      SetDecimal(applied.Get(), &IAppliedToTxnAdd::get_PaymentAmount, open_);
    } else {
      ComPtr<IInvoiceQuery> query;
      set->AppendInvoiceQueryRq(query.Put());
      ComPtr<IORInvoiceQuery> by;
      query->get_ORInvoiceQuery(by.Put());
      ComPtr<IBSTRList> ids;
      by->get_TxnIDList(ids.Put());
      ids->Add(Text(txnID_).Get());
      SetNumber(query.Get(), &IInvoiceQuery::get_IncludeLineItems, VARIANT_TRUE);
    }
  }
  std::string Read(HRESULT sent, IMsgSetResponse* answer, int round, int request) override {
    static const char* const kWhat[] = {"invoice", "payment", "query of the invoice"};
    const std::string what = std::string(kWhat[request]) + " of round " + std::to_string(round) + " failed";
    if (FAILED(sent)) return what + ": the message set was not answered";
    const Answer a = OnlyResponse(answer);
    if (a.code != 0) return what + ": status " + std::to_string(a.code) + ": " + a.message;
    if (request == 0) {
      const ComPtr<IInvoiceRet> invoice = As<IInvoiceRet>(a.detail.Get());
      if (!invoice) return what + ": no InvoiceRet";
      ComPtr<IVTIDType> id;
      Bstr text;
      if (SUCCEEDED(invoice->get_TxnID(id.Put())) && id && SUCCEEDED(id->GetValue(text.Put())))
        txnID_ = ToNarrow(text.Get());
      open_ = Decimal(invoice.Get(), &IInvoiceRet::get_BalanceRemaining);
      if (txnID_.empty() || open_.empty()) return what + ": the answer lacks the TxnID or the BalanceRemaining";
    } else if (request == 2) {
      const ComPtr<IInvoiceRetList> found = As<IInvoiceRetList>(a.detail.Get());
      ComPtr<IInvoiceRet> invoice;
      if (!found || FAILED(found->GetAt(0, invoice.Put()))) return what + ": no InvoiceRet";
      ComPtr<IORInvoiceLineRetList> lines;
      LONG count = 0;
      if (SUCCEEDED(invoice->get_ORInvoiceLineRetList(lines.Put())) && lines) lines->get_Count(&count);
      if (count != kInvoiceLines) return what + ": " + std::to_string(count) + " lines came back";
      ComPtr<IVTBoolType> isPaid;
      VARIANT_BOOL paid = VARIANT_FALSE;
      if (SUCCEEDED(invoice->get_IsPaid(isPaid.Put())) && isPaid) isPaid->GetValue(&paid);
      if (!paid) return what + ": the invoice is still open after its payment";
    }
    return "";
  }

 private:
  std::string customer_;
  std::string txnID_, open_;  // of this round's invoice, from the Add's answer
};

inline std::unique_ptr<Round> RoundOf(Work work, int client) {
  if (work == Work::kInvoices) return std::make_unique<InvoiceRound>(client);
  return std::make_unique<CustomerRound>(client);
}

// One client: its rounds, each request timed; writes its latencies and failures to `fd`. A
// round is sent whole; the client stops after the first round with a failure.
inline void RunClient(const Plan& plan, int client, int fd) {
  std::vector<double> latencies;
  long failures = 0;
  std::string failure;
  const auto fail = [&](const std::string& what) {
    if (failure.empty()) failure = "client " + std::to_string(client) + ": " + what;
    ++failures;
  };
  {
    const Session m(plan, RoadOf(plan, client));
    if (!m.Error().empty()) fail(m.Error());
    const std::unique_ptr<Round> work = RoundOf(plan.work, client);
    for (int i = 0; failure.empty() && i < plan.rounds; ++i) {
      for (int r = 0; r < work->Requests(); ++r) {
        const ComPtr<IMsgSetRequest> set = m.NewSet();
        work->Write(set.Get(), i, r);
        ComPtr<IMsgSetResponse> answer;
        const auto start = std::chrono::steady_clock::now();
        const HRESULT hr = m->DoRequests(set.Get(), answer.Put());
        latencies.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        const std::string wrong = work->Read(hr, answer.Get(), i, r);
        if (!wrong.empty()) fail(wrong);
      }
    }
  }
  // The report: failures, the first failure's text, then the latencies.
  const long count = static_cast<long>(latencies.size());
  const long length = static_cast<long>(failure.size());
  (void)!write(fd, &failures, sizeof failures);
  (void)!write(fd, &length, sizeof length);
  (void)!write(fd, failure.data(), failure.size());
  (void)!write(fd, &count, sizeof count);
  (void)!write(fd, latencies.data(), latencies.size() * sizeof(double));
}

inline bool ReadAll(int fd, void* out, size_t size) {
  auto* p = static_cast<char*>(out);
  while (size) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Runs `work(result)` in a child process, which hands back `result` and the text `work`
// returns ("" when it went well). The processors are loaded in the child only, so this process
// keeps no company file open and no session's thread when it forks its clients.
template <class Result, class F>
std::string InChild(Result& result, F work) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Result made{};
    const std::string error = work(made);
    (void)!write(fds[1], &made, sizeof made);
    (void)!write(fds[1], error.data(), error.size());
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string error;
  bool ok = pid > 0 && ReadAll(fds[0], &result, sizeof result);
  char buffer[512];
  for (ssize_t n; ok && (n = read(fds[0], buffer, sizeof buffer)) > 0;) error.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the process of the session did not finish";
  return error;
}

// Sends the requests `write` appends as one message set; "" when every one was answered with
// status 0, else the first failure.
template <class F>
std::string SendAll(const Session& m, F write) {
  const ComPtr<IMsgSetRequest> set = m.NewSet();
  write(set.Get());
  ComPtr<IMsgSetResponse> answer;
  if (FAILED(m->DoRequests(set.Get(), answer.Put()))) return "the message set was not answered";
  ComPtr<IResponseList> list;
  answer->get_ResponseList(list.Put());
  LONG count = 0;
  list->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IResponse> r;
    LONG code = -1;
    Bstr message;
    list->GetAt(i, r.Put());
    r->get_StatusCode(&code);
    r->get_StatusMessage(message.Put());
    if (code != 0) return "status " + std::to_string(code) + ": " + ToNarrow(message.Get());
  }
  return "";
}

}  // namespace detail

// Writes what the plan's rounds name into its company file before the clients start, in one
// message set: for invoicing, the income account, the service item and one customer per
// client. "" when it is in place, else what failed.
inline std::string Prepare(const Plan& plan) {
  if (plan.work != Work::kInvoices) return "";
  char unused = 0;
  return detail::InChild(unused, [&plan](char&) -> std::string {
    const detail::Session m(plan, detail::Road::kInProcess);
    if (!m.Error().empty()) return m.Error();
    return detail::SendAll(m, [&plan](IMsgSetRequest* set) {
      ComPtr<IAttributesRqSet> attributes;
      set->get_Attributes(attributes.Put());
      attributes->put_OnError(roeStop);
      ComPtr<IAccountAdd> account;
      set->AppendAccountAddRq(account.Put());
      detail::SetText(account.Get(), &IAccountAdd::get_Name, kIncomeAccount);
      detail::SetNumber(account.Get(), &IAccountAdd::get_AccountType, atIncome);
      ComPtr<IItemServiceAdd> service;
      set->AppendItemServiceAddRq(service.Put());
      detail::SetText(service.Get(), &IItemServiceAdd::get_Name, kInvoiceItem);
      ComPtr<IORSalesPurchase> pricing;
      service->get_ORSalesPurchase(pricing.Put());
      ComPtr<ISalesOrPurchase> sale;
      pricing->get_SalesOrPurchase(sale.Put());
      ComPtr<IORPrice> price;
      sale->get_ORPrice(price.Put());
      detail::SetNumber(price.Get(), &IORPrice::get_Price, kInvoiceRate);
      detail::SetRef(sale.Get(), &ISalesOrPurchase::get_AccountRef, kIncomeAccount);
      for (int c = 0; c < plan.clients; ++c) {
        ComPtr<ICustomerAdd> customer;
        set->AppendCustomerAddRq(customer.Put());
        detail::SetText(customer.Get(), &ICustomerAdd::get_Name, CustomerOf(c));
      }
    });
  });
}

// Runs every client at once, each in a process of its own, and gathers what they report.
inline Outcome Run(const Plan& plan) {
  Outcome outcome;
  std::vector<std::pair<pid_t, int>> children;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < plan.clients; ++c) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) break;
    const pid_t pid = fork();
    if (pid == 0) {
      close(pipeFds[0]);
      detail::RunClient(plan, c, pipeFds[1]);
      close(pipeFds[1]);
      _exit(0);
    }
    close(pipeFds[1]);
    children.emplace_back(pid, pipeFds[0]);
  }
  for (auto [pid, fd] : children) {
    long failures = 0, length = 0, count = 0;
    std::string failure;
    bool ok = detail::ReadAll(fd, &failures, sizeof failures) && detail::ReadAll(fd, &length, sizeof length);
    if (ok && length > 0) {
      failure.resize(static_cast<size_t>(length));
      ok = detail::ReadAll(fd, failure.data(), failure.size());
    }
    ok = ok && detail::ReadAll(fd, &count, sizeof count);
    std::vector<double> latencies(ok ? static_cast<size_t>(count) : 0);
    ok = ok && detail::ReadAll(fd, latencies.data(), latencies.size() * sizeof(double));
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++outcome.failures;
      if (outcome.firstFailure.empty()) outcome.firstFailure = "a client process did not report";
      continue;
    }
    outcome.failures += failures;
    if (outcome.firstFailure.empty()) outcome.firstFailure = failure;
    outcome.requests += count;
    outcome.latencies.insert(outcome.latencies.end(), latencies.begin(), latencies.end());
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::sort(outcome.latencies.begin(), outcome.latencies.end());
  return outcome;
}

inline double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p / 100 * static_cast<double>(sorted.size())))];
}

// The TOTAL row of the company's trial balance, in cents, as the library reads the report.
struct TrialBalance {
  long long debits = -1, credits = -1;
};

// Asks for the trial balance in one session in process; "" when it was read, else what failed.
inline std::string ReadTrialBalance(const Plan& plan, TrialBalance& out) {
  return detail::InChild(out, [&plan](TrialBalance& totals) -> std::string {
    const detail::Session m(plan, detail::Road::kInProcess);
    if (!m.Error().empty()) return m.Error();
    const ComPtr<IMsgSetRequest> set = m.NewSet();
    ComPtr<IGeneralSummaryReportQuery> query;
    set->AppendGeneralSummaryReportQueryRq(query.Put());
    detail::SetNumber(query.Get(), &IGeneralSummaryReportQuery::get_GeneralSummaryReportType, gsrtTrialBalance);
    ComPtr<IMsgSetResponse> answer;
    if (FAILED(m->DoRequests(set.Get(), answer.Put()))) return "the report's message set was not answered";
    const detail::Answer a = detail::OnlyResponse(answer.Get());
    const ComPtr<IReportRet> report = detail::As<IReportRet>(a.detail.Get());
    if (a.code != 0 || !report) return "no trial balance: status " + std::to_string(a.code) + ": " + a.message;
    // The columns titled Debit and Credit, then their cells in the TOTAL row.
    LONG debit = 0, credit = 0, count = 0;
    ComPtr<IColDescList> columns;
    if (SUCCEEDED(report->get_ColDescList(columns.Put())) && columns) columns->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
      ComPtr<IColDesc> column;
      ComPtr<IColTitleList> titles;
      ComPtr<IColTitle> title;
      ComPtr<IVTIntType> id;
      LONG number = 0;
      if (FAILED(columns->GetAt(i, column.Put())) || FAILED(column->get_ColTitleList(titles.Put())) || !titles ||
          FAILED(titles->GetAt(0, title.Put())) || FAILED(column->get_colID(id.Put())) || !id ||
          FAILED(id->GetValue(&number)))
        continue;
      ComPtr<IVTStringType> text;
      Bstr value;
      if (FAILED(title->get_value(text.Put())) || !text || FAILED(text->GetValue(value.Put()))) continue;
      const std::string name = ToNarrow(value.Get());
      if (name == "Debit") debit = number;
      if (name == "Credit") credit = number;
    }
    ComPtr<IReportData> data;
    ComPtr<IORReportDataList> rows;
    if (FAILED(report->get_ReportData(data.Put())) || !data || FAILED(data->get_ORReportDataList(rows.Put())) ||
        !rows)
      return "the trial balance has no rows";
    rows->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
      ComPtr<IORReportData> row;
      ComPtr<ITotalRow> total;
      ComPtr<IColDataList> cells;
      LONG cellCount = 0;
      if (FAILED(rows->GetAt(i, row.Put())) || FAILED(row->get_TotalRow(total.Put())) || !total ||
          FAILED(total->get_ColDataList(cells.Put())) || !cells)
        continue;
      cells->get_Count(&cellCount);
      for (LONG j = 0; j < cellCount; ++j) {
        ComPtr<IColData> cell;
        ComPtr<IVTIntType> id;
        ComPtr<IVTStringType> text;
        LONG number = 0;
        Bstr value;
        if (FAILED(cells->GetAt(j, cell.Put())) || FAILED(cell->get_colID(id.Put())) || !id ||
            FAILED(id->GetValue(&number)) || FAILED(cell->get_value(text.Put())) || !text ||
            FAILED(text->GetValue(value.Put())))
          continue;
        const long long cents = std::llround(std::strtod(ToNarrow(value.Get()).c_str(), nullptr) * 100);
        if (number == debit) totals.debits = cents;
        if (number == credit) totals.credits = cents;
      }
    }
    if (!debit || !credit || totals.debits < 0 || totals.credits < 0) return "the trial balance has no TOTAL row";
    return "";
  });
}

}  // namespace vtfc4::load

#endif  // VTFC4_BENCH_LOAD_RUN_H
