#!/usr/bin/env python3
"""Adds a customer with a billing address, then lists every customer of the company file.

    customers.py COMPANY_FILE [NAME]

The request processor is found through the registry file (VTFC4_REGISTRY), where the library
and the sandbox's processor are registered (see docs/python.md).
"""
import sys

import vtfc4


def main(company_file, name="Ames Trading"):
    with vtfc4.desktop_session(company_file, "vtFC4 Python customers") as session:
        request = session.new_request()
        customer = request.AppendCustomerAddRq()
        customer.Name.SetValue(name)
        customer.Phone.SetValue("555-0100")
        customer.BillAddress.Addr1.SetValue("12 Quai Est")
        customer.BillAddress.City.SetValue("Lyon")
        (response,) = session.send(request)
        if response.StatusCode != 0:
            sys.exit("adding %s: status %d: %s" % (name, response.StatusCode, response.StatusMessage))
        print("Added %s as %s" % (name, response.Detail.ListID.GetValue()))

        request.ClearRequests()
        request.AppendCustomerQueryRq()
        (response,) = session.send(request)
        for record in response.Detail or []:
            fields = record.to_dict()
            address = fields.get("BillAddress", {})
            print("%-24s %-10s %s" % (fields["FullName"], fields.get("Phone", ""),
                                      ", ".join(v for v in (address.get("Addr1"), address.get("City")) if v)))


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: customers.py COMPANY_FILE [NAME]")
    main(*sys.argv[1:])
