// Compiled as a client compiles it (C++17, every warning an error) and never run: instantiates
// the layer's templates over every kind of member, list and session it has.
#include "vtfc4/client.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>

namespace {

using namespace vtfc4;

template <class P, class G, class Expected>
constexpr bool Reads = std::is_same_v<decltype(get(std::declval<P>(), std::declval<G>())), Expected>;

// The type get() deduces from a getter, one of each kind.
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_Name), std::optional<std::string>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_ListID), std::optional<std::string>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_Sublevel), std::optional<LONG>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_IsActive), std::optional<bool>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_TimeCreated), std::optional<DateTime>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_BillAddress), ComPtr<IAddress>>);
static_assert(Reads<ICustomerRet*, decltype(&ICustomerRet::get_ParentRef), ComPtr<IVTBaseRef>>);
static_assert(Reads<ComPtr<IInvoiceRet>, decltype(&IInvoiceRet::get_Subtotal), std::optional<double>>);
static_assert(Reads<ComPtr<IInvoiceRet>, decltype(&IInvoiceRet::get_TxnDate), std::optional<Date>>);
static_assert(Reads<ComPtr<IInvoiceRet>, decltype(&IInvoiceRet::get_ExchangeRate), std::optional<float>>);
static_assert(Reads<ComPtr<IInvoiceRet>, decltype(&IInvoiceRet::get_ORInvoiceLineRetList), ComPtr<IORInvoiceLineRetList>>);
static_assert(Reads<IORInvoiceLineRet*, decltype(&IORInvoiceLineRet::get_ortype), ENORInvoiceLineRet>);
static_assert(Reads<IReportRet*, decltype(&IReportRet::get_ReportBasis), std::optional<ENReportBasis>>);
static_assert(Reads<ITimeTrackingAdd*, decltype(&ITimeTrackingAdd::get_Duration), std::optional<std::chrono::seconds>>);
static_assert(Reads<IResponse*, decltype(&IResponse::get_StatusMessage), std::optional<std::string>>);
static_assert(Reads<IResponse*, decltype(&IResponse::get_StatusCode), LONG>);

// What items() gives for each shape of list.
template <class L, class Entry>
constexpr bool Walks = std::is_same_v<typename ListRange<L>::value_type, Entry>;
static_assert(Walks<ICustomerRetList, ComPtr<ICustomerRet>>);
static_assert(Walks<IORInvoiceLineRetList, ComPtr<IORInvoiceLineRet>>);
static_assert(Walks<IInvoiceLineRetList, ComPtr<IInvoiceLineRet>>);
static_assert(Walks<IBSTRList, std::string>);
static_assert(Walks<IGUIDList, std::string>);
static_assert(Walks<IENAccountTypeList, ENAccountType>);
static_assert(Walks<IVTBaseRefList, ComPtr<IVTBaseRef>>);
static_assert(std::is_same_v<decltype(responses(std::declval<IMsgSetResponse*>()))::value_type, Response>);

}  // namespace

// Every setter overload and the sessions, instantiated.
void vtfc4ClientHeaderCheck(ICustomerAdd* customer, ITimeTrackingAdd* time, ICustomerListFilter* filter, IBSTRList* texts,
                            IENAccountTypeList* types, IReportRet* report, IMsgSetResponse* answer) {
  set(customer, &ICustomerAdd::get_Name, "Ames");
  set(customer, &ICustomerAdd::get_Name, std::string("Ames"));
  set(customer, &ICustomerAdd::get_Name, std::u16string(u"Ames"));
  set(customer, &ICustomerAdd::get_IsActive, true);
  set(customer, &ICustomerAdd::get_OpenBalance, 1.5);
  set(customer, &ICustomerAdd::get_OpenBalance, 2);
  set(customer, &ICustomerAdd::get_OpenBalance, "2.50");
  set(customer, &ICustomerAdd::get_OpenBalanceDate, Date{2024, 1, 2});
  set(customer, &ICustomerAdd::get_OpenBalanceDate, sys_days(days(0)));
  set(customer, &ICustomerAdd::get_JobStatus, jsAwarded);
  set(customer, &ICustomerAdd::get_JobStatus, "Awarded");
  set(time, &ITimeTrackingAdd::get_Duration, std::chrono::minutes(90));
  set(filter, &ICustomerListFilter::get_MaxReturned, 10u);
  set(filter, &ICustomerListFilter::get_FromModifiedDate, DateTime{{2024, 1, 2}, 3, 4, 5, std::chrono::minutes(60)});
  set(filter, &ICustomerListFilter::get_FromModifiedDate, Date{2024, 1, 2});
  add(texts, "x");
  add(types, atBank);
  add(types, "Bank");
  (void)presence(customer, &ICustomerAdd::get_Name);
  (void)ReportGrid::read(report);
  for (auto& r : responses(answer)) (void)r.as<ICustomerRet>();
  DesktopSession desktop("books.vtc", "check");
  OnlineSession online("login", "ticket", "1", "1.0");
  (void)online.send(desktop.newRequest());
}
