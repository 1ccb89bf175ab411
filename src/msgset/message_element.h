// Internal: what a request and a response share: one message element (CustomerAddRq,
// CustomerAddRs), its detail object, made by the detail factory when the element is parsed,
// and its type object.
#ifndef VTFC4_SRC_MSGSET_MESSAGE_ELEMENT_H
#define VTFC4_SRC_MSGSET_MESSAGE_ELEMENT_H

#include <string>

#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/object_type.h"
#include "src/msgset/detail_factory.h"
#include "src/xml/tag_table.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

template <class TypeInterface>
class MessageElement {
 public:
  // `owner` ("Request", "Response") names the element in the parse failures.
  MessageElement(int tag, VersionContextPtr context, const char* owner)
      : tag_(tag), owner_(owner), context_(std::move(context)) {}

  int Tag() const { return tag_; }
  ObjectRoot* Detail() const { return detail_.Get(); }
  void SetDetail(ObjectRoot* detail) { detail_ = RootRef(detail); }

  HRESULT DetailCom(IVTBase** out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!detail_) return S_OK;
    return detail_->QueryRoot(IID_IVTBase, reinterpret_cast<void**>(out));
  }

  // The element's ENResponseType value and name; 0x80040300 when the tag has no name.
  HRESULT TypeCom(TypeInterface** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!type_) {
      const char* name = TagName(tag_);
      if (!name) return VTFC4_HR(0x80040300);
      HRESULT hr = MakeTypeObject(static_cast<int16_t>(MessageTypeOf(name)), name, type_.Put());
      if (FAILED(hr)) return hr;
    }
    return type_.CopyTo(out);
  }

  // The detail's parse face, the detail being made on the element's first child.
  SAXParseable* DetailFace() {
    if (!detail_ && !CreateDetail(tag_, context_, detail_, wrapped_))
      throw SAXParseHandlerException(std::string("Internal error.Cannot create detail object for ") +
                                     owner_ + ".");
    SAXParseable* face = detail_->AsParseable();
    if (!face) throw SAXParseHandlerException("Internal error");
    return face;
  }

  // The handler of a child element that has children: a wrapped detail takes the element's
  // children as its own fields (CustomerQueryRq); otherwise the child is the detail itself
  // (the CustomerAdd inside CustomerAddRq, the records inside a query answer's list).
  SAXParseable* ChildHandler(int tag) {
    SAXParseable* face = DetailFace();
    SAXParseable* handler = wrapped_ ? face->HandleAggregate(tag) : face;
    if (!handler) throw SAXParseHandlerException("Internal error");
    return handler;
  }

 private:
  int tag_;
  const char* owner_;
  RootRef detail_;
  bool wrapped_ = false;
  ComPtr<TypeInterface> type_;
  VersionContextPtr context_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_MSGSET_MESSAGE_ELEMENT_H
