// The mediator between the parser's callbacks and the handlers of the object model, and the
// root handler of the vtXML envelope.
//
// Whether an element is an aggregate or a leaf is known only at its first child's start tag
// or at its own end tag, so the mediator keeps the element "pending" until then: its name, its
// attributes and its text wait in member buffers that are reused from one element to the next.
#include "src/xml/sax.h"

#include "src/xml/tag_table.h"

namespace vtfc4 {

void SAXParseMediator::OnStartElement(int tag, const std::vector<SAXAttribute>& attributes) {
  if (skipDepth_ > 0) {
    ++skipDepth_;
    return;
  }
  if (elementPending_) {
    // The pending element has a child: it is an aggregate.
    SAXParseable* child = current_ ? current_->HandleAggregate(pendingTag_) : nullptr;
    if (!child) {
      // Nobody takes it: skip it whole, with its attributes and this child (depth 2: inside
      // the refused element and inside its child).
      pendingAttributeCount_ = 0;
      elementPending_ = false;
      textSeen_ = false;
      skipDepth_ = 2;
      return;
    }
    stack_.push_back(current_);
    current_ = child;
  }
  elementPending_ = true;
  textSeen_ = false;
  pendingTag_ = tag;
  DispatchAttributes();
  // The strings of earlier elements keep their capacity: most start tags allocate nothing.
  if (pendingAttributes_.size() < attributes.size()) pendingAttributes_.resize(attributes.size());
  for (size_t i = 0; i < attributes.size(); ++i) {
    pendingAttributes_[i].first.assign(attributes[i].name);
    pendingAttributes_[i].second.assign(attributes[i].value);
  }
  pendingAttributeCount_ = attributes.size();
}

void SAXParseMediator::OnCharacters(std::string& text) {
  // Text reaches a handler only as the text of a pending element (a leaf at its end tag).
  // Text after an end tag (the line breaks between elements, stray mixed content) can never
  // be delivered, so it is not copied.
  if (skipDepth_ > 0 || !elementPending_) {
    textSeen_ = true;
    return;
  }
  if (textSeen_) {
    // A further piece of the same text (the parser splits text around entity references).
    text_.append(text);
  } else {
    // The first piece is taken over whole: the parser side gets this buffer back to reuse.
    text_.swap(text);
    textSeen_ = true;
  }
}

void SAXParseMediator::OnEndElement(int tag) {
  if (skipDepth_ > 0) {
    // At depth 0 again the refused element itself has ended: the handler stack is as it was.
    if (--skipDepth_ == 0) {
      elementPending_ = false;
      textSeen_ = false;
    }
    return;
  }
  const bool closesPending = elementPending_ && tag == pendingTag_;
  const bool hadText = textSeen_;
  elementPending_ = false;
  textSeen_ = false;

  if (!closesPending) {
    // An aggregate whose children have been handled ends; attributes still pending (of its
    // last child when that was a leaf) belong to its handler.
    DispatchAttributes();
    if (stack_.empty()) {
      current_ = nullptr;
      return;
    }
    current_ = stack_.back();
    stack_.pop_back();
    if (current_) current_->HandleEndAggregate(tag);
    return;
  }

  if (!current_) return;
  if (hadText) {
    // A leaf. Its attributes stay pending: the enclosing handler gets them at the next
    // dispatch.
    current_->HandleElement(tag, &text_);
    text_.clear();
    return;
  }

  // An empty element: offered as an aggregate first (an aggregate with nothing set but its
  // attributes), else it is a value without text.
  SAXParseable* child = nullptr;
  try {
    child = current_->HandleAggregate(tag);
  } catch (const SAXParseHandlerException&) {
    text_.clear();
    current_->HandleElement(tag, &text_);
    return;
  }
  if (!child) {
    // Refused: skipped whole, as a refused aggregate with children is.
    pendingAttributeCount_ = 0;
    return;
  }
  SAXParseable* const parent = current_;
  current_ = child;
  DispatchAttributes();
  current_ = parent;
  parent->HandleEndAggregate(tag);
}

void SAXParseMediator::DispatchAttributes() {
  const size_t count = pendingAttributeCount_;
  pendingAttributeCount_ = 0;
  if (!current_) return;
  for (size_t i = 0; i < count; ++i) {
    const auto& [name, value] = pendingAttributes_[i];
    current_->HandleAttribute(LookupTag(name), &value);
  }
}

SAXParseable* VTXMLRoot::HandleAggregate(int tag) {
  switch (tag) {
    case tag::VTXML:
    case tag::SignonMsgsRq:
    case tag::SignonMsgsRs:
      return this;
    case tag::VTXMLMsgsRq:
      return msgSetRequest;
    case tag::VTXMLMsgsRs:
      return msgSetResponse;
    case tag::VTXMLSubscriptionMsgsRs:
      return subscriptionResponse;
    case tag::VTXMLEvents:
      return events;
    case tag::SignonDesktopRq:
    case tag::SignonTicketRq:
    case tag::SignonDesktopRs:
    case tag::SignonTicketRs:
      return online ? online->SignonFace(tag) : nullptr;
    default:
      return nullptr;
  }
}

void VTXMLRoot::HandleElement(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("VTXMLRoot: unexpected tag = %d with value %s.", tag,
                                        value ? value->c_str() : "Unknown value"));
}

void VTXMLRoot::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("VTXMLRoot: unexpected tag = %d with value %s.", tag,
                                        value ? value->c_str() : "Unknown value"));
}

}  // namespace vtfc4
