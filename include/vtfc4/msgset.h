// Message sets: the request set a client fills and hands to a session manager, with its
// attributes, its list of requests and each request's detail object.
#ifndef VTFC4_MSGSET_H
#define VTFC4_MSGSET_H

#include "vtfc4/gen/catalogue_interfaces.h"
#include "vtfc4/gen/enum_interfaces.h"
#include "vtfc4/gen/msgset_appends.h"
#include "vtfc4/values.h"

extern "C" {
VTFC4_API extern const IID IID_IRequestType;
VTFC4_API extern const IID IID_IAttributesRqSet;
VTFC4_API extern const IID IID_IRequest;
VTFC4_API extern const IID IID_IRequestList;
VTFC4_API extern const IID IID_IMsgSetRequest;
VTFC4_API extern const IID IID_IResponseType;
VTFC4_API extern const IID IID_IAttributesRsSet;
VTFC4_API extern const IID IID_IResponse;
VTFC4_API extern const IID IID_IResponseList;
VTFC4_API extern const IID IID_IMsgSetResponse;
VTFC4_API extern const IID IID_ISubscriptionMsgSetRequest;
VTFC4_API extern const IID IID_ISubscriptionMsgSetResponse;
VTFC4_API extern const IID IID_IEventsMsgSet;
}

// The kind of a request: its ENResponseType value and its element name ("CustomerAddRq").
struct IRequestType : public IObjectType {
  typedef IObjectType base_interface;
};

// The attributes of the message set element, in slot order.
struct IAttributesRqSet : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_OnError(ENRqOnError* out) = 0;
  virtual HRESULT put_OnError(ENRqOnError value) = 0;
  virtual HRESULT put_OldMessageSetID(BSTR value) = 0;
  virtual HRESULT get_OldMessageSetID(BSTR* out) = 0;
  virtual HRESULT put_NewMessageSetID(BSTR value) = 0;
  virtual HRESULT get_NewMessageSetID(BSTR* out) = 0;
  virtual HRESULT put_ResponseData(ENRqResponseData value) = 0;
  virtual HRESULT get_ResponseData(ENRqResponseData* out) = 0;
};

struct IRequest : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_RequestID(LONG* out) = 0;        // -1 before the request is in a list
  virtual HRESULT get_Detail(IVTBase** out) = 0;       // the request body, or null
  virtual HRESULT get_Type(IRequestType** out) = 0;
};

struct IRequestList : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_Count(LONG* out) = 0;
  virtual HRESULT GetAt(LONG index, IRequest** out) = 0;
};

// Dispatch ids: Attributes 1, ClearRequests 2, ToXMLString 3, Verify 4, RequestList 5; the
// Append<Name>Rq methods of the request catalogue follow from 7.
struct IMsgSetRequest : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_Attributes(IAttributesRqSet** out) = 0;
  virtual HRESULT ClearRequests() = 0;
  virtual HRESULT ToXMLString(BSTR* out) = 0;
  virtual HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) = 0;
  virtual HRESULT get_RequestList(IRequestList** out) = 0;
  VTFC4_MSGSET_APPEND_METHODS
};

// The kind of a response: its ENResponseType value and its element name ("CustomerAddRs").
struct IResponseType : public IObjectType {
  typedef IObjectType base_interface;
};

// The attributes of a response set's element; a null text when the element lacked one.
struct IAttributesRsSet : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_NewMessageSetID(BSTR* out) = 0;
  virtual HRESULT get_MessageSetStatusCode(BSTR* out) = 0;
};

// One answer: its status and its detail object (a returned record, a list of them, or
// nothing). Statuses the answer lacked return 0x80040300.
struct IResponse : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_StatusCode(LONG* out) = 0;
  virtual HRESULT get_StatusSeverity(BSTR* out) = 0;
  virtual HRESULT get_StatusMessage(BSTR* out) = 0;
  virtual HRESULT get_Detail(IVTBase** out) = 0;
  virtual HRESULT get_Type(IResponseType** out) = 0;
  virtual HRESULT get_retCount(LONG* out) = 0;
};

struct IResponseList : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_Count(LONG* out) = 0;
  virtual HRESULT GetAt(LONG index, IResponse** out) = 0;
};

// What a session manager hands back: the parsed answer to a message set.
struct IMsgSetResponse : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_Attributes(IAttributesRsSet** out) = 0;
  virtual HRESULT get_ResponseList(IResponseList** out) = 0;
  // Exactly the text the set was parsed from (a null text when it was empty).
  virtual HRESULT ToXMLString(BSTR* out) = 0;
};

// A subscription set: requests that register, query and remove an application's
// subscriptions to events, in a document of their own (VTXMLSubscriptionMsgsRq). Made by
// the session manager for vtXML 3.0 or 4.0; it has no attributes and no error policy. Dispatch
// ids in slot order from 1.
struct ISubscriptionMsgSetRequest : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT ClearRequests() = 0;
  virtual HRESULT ToXMLString(BSTR* out) = 0;
  virtual HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) = 0;
  virtual HRESULT AppendUIEventSubscriptionQueryRq(IUIEventSubscriptionQuery** out) = 0;
  virtual HRESULT AppendUIExtensionSubscriptionQueryRq(IUIExtensionSubscriptionQuery** out) = 0;
  virtual HRESULT AppendDataEventSubscriptionQueryRq(IDataEventSubscriptionQuery** out) = 0;
  virtual HRESULT AppendUIExtensionSubscriptionAddRq(IUIExtensionSubscriptionAdd** out) = 0;
  virtual HRESULT AppendUIEventSubscriptionAddRq(IUIEventSubscriptionAdd** out) = 0;
  virtual HRESULT AppendDataEventSubscriptionAddRq(IDataEventSubscriptionAdd** out) = 0;
  virtual HRESULT AppendSubscriptionDelRq(ISubscriptionDel** out) = 0;
};

// The answer to a subscription set: its responses, as an ordinary answer's.
struct ISubscriptionMsgSetResponse : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_ResponseList(IResponseList** out) = 0;
  // Exactly the text the set was parsed from (a null text when it was empty).
  virtual HRESULT ToXMLString(BSTR* out) = 0;
};

// An event document the application delivered (VTXMLEvents), read: one choice of data
// events, a user-interface event or a user-interface extension event.
struct IEventsMsgSet : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_OREvent(IOREvent** out) = 0;
  virtual HRESULT ToXMLString(BSTR* out) = 0;
};

VTFC4_IID_TRAIT(IRequestType)
VTFC4_IID_TRAIT(IAttributesRqSet)
VTFC4_IID_TRAIT(IRequest)
VTFC4_IID_TRAIT(IRequestList)
VTFC4_IID_TRAIT(IMsgSetRequest)
VTFC4_IID_TRAIT(IResponseType)
VTFC4_IID_TRAIT(IAttributesRsSet)
VTFC4_IID_TRAIT(IResponse)
VTFC4_IID_TRAIT(IResponseList)
VTFC4_IID_TRAIT(IMsgSetResponse)
VTFC4_IID_TRAIT(ISubscriptionMsgSetRequest)
VTFC4_IID_TRAIT(ISubscriptionMsgSetResponse)
VTFC4_IID_TRAIT(IEventsMsgSet)

#endif  // VTFC4_MSGSET_H
