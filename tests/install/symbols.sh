#!/usr/bin/env bash
# The shared library exports the public API and nothing else: every defined dynamic symbol
# must be one of the COM functions, the Dll entry points or a GUID.
set -euo pipefail
library=$1
allowed='^(Sys[A-Za-z]+|CLSIDFromProgID|CLSIDFromString|IIDFromString|StringFromGUID2|CoCreateInstance|CoGetClassObject|OleRun|CreateErrorInfo|SetErrorInfo|GetErrorInfo|SafeArray[A-Za-z]+|Variant[A-Za-z]+|SetThreadCodePage|GetThreadCodePage|LoadTypeLib|LoadRegTypeLib|RegisterTypeLib|UnRegisterTypeLib|Dll(GetClassObject|CanUnloadNow|RegisterServer|UnregisterServer)|GUID_NULL|IID_[A-Za-z0-9_]+|CLSID_[A-Za-z0-9_]+|LIBID_[A-Za-z0-9_]+)$'
symbols=$(nm -D --defined-only "$library" | awk '{print $3}')
unexpected=$(grep -Ev "$allowed" <<<"$symbols" || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols:"
  c++filt <<<"$unexpected"
  exit 1
fi
for required in DllGetClassObject DllCanUnloadNow SysAllocString CLSID_VTSessionManager IID_IVTSessionManager; do
  grep -qx "$required" <<<"$symbols" || { echo "missing export: $required"; exit 1; }
done
echo "$(wc -l <<<"$symbols") exported symbols, all public"
