#!/usr/bin/env python3
"""Invoices a customer and takes a payment: the records the invoice names are added, the
invoice is written with two lines (one priced by its item, one by the amount given), part of it
is paid, and the invoice is read back with what remains open.

    invoice.py COMPANY_FILE

The company file should be a new one; the registry file (VTFC4_REGISTRY) names the processor.
"""
import sys

import vtfc4
from vtfc4 import constants


def send(session, request, what):
    """The details of the responses, stopping on an error status."""
    details = []
    for response in session.send(request):
        if response.StatusCode != 0:
            sys.exit("%s: status %d: %s" % (what, response.StatusCode, response.StatusMessage))
        details.append(response.Detail)
    return details


def main(company_file):
    with vtfc4.desktop_session(company_file, "vtFC4 Python invoice") as session:
        request = session.new_request()
        request.Attributes.OnError = constants.roeStop

        # What the invoice names: an income account, the customer, a service priced at 120.00.
        account = request.AppendAccountAddRq()
        account.Name.SetValue("Service Income")
        account.AccountType.SetValue(constants.atIncome)
        request.AppendCustomerAddRq().Name.SetValue("Harbor Cafe")
        service = request.AppendItemServiceAddRq()
        service.Name.SetValue("Machine service")
        sale = service.ORSalesPurchase.SalesOrPurchase
        sale.ORPrice.Price.SetValue(120.0)
        sale.AccountRef.FullName.SetValue("Service Income")
        send(session, request, "adding the customer and the service")

        # The invoice: two hours of the service at the item's price, a part at the amount given.
        request.ClearRequests()
        invoice = request.AppendInvoiceAddRq()
        invoice.CustomerRef.FullName.SetValue("Harbor Cafe")
        invoice.RefNumber.SetValue("INV-1001")
        line = invoice.ORInvoiceLineAddList.Append().InvoiceLineAdd
        line.ItemRef.FullName.SetValue("Machine service")
        line.Quantity.SetValue(2.0)
        line = invoice.ORInvoiceLineAddList.Append().InvoiceLineAdd
        line.Desc.SetValue("Descaling kit")
        line.Amount.SetValue(35.5)
        (added,) = send(session, request, "adding the invoice")
        txn_id = added.TxnID.GetValue()
        print("Invoice INV-1001 (TxnID %s): Subtotal %s, BalanceRemaining %s"
              % (txn_id, added.Subtotal.GetAsString(), added.BalanceRemaining.GetAsString()))

        # A payment of 200.00 applied to it.
        request.ClearRequests()
        payment = request.AppendReceivePaymentAddRq()
        payment.CustomerRef.FullName.SetValue("Harbor Cafe")
        payment.TotalAmount.SetValue(200.0)
        applied = payment.ORApplyPayment.AppliedToTxnAddList.Append()
        applied.TxnID.SetValue(txn_id)
        applied.PaymentAmount.SetValue(200.0)
        (paid,) = send(session, request, "receiving the payment")
        print("Payment of %s received, %s of it unused"
              % (paid.TotalAmount.GetAsString(), paid.UnusedPayment.GetAsString()))

        # The invoice read back: what remains open.
        request.ClearRequests()
        request.AppendInvoiceQueryRq().ORInvoiceQuery.TxnIDList.Add(txn_id)
        (found,) = send(session, request, "reading the invoice")
        again = found[0]
        print("Invoice INV-1001 now: AppliedAmount %s, BalanceRemaining %s, %s"
              % (again.AppliedAmount.GetAsString(), again.BalanceRemaining.GetAsString(),
                 "paid" if again.IsPaid and again.IsPaid.GetValue() else "open"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: invoice.py COMPANY_FILE")
    main(sys.argv[1])
