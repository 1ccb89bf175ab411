// Internal: references to list records (CustomerRef, AccountRef...), which name a record by
// its ListID or its FullName, and lists of such references.
#ifndef VTFC4_SRC_CORE_REFERENCES_H
#define VTFC4_SRC_CORE_REFERENCES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/core/aggregate_object.h"
#include "src/core/element.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// ---- Factories: a new object holding one reference, or null when memory runs out.
// `fullNameLimit` is the maximum length of FullName (kNoLimit: none).
ObjectRoot* NewVTBaseRef(int32_t fullNameLimit, bool isRequest, VersionContextPtr ctx);
ObjectRoot* NewVTBaseRefList(int32_t fullNameLimit, bool isRequest);

class CVTBaseRef : public AggregateObject<IVTBaseRef> {
 public:
  using AggregateObject::Verify;

  explicit CVTBaseRef(int32_t fullNameLimit = kNoLimit);

  HRESULT get_ListID(IVTIDType** out) override;
  HRESULT get_FullName(IVTStringType** out) override;

  // ListID and FullName are filled as the parse meets them; anything else is refused.
  void HandleElement(int tag, const std::string* value) override;
  // A required reference must name its record by ListID or by FullName.
  bool Verify(bool required, std::string& errors) override;
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override;

  int32_t FullNameLimit() const { return fullNameLimit_; }

 private:
  // A reference of a response keeps its two texts until a client reads them, as the records
  // of an answer do; each read makes the value object from the text.
  template <class I, class Make>
  HRESULT GetKept(size_t slot, I** out, Make make);
  void Materialize();

  const int32_t fullNameLimit_;
  std::string kept_[2];
  uint8_t keptMask_ = 0;
};

// References written one element per entry under the owner's member name. Reports no error
// descriptions.
class CVTBaseRefList : public ComObject<IVTBaseRefList>,
                       public XMLBuildable,
                       public SAXParseable {
 public:
  CVTBaseRefList(int32_t fullNameLimit, bool isRequest)
      : fullNameLimit_(fullNameLimit), isRequest_(isRequest) {}

  HRESULT GetAt(LONG index, IVTBaseRef** out) override;
  HRESULT get_Count(LONG* out) override;
  // A new reference at the end; a response list hands out null (it is filled by parsing).
  HRESULT Append(IVTBaseRef** out) override;
  HRESULT get_Type(IObjectType** out) override;
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override;

  // XMLBuildable
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override;
  bool Verify(bool required, std::string& errors) override;

  // SAXParseable: every child aggregate is a new reference.
  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }

  bool IsRequest() const { return isRequest_; }
  int32_t FullNameLimit() const { return fullNameLimit_; }

 private:
  // Makes a request-mode reference and appends it; null when memory runs out.
  CVTBaseRef* AppendNew();

  std::vector<ComPtr<CVTBaseRef>> refs_;
  ComPtr<IObjectType> type_;
  const int32_t fullNameLimit_;
  const bool isRequest_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_REFERENCES_H
