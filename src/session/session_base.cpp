#include "src/session/session_base.h"

#include <cctype>
#include <climits>
#include <ctime>
#include <new>
#include <string>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/shell_folders.h"
#include "src/com/text.h"
#include "src/core/element.h"
#include "src/core/identifiers.h"
#include "src/session/recovery_cipher.h"
#include "src/session/recovery_file.h"

namespace vtfc4 {

namespace {

struct Code {
  int code;
  const char* text;
};

// Generated from src/session/recovery_codes.tsv: {code, "text"}.
constexpr Code kCodes[] = {
#include "vtfc4/gen/recovery_codes.inc"
};

constexpr char kPrefix[] = "Automated Error Recovery Error - ";
// The platform's path limit, which the record's path keeps at every step.
constexpr size_t kPathLimit = 260;

bool SameText(BSTR a, BSTR b) {
  const UINT n = SysStringLen(a);
  if (n != SysStringLen(b)) return false;
  for (UINT i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The record's file name from the company file: its last path component, or (for the online
// edition) the company name without anything but letters, digits and '_', with ".erf" in
// place of its extension.
std::string RecordName(const std::string& company, bool sanitised) {
  std::string name;
  if (sanitised) {
    for (char c : company)
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') name += c;
  } else {
    const size_t slash = company.find_last_of("/\\");
    name = slash == std::string::npos ? company : company.substr(slash + 1);
  }
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name.empty() ? name : name + ".erf";
}

// The text between the two double quotes after `key`; false when they are not there.
bool QuotedAfter(std::string_view text, std::string_view key, std::string& value) {
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  const size_t open = text.find('"', at + key.size());
  if (open == std::string_view::npos) return false;
  const size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos) return false;
  value.assign(text.substr(open + 1, close - open - 1));
  return true;
}

// The version text of a request: from its processing instruction, else from its document
// type; empty when neither search succeeds.
std::string VersionText(std::string_view text, bool instruction) {
  constexpr auto npos = std::string_view::npos;
  if (instruction) {
    const size_t at = text.find("<?vtxml version=");
    if (at == npos || text.find('>', at) == npos) return "";
    std::string version;
    return QuotedAfter(text.substr(at), "<?vtxml version=", version) ? version : "";
  }
  if (text.find("<!DOCTYPE") == npos) return "";
  const size_t publicAt = text.find("PUBLIC");
  if (publicAt == npos) return "";
  const size_t end = text.find('>', publicAt);
  if (end == npos) return "";
  const std::string_view id = text.substr(publicAt, end - publicAt);
  const size_t vtxml = id.find("VTXML");
  const size_t blank = vtxml == npos ? npos : id.find(' ', vtxml);
  const size_t edition = blank == npos ? npos : id.find('V', blank);
  const size_t start = edition == npos ? npos : id.find(' ', edition);
  const size_t slash = start == npos ? npos : id.find('/', start);
  if (slash == npos) return "";
  return std::string(id.substr(start + 1, slash - start - 1));
}

// The next run of digits from `at`, non-digits before it skipped.
std::string_view DigitRun(std::string_view text, size_t& at) {
  while (at < text.size() && !std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  const size_t start = at;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  return text.substr(start, at - start);
}

// A run of digits as a version number; false beyond the range of one.
bool VersionNumber(std::string_view digits, int16_t& out) {
  long value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > SHRT_MAX) return false;
  }
  out = static_cast<int16_t>(value);
  return true;
}

}  // namespace

std::string RecoveryCodeText(int code) {
  for (const Code& c : kCodes)
    if (c.code == code) return c.text;
  return std::to_string(code);
}

void CVTSessionBase::ReportRecoveryErrorFrom(const char* source, std::string_view text) {
  std::string description;
  IErrorInfo* current = nullptr;
  if (GetErrorInfo(0, &current) == S_OK && current) {
    BSTR old = nullptr;
    if (SUCCEEDED(current->GetDescription(&old)) && old) description = ToNarrow(old);
    SysFreeString(old);
    current->Release();
  }
  if (description.empty())
    description.assign(kPrefix).append(text);
  else
    description.append(", ").append(text);
  ReportErrorText(description, S_OK, source);
}

HRESULT CVTSessionBase::Fail(int code, HRESULT status) {
  ReportRecoveryError(RecoveryCodeText(code));
  return status;
}

// ---- Flags and the identifier.

HRESULT CVTSessionBase::put_EnableErrorRecovery(VARIANT_BOOL value) {
  enabled_ = value == VARIANT_TRUE ? 1 : 0;
  return S_OK;
}

HRESULT CVTSessionBase::get_EnableErrorRecovery(VARIANT_BOOL* out) {
  if (!out) return Fail(34, E_POINTER);
  *out = enabled_ > 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CVTSessionBase::put_SaveAllMsgSetRequestInfo(VARIANT_BOOL value) {
  saveAll_ = value == VARIANT_TRUE ? 1 : 0;
  return S_OK;
}

HRESULT CVTSessionBase::get_SaveAllMsgSetRequestInfo(VARIANT_BOOL* out) {
  if (!out) return Fail(35, E_POINTER);
  *out = saveAll_ > 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CVTSessionBase::get_ErrorRecoveryID(IVTGUIDType** out) {
  if (!id_) {
    ObjectRoot* made = NewGUIDValue();
    if (!made) return Fail(45, E_OUTOFMEMORY);
    if (HRESULT hr = HandOver(made, IID_IVTGUIDType, id_.PutVoid()); FAILED(hr)) return Fail(45, hr);
  }
  if (!out) return E_POINTER;
  *out = id_.Get();
  (*out)->AddRef();
  return S_OK;
}

// ---- The record's path.

HRESULT CVTSessionBase::GetErrorRecoveryFilePath(std::string& out) {
  out.clear();
  std::string path;
  if (FAILED(GetCommonAppDataFolder(path)) || path.size() > kPathLimit) return Fail(46, kRecoveryFailed);
  // Each step fails with its own message when the path would pass the limit.
  const auto append = [&path](std::string_view part) {
    path.append("/").append(part);
    return path.size() <= kPathLimit;
  };
  // Each folder is checked as it is made: one that another user made or may write is not
  // used, and the reason, naming it, comes before the step's code.
  const auto trusted = [this, &path](bool shared) {
    std::string why;
    if (EnsureRecordFolder(path, shared, why)) return true;
    if (!why.empty()) ReportRecoveryError(why);
    return false;
  };
  if (!append("Korven") || !trusted(true)) return Fail(47, kRecoveryFailed);
  if (!append("Vantrel") || !trusted(true)) return Fail(48, kRecoveryFailed);
  if (!id_) return Fail(49, kRecoveryFailed);
  Bstr value;
  if (FAILED(id_->GetValue(value.Put()))) return Fail(50, kRecoveryFailed);
  std::string id = ToNarrow(value.Get());
  if (id.empty()) return Fail(51, kRecoveryFailed);
  // The braced form of the identifier names the folder without its braces.
  if (id.size() > 2) id = id.substr(1, id.size() - 2);
  // The folder of one identifier is its owner's alone.
  if (!append(id) || !trusted(false)) return Fail(52, kRecoveryFailed);
  std::string company;
  if (HRESULT hr = GetCompanyFileText(company); FAILED(hr)) return Fail(53, hr);
  if (company.empty()) return Fail(54, kRecoveryFailed);
  const std::string name = RecordName(company, UsesSanitisedFileName());
  if (name.empty() || !append(name)) return Fail(55, kRecoveryFailed);
  out = std::move(path);
  return S_OK;
}

HRESULT CVTSessionBase::IsErrorRecoveryInfo(VARIANT_BOOL* out) {
  if (!out) return Fail(18, E_POINTER);
  *out = VARIANT_FALSE;
  std::string path;
  if (HRESULT hr = GetErrorRecoveryFilePath(path); FAILED(hr)) return Fail(19, hr);
  if (RecordExists(path)) *out = VARIANT_TRUE;
  return S_OK;
}

// ---- Message set identifiers and saving.

std::string CVTSessionBase::MakeMessageSetID() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[16];
  if (now == static_cast<std::time_t>(-1) || !gmtime_r(&now, &utc) ||
      std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &utc) != 14)
    return "";
  return std::string(stamp) + GetTicketText().substr(0, 9);
}

HRESULT CVTSessionBase::SetMessageSetIDs(IMsgSetRequest* set) {
  if (!enabled_) return S_OK;
  ComPtr<IAttributesRqSet> attributes;
  HRESULT hr = set ? set->get_Attributes(attributes.Put()) : E_POINTER;
  if (FAILED(hr) || !attributes) return Fail(24, FAILED(hr) ? hr : E_FAIL);
  Bstr newId;
  if (hr = attributes->get_NewMessageSetID(newId.Put()); FAILED(hr)) return Fail(25, hr);
  if (newId.Length() == 0) {
    const std::string made = MakeMessageSetID();
    if (made.empty()) {
      ReportRecoveryError(RecoveryCodeText(76));
      return Fail(26, kRecoveryFailed);
    }
    newId = Bstr::Adopt(ToBstr(made));
    if (hr = attributes->put_NewMessageSetID(newId.Get()); FAILED(hr)) return Fail(27, hr);
  }
  Bstr oldId;
  if (hr = attributes->get_OldMessageSetID(oldId.Put()); FAILED(hr)) return Fail(28, hr);
  if (oldId.Get() && SameText(oldId.Get(), newId.Get())) {
    const Bstr empty = Bstr::Adopt(SysAllocString(u""));
    if (hr = attributes->put_OldMessageSetID(empty.Get()); FAILED(hr)) return Fail(29, hr);
  }
  return S_OK;
}

HRESULT CVTSessionBase::SaveRequestForRecovery(std::string_view text) {
  if (!enabled_) return S_OK;
  VARIANT_BOOL has = VARIANT_FALSE;
  if (HRESULT hr = IsErrorRecoveryInfo(&has); FAILED(hr)) return Fail(20, hr);
  if (has) return Fail(21, kRecoveryRecord);
  std::string path;
  if (HRESULT hr = GetErrorRecoveryFilePath(path); FAILED(hr)) return Fail(22, hr);
  std::string_view content = text;
  std::string trimmed;
  if (!saveAll_) {
    // Only the envelope is kept, with its attributes (the message set identifiers, onError).
    const size_t open = text.find("<VTXMLMsgsRq");
    const size_t bodyStart = open == std::string_view::npos ? open : text.find('>', open);
    const size_t close = bodyStart == std::string_view::npos ? bodyStart : text.find("</VTXMLMsgsRq>", bodyStart);
    if (close != std::string_view::npos) {
      try {
        trimmed.assign(text.substr(0, bodyStart + 1)).append(text.substr(close));
      } catch (const std::bad_alloc&) {
        return Fail(23, E_OUTOFMEMORY);
      }
      content = trimmed;
    }
  }
  if (HRESULT hr = WriteRecoveryFile(path, content); FAILED(hr)) return Fail(23, hr);
  return S_OK;
}

// ---- The record file.

HRESULT CVTSessionBase::WriteRecoveryFile(const std::string& path, std::string_view content) {
  try {
    const std::string plain = "1.0" + std::string(content);
    std::string sealed;
    switch (EncipherRecoveryData(plain, sealed)) {
      case CipherResult::kDone: break;
      case CipherResult::kNoContext: ReportRecoveryError(RecoveryCodeText(70)); return Fail(67, kRecoveryFailed);
      case CipherResult::kNoBuffer: ReportRecoveryError(RecoveryCodeText(71)); return Fail(67, kRecoveryFailed);
      case CipherResult::kRefused: ReportRecoveryError(RecoveryCodeText(72)); return Fail(67, kRecoveryFailed);
    }
    switch (WriteRecordFile(path, sealed)) {
      case WriteResult::kDone: return S_OK;
      case WriteResult::kCannotCreate: return Fail(68, kRecoveryFailed);
      case WriteResult::kCannotWrite: return Fail(78, kRecoveryFailed);
      case WriteResult::kCannotReplace: return Fail(79, kRecoveryFailed);
    }
  } catch (...) {
  }
  return Fail(80, kRecoveryFailed);
}

HRESULT CVTSessionBase::ReadRecoveryFile(const std::string& path, std::string& text) {
  text.clear();
  std::string sealed;
  switch (ReadRecordFile(path, sealed)) {
    case ReadResult::kDone: break;
    case ReadResult::kCannotOpen: return Fail(60, kRecoveryFailed);
    case ReadResult::kCannotRead: return Fail(61, kRecoveryFailed);
  }
  // An empty record reads as an empty text; its reader decides what that means.
  if (sealed.empty()) return S_OK;
  switch (DecipherRecoveryData(sealed, text)) {
    case CipherResult::kDone: break;
    case CipherResult::kNoContext: ReportRecoveryError(RecoveryCodeText(73)); return Fail(61, kRecoveryFailed);
    case CipherResult::kNoBuffer: ReportRecoveryError(RecoveryCodeText(74)); return Fail(61, kRecoveryFailed);
    case CipherResult::kRefused: ReportRecoveryError(RecoveryCodeText(75)); return Fail(61, kRecoveryFailed);
  }
  // The version mark before the document goes.
  const size_t document = text.find("<?xml version=");
  if (document != std::string::npos) text.erase(0, document);
  return S_OK;
}

HRESULT CVTSessionBase::ReadSavedRecoveryInfo(const std::string& path, std::string& id, int32_t& country,
                                              int16_t& major, int16_t& minor) {
  id.clear();
  std::string text;
  if (FAILED(ReadRecoveryFile(path, text))) return Fail(56, kRecoveryFailed);
  if (text.empty()) {
    // An empty record: reported, but the read counts as done, so that clearing still deletes
    // the record.
    ReportRecoveryError(RecoveryCodeText(57));
    return S_OK;
  }
  std::string found;
  if (!QuotedAfter(text, "newMessageSetID", found)) {
    ReportRecoveryError(RecoveryCodeText(65));
    return Fail(58, kRecoveryFailed);
  }
  if (found.empty() || found.size() >= 24) {
    ReportRecoveryError(RecoveryCodeText(66));
    return Fail(58, kRecoveryFailed);
  }
  if (FAILED(ParseVersionAndCountry(text, country, major, minor))) return Fail(59, kRecoveryFailed);
  id = std::move(found);
  return S_OK;
}

HRESULT CVTSessionBase::LibraryVersion(SHORT* major, SHORT* minor, ENReleaseLevel* releaseLevel,
                                      SHORT* releaseNumber) {
  if (!major || !minor || !releaseLevel || !releaseNumber) return E_POINTER;
  *major = 4;
  *minor = 0;
  *releaseLevel = rlRelease;
  *releaseNumber = 1;
  return S_OK;
}

// ---- Version and country of a request text.

HRESULT CVTSessionBase::ParseVersionAndCountry(std::string_view text, int32_t& country, int16_t& major,
                                               int16_t& minor) {
  major = 0;
  minor = 0;
  const bool instruction = text.find("<?vtxml version") != std::string_view::npos;
  if (instruction && text.find("<!DOCTYPE VTXML PUBLIC") != std::string_view::npos) return kUnsupportedVersion;
  const std::string version = VersionText(text, instruction);
  if (version.empty()) return kUnsupportedVersion;
  // The edition first: the first letter or digit of the version text decides it ("CA3.0" is
  // Canada, "4.0" the United States), so a lone letter is refused as such.
  size_t first = 0;
  while (first < version.size() && !std::isalnum(static_cast<unsigned char>(version[first]))) ++first;
  int32_t found = 0;
  if (first == version.size()) {
    ReportRecoveryError(RecoveryCodeText(88));
    return kUnsupportedVersion;
  }
  if (std::isalpha(static_cast<unsigned char>(version[first]))) {
    if (first + 1 == version.size()) {
      ReportRecoveryError(RecoveryCodeText(89));
      return kUnsupportedVersion;
    }
    if (version.compare(first, 2, "CA") != 0) {
      ReportRecoveryError(RecoveryCodeText(90));
      return kUnsupportedVersion;
    }
    found = kCountryCA;
  }
  size_t at = 0;
  const std::string_view majorText = DigitRun(version, at);
  const std::string_view minorText = DigitRun(version, at);
  int16_t parsedMajor = 0, parsedMinor = 0;
  if (majorText.empty() || minorText.empty() || !VersionNumber(majorText, parsedMajor) ||
      !VersionNumber(minorText, parsedMinor)) {
    ReportRecoveryError(RecoveryCodeText(1));
    return kRecoveryFailed;
  }
  if (parsedMajor == 0) {
    ReportRecoveryError(RecoveryCodeText(2));
    return kRecoveryFailed;
  }
  major = parsedMajor;
  minor = parsedMinor;
  country = found;
  return S_OK;
}

// ---- Asking the application.

HRESULT CVTSessionBase::MakeRecoverySet(const std::string& id, bool setNew, int32_t country, int16_t major,
                                        int16_t minor, const int (&codes)[4], ComPtr<IMsgSetRequest>& set) {
  const char* countryText = country == kCountryUS ? "US" : country == kCountryCA ? "CA" : "";
  const Bstr countryBstr = Bstr::Adopt(ToBstr(countryText));
  HRESULT hr = CreateMsgSetRequest(countryBstr.Get(), major, minor, set.Put());
  if (FAILED(hr) || !set) return Fail(codes[0], FAILED(hr) ? hr : E_FAIL);
  ComPtr<IAttributesRqSet> attributes;
  hr = set->get_Attributes(attributes.Put());
  if (FAILED(hr) || !attributes) return Fail(codes[1], FAILED(hr) ? hr : E_FAIL);
  const Bstr idBstr = Bstr::Adopt(ToBstr(id));
  if (hr = attributes->put_OldMessageSetID(idBstr.Get()); FAILED(hr)) return Fail(codes[2], hr);
  if (setNew) {
    if (hr = attributes->put_NewMessageSetID(idBstr.Get()); FAILED(hr)) return Fail(codes[3], hr);
  }
  return S_OK;
}

HRESULT CVTSessionBase::QueryRecoveryStatus(IMsgSetResponse** out, const std::string& id, int32_t country,
                                            int16_t major, int16_t minor) {
  ComPtr<IMsgSetRequest> set;
  if (HRESULT hr = MakeRecoverySet(id, true, country, major, minor, {8, 9, 10, 11}, set); FAILED(hr)) return hr;
  // A status query is itself no message set to recover.
  const int enabled = enabled_;
  enabled_ = 0;
  const HRESULT hr = DoRequests(set.Get(), out);
  enabled_ = enabled;
  if (FAILED(hr) || !*out) return Fail(12, FAILED(hr) ? hr : E_FAIL);
  return S_OK;
}

HRESULT CVTSessionBase::ClearRecoveryStatus(const std::string& id, int32_t country, int16_t major, int16_t minor) {
  ComPtr<IMsgSetRequest> set;
  if (HRESULT hr = MakeRecoverySet(id, false, country, major, minor, {13, 14, 15, 15}, set); FAILED(hr)) return hr;
  const int enabled = enabled_;
  enabled_ = 0;
  ComPtr<IMsgSetResponse> response;
  const HRESULT hr = DoRequests(set.Get(), response.Put());
  enabled_ = enabled;
  if (FAILED(hr) || !response) return Fail(16, FAILED(hr) ? hr : E_FAIL);
  return S_OK;
}

// ---- The client's operations.

HRESULT CVTSessionBase::LocateRecord(const int (&codes)[3], std::string& path) {
  VARIANT_BOOL has = VARIANT_FALSE;
  if (HRESULT hr = IsErrorRecoveryInfo(&has); FAILED(hr)) return Fail(codes[0], hr);
  if (!has) return Fail(codes[1], kRecoveryRecord);
  if (HRESULT hr = GetErrorRecoveryFilePath(path); FAILED(hr)) return Fail(codes[2], hr);
  return S_OK;
}

HRESULT CVTSessionBase::GetErrorRecoveryStatus(IMsgSetResponse** out) {
  if (!out) return Fail(36, E_POINTER);
  *out = nullptr;
  std::string path;
  if (HRESULT hr = LocateRecord({82, 83, 37}, path); FAILED(hr)) return hr;
  std::string id;
  int32_t country = kCountryUS;
  int16_t major = 0, minor = 0;
  if (HRESULT hr = ReadSavedRecoveryInfo(path, id, country, major, minor); FAILED(hr)) return Fail(38, hr);
  // An empty record names no message set: there is nothing to ask the application.
  if (id.empty()) return Fail(38, kRecoveryFailed);
  if (HRESULT hr = QueryRecoveryStatus(out, id, country, major, minor); FAILED(hr)) return Fail(39, hr);
  return S_OK;
}

HRESULT CVTSessionBase::GetSavedMsgSetRequest(IMsgSetRequest** out) {
  if (!out) return Fail(40, E_POINTER);
  *out = nullptr;
  std::string path;
  if (HRESULT hr = LocateRecord({84, 85, 41}, path); FAILED(hr)) return hr;
  std::string text;
  if (HRESULT hr = ReadRecoveryFile(path, text); FAILED(hr)) return Fail(42, hr);
  const Bstr wide = Bstr::Adopt(ToBstr(text));
  if (HRESULT hr = ToMsgSetRequest(wide.Get(), out); FAILED(hr)) return Fail(44, hr);
  return S_OK;
}

HRESULT CVTSessionBase::ClearErrorRecovery() {
  std::string path;
  const HRESULT pathStatus = GetErrorRecoveryFilePath(path);
  HRESULT readStatus = S_OK, clearStatus = S_OK;
  if (SUCCEEDED(pathStatus) && RecordExists(path)) {
    std::string id;
    int32_t country = kCountryUS;
    int16_t major = 0, minor = 0;
    readStatus = ReadSavedRecoveryInfo(path, id, country, major, minor);
    // A record that cannot be deleted is reported, not returned: the application is still
    // told to forget the set.
    if (!DeleteRecord(path)) ReportRecoveryError(RecoveryCodeText(30));
    if (!id.empty()) clearStatus = ClearRecoveryStatus(id, country, major, minor);
  }
  if (FAILED(pathStatus)) return Fail(31, pathStatus);
  if (FAILED(readStatus)) return Fail(32, readStatus);
  if (FAILED(clearStatus)) return Fail(33, clearStatus);
  return S_OK;
}

}  // namespace vtfc4
