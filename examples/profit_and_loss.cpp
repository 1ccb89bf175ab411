// A report read column by column and row by row: this year's profit and loss, printed as an
// aligned text table.
//
//   profit_and_loss COMPANY_FILE
//
// The request processor is found through the registry file (VTFC4_REGISTRY), as for the
// quickstart.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
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

void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  std::fprintf(stderr, "%s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr), Narrow(description.Get()).c_str());
  std::exit(1);
}

// A text or number member of the grid; "" when the document left it out.
template <class V>
std::string Text(V* holder, HRESULT (V::*get)(IVTStringType**)) {
  ComPtr<IVTStringType> value;
  Bstr text;
  if (FAILED((holder->*get)(value.Put())) || !value || FAILED(value->GetValue(text.Put()))) return "";
  return Narrow(text.Get());
}
template <class V>
LONG Number(V* holder, HRESULT (V::*get)(IVTIntType**)) {
  ComPtr<IVTIntType> value;
  LONG n = 0;
  if (SUCCEEDED((holder->*get)(value.Put())) && value) value->GetValue(&n);
  return n;
}

// One printed line: its text in the first column, the cells of the others by colID.
struct Line {
  std::string label;
  std::map<LONG, std::string> cells;
  bool rule = false;  // a subtotal or total: a rule above its figures
};

// The cells of a data, subtotal or total row.
template <class R>
Line Cells(R* row) {
  Line line;
  ComPtr<IColDataList> cells;
  Check(row->get_ColDataList(cells.Put()), "ColDataList");
  LONG count = 0;
  if (cells) cells->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IColData> cell;
    Check(cells->GetAt(i, cell.Put()), "ColData");
    const LONG column = Number(cell.Get(), &IColData::get_colID);
    const std::string value = Text(cell.Get(), &IColData::get_value);
    if (column == 1)
      line.label = value;
    else
      line.cells[column] = value;
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: profit_and_loss COMPANY_FILE\n");
    return 2;
  }
  ComPtr<IVTSessionManager> manager;
  {
    ComPtr<IClassFactory> factory;
    Check(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject");
    Check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), "CreateInstance");
  }
  Check(manager->OpenConnection(Wide("").Get(), Wide("vtFC4 profit and loss").Get()), "OpenConnection");
  Check(manager->BeginSession(Wide(argv[1]).Get(), omDontCare), "BeginSession");

  ComPtr<IMsgSetRequest> request;
  Check(manager->CreateMsgSetRequest(Wide("US").Get(), 4, 0, request.Put()), "CreateMsgSetRequest");
  ComPtr<IGeneralSummaryReportQuery> query;
  Check(request->AppendGeneralSummaryReportQueryRq(query.Put()), "AppendGeneralSummaryReportQueryRq");
  ComPtr<IVTENGeneralSummaryReportTypeType> type;
  Check(query->get_GeneralSummaryReportType(type.Put()), "GeneralSummaryReportType");
  Check(type->SetValue(gsrtProfitAndLossStandard), "GeneralSummaryReportType");
  ComPtr<IORReportPeriod> period;
  Check(query->get_ORReportPeriod(period.Put()), "ORReportPeriod");
  ComPtr<IVTENReportDateMacroType> macro;
  Check(period->get_ReportDateMacro(macro.Put()), "ReportDateMacro");
  Check(macro->SetValue(rdmThisYear), "ReportDateMacro");

  ComPtr<IMsgSetResponse> answer;
  Check(manager->DoRequests(request.Get(), answer.Put()), "DoRequests");
  ComPtr<IResponseList> responses;
  Check(answer->get_ResponseList(responses.Put()), "ResponseList");
  ComPtr<IResponse> response;
  Check(responses->GetAt(0, response.Put()), "GetAt");
  LONG status = 0;
  response->get_StatusCode(&status);
  if (status != 0) {
    Bstr message;
    response->get_StatusMessage(message.Put());
    std::fprintf(stderr, "status %d: %s\n", static_cast<int>(status), Narrow(message.Get()).c_str());
    return 1;
  }
  ComPtr<IVTBase> detail;
  Check(response->get_Detail(detail.Put()), "Detail");
  ComPtr<IReportRet> report;
  Check(detail->QueryInterface(IID_IReportRet, report.PutVoid()), "ReportRet");

  // The columns: the first holds the rows' labels, the others figures, each titled.
  std::vector<std::pair<LONG, std::string>> columns;
  ComPtr<IColDescList> descriptions;
  Check(report->get_ColDescList(descriptions.Put()), "ColDescList");
  LONG count = 0;
  descriptions->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IColDesc> column;
    Check(descriptions->GetAt(i, column.Put()), "ColDesc");
    ComPtr<IColTitleList> titles;
    ComPtr<IColTitle> title;
    std::string text;
    if (SUCCEEDED(column->get_ColTitleList(titles.Put())) && titles && SUCCEEDED(titles->GetAt(0, title.Put())))
      text = Text(title.Get(), &IColTitle::get_value);
    columns.emplace_back(Number(column.Get(), &IColDesc::get_colID), text);
  }

  // The rows, in the order the report gives them.
  std::vector<Line> lines;
  ComPtr<IReportData> data;
  ComPtr<IORReportDataList> rows;
  if (SUCCEEDED(report->get_ReportData(data.Put())) && data) Check(data->get_ORReportDataList(rows.Put()), "rows");
  LONG rowCount = 0;
  if (rows) rows->get_Count(&rowCount);
  for (LONG i = 0; i < rowCount; ++i) {
    ComPtr<IORReportData> row;
    Check(rows->GetAt(i, row.Put()), "row");
    ENORReportData kind = orrdNA;
    row->get_ortype(&kind);
    if (kind == orrdTextRow) {
      ComPtr<ITextRow> text;
      row->get_TextRow(text.Put());
      lines.push_back({Text(text.Get(), &ITextRow::get_value), {}, false});
    } else if (kind == orrdDataRow) {
      ComPtr<IDataRow> r;
      row->get_DataRow(r.Put());
      lines.push_back(Cells(r.Get()));
      lines.back().label = "  " + lines.back().label;
    } else if (kind == orrdSubtotalRow) {
      ComPtr<ISubtotalRow> r;
      row->get_SubtotalRow(r.Put());
      lines.push_back(Cells(r.Get()));
      lines.back().rule = true;
    } else if (kind == orrdTotalRow) {
      ComPtr<ITotalRow> r;
      row->get_TotalRow(r.Put());
      lines.push_back(Cells(r.Get()));
      lines.back().rule = true;
    }
  }

  // Printed: the label column as wide as its longest text, figures right-aligned.
  size_t width = 0;
  for (const Line& line : lines) width = std::max(width, line.label.size());
  std::printf("%s\n%s\n\n", Text(report.Get(), &IReportRet::get_ReportTitle).c_str(),
              Text(report.Get(), &IReportRet::get_ReportSubtitle).c_str());
  std::printf("%-*s", static_cast<int>(width), "");
  for (const auto& [id, title] : columns)
    if (id != 1) std::printf("  %12s", title.c_str());
  std::printf("\n");
  for (const Line& line : lines) {
    if (line.rule) {
      std::printf("%-*s", static_cast<int>(width), "");
      for (const auto& [id, title] : columns)
        if (id != 1) std::printf("  %12s", "------------");
      std::printf("\n");
    }
    std::printf("%-*s", static_cast<int>(width), line.label.c_str());
    for (const auto& [id, title] : columns) {
      if (id == 1) continue;
      const auto cell = line.cells.find(id);
      std::printf("  %12s", cell == line.cells.end() ? "" : cell->second.c_str());
    }
    std::printf("\n");
  }
  Check(manager->EndSession(), "EndSession");
  Check(manager->CloseConnection(), "CloseConnection");
  return 0;
}
