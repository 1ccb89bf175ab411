#!/usr/bin/env python3
"""This year's profit and loss, printed as an aligned table: the column titles, then each row
of the report by its kind (text rows as headings, data rows indented, subtotal and total rows
under a rule), each cell in its column.

    profit_and_loss.py COMPANY_FILE
"""
import sys

import vtfc4
from vtfc4 import constants


def text(value):
    """A text member's value; "" when the document left it out."""
    return value.GetValue() if value is not None and value.IsSet() else ""


def cells(row):
    """The label (column 1) and the other cells by column of a data, subtotal or total row."""
    label, by_column = "", {}
    for cell in row.ColDataList or []:
        column = cell.colID.GetValue()
        value = text(cell.value)
        if column == 1:
            label = value
        else:
            by_column[column] = value
    return label, by_column


def main(company_file):
    with vtfc4.desktop_session(company_file, "vtFC4 Python profit and loss") as session:
        request = session.new_request()
        query = request.AppendGeneralSummaryReportQueryRq()
        query.GeneralSummaryReportType.SetValue(constants.gsrtProfitAndLossStandard)
        query.ORReportPeriod.ReportDateMacro.SetValue(constants.rdmThisYear)
        (response,) = session.send(request)
        if response.StatusCode != 0:
            sys.exit("status %d: %s" % (response.StatusCode, response.StatusMessage))
        report = response.Detail

        columns = []
        for column in report.ColDescList:
            titles = column.ColTitleList
            title = text(titles[0].value) if titles is not None and len(titles) else ""
            columns.append((column.colID.GetValue(), title))

        lines = []  # (label, cells, rule above)
        kinds = {constants.orrdDataRow: ("DataRow", False), constants.orrdSubtotalRow: ("SubtotalRow", True),
                 constants.orrdTotalRow: ("TotalRow", True)}
        data = report.ReportData
        for row in (data.ORReportDataList if data is not None else None) or []:
            if row.ortype == constants.orrdTextRow:
                lines.append((text(row.TextRow.value), {}, False))
            elif row.ortype in kinds:
                member, rule = kinds[row.ortype]
                label, by_column = cells(getattr(row, member))
                lines.append(("  " + label if member == "DataRow" else label, by_column, rule))

        width = max((len(label) for label, _, _ in lines), default=0)
        figures = [(cid, title) for cid, title in columns if cid != 1]
        print(text(report.ReportTitle))
        print(text(report.ReportSubtitle))
        print()
        print(" " * width + "".join("  %12s" % title for _, title in figures))
        for label, by_column, rule in lines:
            if rule:
                print(" " * width + "  ------------" * len(figures))
            print(label.ljust(width) + "".join("  %12s" % by_column.get(cid, "") for cid, _ in figures))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: profit_and_loss.py COMPANY_FILE")
    main(sys.argv[1])
