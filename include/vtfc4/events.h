// Receiving events. An application that subscribes to data events, user-interface events or
// its menu items names, in the subscription's COMCallbackInfo, a class of its own (by ProgID
// or class identifier, registered in the registry file as an in-process module or a local
// server). When such an event happens, the application creates that class and calls Inform
// with the event document (VTXMLEvents); the subscriber reads it with
// IVTSessionManager::ToEventsMsgSet. The call must return promptly: a failing status, or a
// class that cannot be created, counts as an event not delivered, which the application keeps
// and offers again later.
#ifndef VTFC4_EVENTS_H
#define VTFC4_EVENTS_H

#include "vtfc4/com.h"

extern "C" {
VTFC4_API extern const IID IID_IVTEventCallback;
}

// Dispatch id 1.
struct IVTEventCallback : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT Inform(BSTR eventXML) = 0;
};

VTFC4_IID_TRAIT(IVTEventCallback)

#endif  // VTFC4_EVENTS_H
