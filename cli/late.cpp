#include "cli/late.h"

#include <memory>
#include <mutex>

namespace vtfc4::cli {

const Shape& ShapeOf(IDispatch* object) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Shape>> shapes;
  ComPtr<ITypeInfo> info;
  check(object->GetTypeInfo(0, 0, info.Put()), "GetTypeInfo");
  Bstr name;
  check(info->GetDocumentation(MEMBERID_NIL, name.Put(), nullptr, nullptr, nullptr), "GetDocumentation");
  const std::string key = toUtf8(name);
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<Shape>& shape = shapes[key];
  if (shape) return *shape;
  auto made = std::make_unique<Shape>();
  made->name = key;
  TYPEATTR* attr = nullptr;
  check(info->GetTypeAttr(&attr), "GetTypeAttr");
  const WORD count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* desc = nullptr;
    check(info->GetFuncDesc(i, &desc), "GetFuncDesc");
    const FUNCDESC d = *desc;
    const bool retvalOnly = d.cParams == 1 && (d.lprgelemdescParam[0].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
    info->ReleaseFuncDesc(desc);
    Bstr function;
    UINT got = 0;
    check(info->GetNames(d.memid, function.Put(), 1, &got), "GetNames");
    const std::string functionName = toUtf8(function);
    made->functions.emplace(functionName, d.memid);
    if (d.invkind == INVOKE_PROPERTYGET && retvalOnly) made->getters.emplace_back(functionName, d.memid);
  }
  shape = std::move(made);
  return *shape;
}

void Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> arguments, VARIANT* result,
          const std::string& context) {
  // Automation passes arguments last first.
  std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO exception{};
  UINT argumentError = 0;
  detail::clearError();
  const HRESULT hr = object->Invoke(id, IID_NULL, 0, flags, &params, result, &exception, &argumentError);
  if (hr == DISP_E_EXCEPTION) {
    const HRESULT code = exception.scode ? exception.scode : E_FAIL;
    std::string description = exception.bstrDescription ? toUtf8(exception.bstrDescription) : "";
    std::string source = exception.bstrSource ? toUtf8(exception.bstrSource) : "";
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    throw Error(code, std::move(description), std::move(source), context);
  }
  check(hr, context.c_str());
}

ComPtr<IDispatch> GetObject(IDispatch* object, DISPID id, const std::string& context) {
  Var result;
  Call(object, id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &result.v, context);
  ComPtr<IDispatch> out;
  if (result.v.vt == VT_DISPATCH && result.v.pdispVal) {
    out = ComPtr<IDispatch>(result.v.pdispVal);  // adds its own reference; the variant drops one
  } else if (result.v.vt == VT_UNKNOWN && result.v.punkVal) {
    check(result.v.punkVal->QueryInterface(IID_IDispatch, out.PutVoid()), context.c_str());
  }
  return out;
}

ComPtr<IDispatch> GetObject(IDispatch* object, const std::string& member) {
  const DISPID id = ShapeOf(object).Find(member);
  if (id == DISPID_UNKNOWN) return {};
  return GetObject(object, id, member);
}

}  // namespace vtfc4::cli
