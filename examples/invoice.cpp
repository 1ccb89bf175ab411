// Invoicing a customer and taking a payment: the records an invoice names are added, the
// invoice is written with two lines (one priced by its item, one by the amount given), part of
// it is paid, and the invoice is read back with what remains open.
//
//   invoice COMPANY_FILE
//
// The request processor is found through the registry file (VTFC4_REGISTRY), as for the
// quickstart; the company file should be a new one (./demo.sh shows how to make one).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vtfc4/vtfc4.h"

using vtfc4::Bstr;
using vtfc4::ComPtr;

namespace {

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; i < SysStringLen(text); ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

Bstr Wide(const std::string& text) {
  std::u16string wide(text.begin(), text.end());
  return Bstr(wide.c_str());
}

// Stops with the current error's description when a call fails.
void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  std::fprintf(stderr, "%s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr), Narrow(description.Get()).c_str());
  std::exit(1);
}

// Sets a text member, or a reference by the full name of the record it names.
template <class V>
void SetText(V* holder, HRESULT (V::*get)(IVTStringType**), const std::string& value) {
  ComPtr<IVTStringType> field;
  Check((holder->*get)(field.Put()), "get field");
  Check(field->SetValue(Wide(value).Get()), "set value");
}
template <class V>
void SetRef(V* holder, HRESULT (V::*get)(IVTBaseRef**), const std::string& fullName) {
  ComPtr<IVTBaseRef> ref;
  Check((holder->*get)(ref.Put()), "get reference");
  SetText(ref.Get(), &IVTBaseRef::get_FullName, fullName);
}
template <class V, class T, class N>
void SetNumber(V* holder, HRESULT (V::*get)(T**), N value) {
  ComPtr<T> field;
  Check((holder->*get)(field.Put()), "get field");
  Check(field->SetValue(value), "set value");
}

// A decimal member as the answer wrote it ("275.50"), or "(none)".
template <class V, class T>
std::string Figure(V* holder, HRESULT (V::*get)(T**)) {
  ComPtr<T> field;
  Bstr text;
  if (FAILED((holder->*get)(field.Put())) || !field || FAILED(field->GetAsString(text.Put()))) return "(none)";
  return Narrow(text.Get());
}

std::string Id(IVTIDType* id) {
  Bstr text;
  return id && SUCCEEDED(id->GetValue(text.Put())) ? Narrow(text.Get()) : "(none)";
}

// Sends a set and returns the detail of each response, stopping on an error status.
std::vector<ComPtr<IVTBase>> Send(IVTSessionManager* manager, IMsgSetRequest* request, const char* what) {
  ComPtr<IMsgSetResponse> answer;
  Check(manager->DoRequests(request, answer.Put()), what);
  ComPtr<IResponseList> list;
  answer->get_ResponseList(list.Put());
  LONG count = 0;
  list->get_Count(&count);
  std::vector<ComPtr<IVTBase>> details;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IResponse> response;
    list->GetAt(i, response.Put());
    LONG code = 0;
    Bstr message;
    response->get_StatusCode(&code);
    response->get_StatusMessage(message.Put());
    if (code != 0) {
      std::fprintf(stderr, "%s: status %d: %s\n", what, static_cast<int>(code), Narrow(message.Get()).c_str());
      std::exit(1);
    }
    ComPtr<IVTBase> detail;
    response->get_Detail(detail.Put());
    details.push_back(detail);
  }
  return details;
}

template <class I>
ComPtr<I> As(IVTBase* detail) {
  ComPtr<I> typed;
  if (!detail || FAILED(detail->QueryInterface(vtfc4::iid_of<I>(), typed.PutVoid()))) {
    std::fprintf(stderr, "unexpected answer\n");
    std::exit(1);
  }
  return typed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: invoice COMPANY_FILE\n");
    return 2;
  }
  ComPtr<IVTSessionManager> manager;
  {
    ComPtr<IClassFactory> factory;
    Check(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject");
    Check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), "CreateInstance");
  }
  Check(manager->OpenConnection(Wide("").Get(), Wide("vtFC4 invoice example").Get()), "OpenConnection");
  Check(manager->BeginSession(Wide(argv[1]).Get(), omDontCare), "BeginSession");
  ComPtr<IMsgSetRequest> request;
  Check(manager->CreateMsgSetRequest(Wide("US").Get(), 4, 0, request.Put()), "CreateMsgSetRequest");
  ComPtr<IAttributesRqSet> attributes;
  Check(request->get_Attributes(attributes.Put()), "Attributes");
  Check(attributes->put_OnError(roeStop), "OnError");

  // What the invoice names: an income account, the customer, and a service priced at 120.00.
  ComPtr<IAccountAdd> account;
  Check(request->AppendAccountAddRq(account.Put()), "AppendAccountAddRq");
  SetText(account.Get(), &IAccountAdd::get_Name, "Service Income");
  ComPtr<IVTENAccountTypeType> type;
  Check(account->get_AccountType(type.Put()), "AccountType");
  Check(type->SetValue(atIncome), "AccountType");
  ComPtr<ICustomerAdd> customer;
  Check(request->AppendCustomerAddRq(customer.Put()), "AppendCustomerAddRq");
  SetText(customer.Get(), &ICustomerAdd::get_Name, "Harbor Cafe");
  ComPtr<IItemServiceAdd> service;
  Check(request->AppendItemServiceAddRq(service.Put()), "AppendItemServiceAddRq");
  SetText(service.Get(), &IItemServiceAdd::get_Name, "Machine service");
  ComPtr<IORSalesPurchase> pricing;
  Check(service->get_ORSalesPurchase(pricing.Put()), "ORSalesPurchase");
  ComPtr<ISalesOrPurchase> sale;
  Check(pricing->get_SalesOrPurchase(sale.Put()), "SalesOrPurchase");
  ComPtr<IORPrice> price;
  Check(sale->get_ORPrice(price.Put()), "ORPrice");
  SetNumber(price.Get(), &IORPrice::get_Price, 120.0);
  SetRef(sale.Get(), &ISalesOrPurchase::get_AccountRef, "Service Income");
  Send(manager.Get(), request.Get(), "adding the customer and the service");

  // The invoice: two hours of service at the item's price, and a part at the amount given.
  Check(request->ClearRequests(), "ClearRequests");
  ComPtr<IInvoiceAdd> invoice;
  Check(request->AppendInvoiceAddRq(invoice.Put()), "AppendInvoiceAddRq");
  SetRef(invoice.Get(), &IInvoiceAdd::get_CustomerRef, "Harbor Cafe");
  SetText(invoice.Get(), &IInvoiceAdd::get_RefNumber, "INV-1001");
  ComPtr<IORInvoiceLineAddList> lines;
  Check(invoice->get_ORInvoiceLineAddList(lines.Put()), "lines");
  ComPtr<IORInvoiceLineAdd> entry;
  ComPtr<IInvoiceLineAdd> line;
  Check(lines->Append(entry.Put()), "Append");
  Check(entry->get_InvoiceLineAdd(line.Put()), "InvoiceLineAdd");
  SetRef(line.Get(), &IInvoiceLineAdd::get_ItemRef, "Machine service");
  SetNumber(line.Get(), &IInvoiceLineAdd::get_Quantity, 2.0);
  Check(lines->Append(entry.Put()), "Append");
  Check(entry->get_InvoiceLineAdd(line.Put()), "InvoiceLineAdd");
  SetText(line.Get(), &IInvoiceLineAdd::get_Desc, "Descaling kit");
  SetNumber(line.Get(), &IInvoiceLineAdd::get_Amount, 35.5);
  auto added = As<IInvoiceRet>(Send(manager.Get(), request.Get(), "adding the invoice").at(0).Get());
  ComPtr<IVTIDType> txnID;
  added->get_TxnID(txnID.Put());
  const std::string id = Id(txnID.Get());
  std::printf("Invoice INV-1001 (TxnID %s): Subtotal %s, BalanceRemaining %s\n", id.c_str(),
              Figure(added.Get(), &IInvoiceRet::get_Subtotal).c_str(),
              Figure(added.Get(), &IInvoiceRet::get_BalanceRemaining).c_str());

  // A payment of 200.00 applied to it.
  Check(request->ClearRequests(), "ClearRequests");
  ComPtr<IReceivePaymentAdd> payment;
  Check(request->AppendReceivePaymentAddRq(payment.Put()), "AppendReceivePaymentAddRq");
  SetRef(payment.Get(), &IReceivePaymentAdd::get_CustomerRef, "Harbor Cafe");
  SetNumber(payment.Get(), &IReceivePaymentAdd::get_TotalAmount, 200.0);
  ComPtr<IORApplyPayment> apply;
  Check(payment->get_ORApplyPayment(apply.Put()), "ORApplyPayment");
  ComPtr<IAppliedToTxnAddList> applications;
  Check(apply->get_AppliedToTxnAddList(applications.Put()), "AppliedToTxnAddList");
  ComPtr<IAppliedToTxnAdd> applied;
  Check(applications->Append(applied.Put()), "Append");
  ComPtr<IVTIDType> target;
  Check(applied->get_TxnID(target.Put()), "TxnID");
  Check(target->SetValue(Wide(id).Get()), "TxnID");
  SetNumber(applied.Get(), &IAppliedToTxnAdd::get_PaymentAmount, 200.0);
  auto paid = As<IReceivePaymentRet>(Send(manager.Get(), request.Get(), "receiving the payment").at(0).Get());
  std::printf("Payment of %s received, %s of it unused\n", Figure(paid.Get(), &IReceivePaymentRet::get_TotalAmount).c_str(),
              Figure(paid.Get(), &IReceivePaymentRet::get_UnusedPayment).c_str());

  // The invoice read back: what remains open.
  Check(request->ClearRequests(), "ClearRequests");
  ComPtr<IInvoiceQuery> query;
  Check(request->AppendInvoiceQueryRq(query.Put()), "AppendInvoiceQueryRq");
  ComPtr<IORInvoiceQuery> by;
  Check(query->get_ORInvoiceQuery(by.Put()), "ORInvoiceQuery");
  ComPtr<IBSTRList> ids;
  Check(by->get_TxnIDList(ids.Put()), "TxnIDList");
  Check(ids->Add(Wide(id).Get()), "TxnID");
  auto found = As<IInvoiceRetList>(Send(manager.Get(), request.Get(), "reading the invoice").at(0).Get());
  ComPtr<IInvoiceRet> again;
  Check(found->GetAt(0, again.Put()), "GetAt");
  ComPtr<IVTBoolType> isPaid;
  VARIANT_BOOL paidInFull = VARIANT_FALSE;
  if (SUCCEEDED(again->get_IsPaid(isPaid.Put())) && isPaid) isPaid->GetValue(&paidInFull);
  std::printf("Invoice INV-1001 now: AppliedAmount %s, BalanceRemaining %s, %s\n",
              Figure(again.Get(), &IInvoiceRet::get_AppliedAmount).c_str(),
              Figure(again.Get(), &IInvoiceRet::get_BalanceRemaining).c_str(), paidInFull ? "paid" : "open");

  Check(manager->EndSession(), "EndSession");
  Check(manager->CloseConnection(), "CloseConnection");
  return 0;
}
