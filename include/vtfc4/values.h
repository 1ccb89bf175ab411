// The value and element interfaces every object of the model builds on: the value object
// base, the aggregate base, the object-type object, and the typed value interfaces.
// Methods are declared in slot order; their dispatch ids are given beside them.
#ifndef VTFC4_VALUES_H
#define VTFC4_VALUES_H

#include "vtfc4/com.h"

extern "C" {
VTFC4_API extern const IID IID_IBasicPropertyType;
VTFC4_API extern const IID IID_IObjectType;
VTFC4_API extern const IID IID_IVTBase;
VTFC4_API extern const IID IID_IVTStringType;
VTFC4_API extern const IID IID_IVTIntType;
VTFC4_API extern const IID IID_IVTFloatType;
VTFC4_API extern const IID IID_IVTAmountType;
VTFC4_API extern const IID IID_IVTPriceType;
VTFC4_API extern const IID IID_IVTPercentType;
VTFC4_API extern const IID IID_IVTQuanType;
VTFC4_API extern const IID IID_IVTBoolType;
VTFC4_API extern const IID IID_IVTDateType;
VTFC4_API extern const IID IID_IVTDateTimeType;
VTFC4_API extern const IID IID_IVTTimeIntervalType;
VTFC4_API extern const IID IID_IVTIDType;
VTFC4_API extern const IID IID_IVTGUIDType;
VTFC4_API extern const IID IID_IBSTRList;
VTFC4_API extern const IID IID_IGUIDList;
VTFC4_API extern const IID IID_IVTBaseRef;
VTFC4_API extern const IID IID_IVTBaseRefList;
}

// Base of every value interface (dispids 1 to 4).
struct IBasicPropertyType : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT IsSet(VARIANT_BOOL* out) = 0;    // 1
  virtual HRESULT IsEmpty(VARIANT_BOOL* out) = 0;  // 2
  virtual HRESULT Unset() = 0;                     // 3
  virtual HRESULT SetEmpty() = 0;                  // 4
};

// The class of an object: its ENObjectType value and its class name.
struct IObjectType : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT GetValue(SHORT* out) = 0;       // 1
  virtual HRESULT GetAsString(BSTR* out) = 0;     // 2
};

// Base of every aggregate and list interface. Members of derived interfaces start at dispid 4.
struct IVTBase : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT get_Type(IObjectType** out) = 0;                    // 1
  // Checks the object and everything below it; isOK is VARIANT_FALSE with the reasons in
  // errorMsg when something required is missing or an OR choice holds several members.
  virtual HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) = 0;     // 2
};

// Text with an optional maximum length in UTF-16 code units.
struct IVTStringType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(BSTR value) = 0;        // 5
  virtual HRESULT GetValue(BSTR* out) = 0;         // 6
  virtual HRESULT GetMaxLength(BSTR* out) = 0;     // 7: empty text when unlimited
};

struct IVTIntType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(LONG value) = 0;        // 5
  virtual HRESULT GetValue(LONG* out) = 0;         // 6
  virtual HRESULT GetMinValue(BSTR* out) = 0;      // 7: empty text when unbounded
  virtual HRESULT GetMaxValue(BSTR* out) = 0;      // 8
};

struct IVTFloatType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(float value) = 0;       // 5
  virtual HRESULT GetValue(float* out) = 0;        // 6
  virtual HRESULT SetAsString(BSTR value) = 0;     // 7
  virtual HRESULT GetAsString(BSTR* out) = 0;      // 8
};

#define VTFC4_DECIMAL_INTERFACE(Name)                  \
  struct Name : public IBasicPropertyType {            \
    typedef IBasicPropertyType base_interface;         \
    virtual HRESULT SetValue(double value) = 0;        \
    virtual HRESULT GetValue(double* out) = 0;         \
    virtual HRESULT SetAsString(BSTR value) = 0;       \
    virtual HRESULT GetAsString(BSTR* out) = 0;        \
  };
// Money amounts, prices, percentages and quantities: dispids 5 to 8 in this order.
VTFC4_DECIMAL_INTERFACE(IVTAmountType)
VTFC4_DECIMAL_INTERFACE(IVTPriceType)
VTFC4_DECIMAL_INTERFACE(IVTPercentType)
VTFC4_DECIMAL_INTERFACE(IVTQuanType)
#undef VTFC4_DECIMAL_INTERFACE

struct IVTBoolType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(VARIANT_BOOL value) = 0;  // 5
  virtual HRESULT GetValue(VARIANT_BOOL* out) = 0;   // 6
};

// Calendar dates, as OLE Automation DATE numbers (days since 30 December 1899).
struct IVTDateType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(DATE value) = 0;   // 5
  virtual HRESULT GetValue(DATE* out) = 0;    // 6
};

// Date-times with an optional time zone; asDateOnly = VARIANT_TRUE stores the date alone.
struct IVTDateTimeType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(DATE value, VARIANT_BOOL asDateOnly) = 0;  // 5
  virtual HRESULT GetValue(DATE* out) = 0;                           // 6
  virtual HRESULT SetTimeZone(SHORT hours, SHORT minutes) = 0;       // 7
  virtual HRESULT GetTimeZone(SHORT* hours, SHORT* minutes) = 0;     // 8
};

// Durations, written in the vtXML duration form (PT1H30M).
struct IVTTimeIntervalType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(SHORT hours, SHORT minutes, SHORT seconds) = 0;     // 5
  virtual HRESULT GetValue(SHORT* hours, SHORT* minutes, SHORT* seconds) = 0;  // 6
};

// Record identifiers (ListID, TxnID...), with the macro form that names a record created by
// an earlier request of the same message set.
struct IVTIDType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(BSTR value) = 0;              // 5
  virtual HRESULT GetValue(BSTR* out) = 0;               // 6
  virtual HRESULT SetValueUseMacro(BSTR macro) = 0;      // 7
  virtual HRESULT GetValueUseMacro(BSTR* out) = 0;       // 8
  virtual HRESULT IsSetUseMacro(VARIANT_BOOL* out) = 0;  // 9
};

// GUIDs: "0" or a braced GUID, kept as given.
struct IVTGUIDType : public IBasicPropertyType {
  typedef IBasicPropertyType base_interface;
  virtual HRESULT SetValue(BSTR value) = 0;  // 5
  virtual HRESULT GetValue(BSTR* out) = 0;   // 6
};

// Repeated text elements (IncludeRetElement, ListID...), written one element per entry.
struct IBSTRList : public IVTBase {
  typedef IVTBase base_interface;
  virtual HRESULT Add(BSTR value) = 0;                  // 4
  virtual HRESULT get_Count(LONG* out) = 0;             // 5
  virtual HRESULT GetAt(LONG index, BSTR* out) = 0;     // 6
  virtual HRESULT GetMaxLength(BSTR* out) = 0;          // 7
};

struct IGUIDList : public IVTBase {
  typedef IVTBase base_interface;
  virtual HRESULT Add(BSTR value) = 0;               // 4
  virtual HRESULT get_Count(LONG* out) = 0;          // 5
  virtual HRESULT GetAt(LONG index, BSTR* out) = 0;  // 6
};

// A reference to a list record by ListID or FullName (CustomerRef, AccountRef...).
struct IVTBaseRef : public IVTBase {
  typedef IVTBase base_interface;
  virtual HRESULT get_ListID(IVTIDType** out) = 0;        // 4
  virtual HRESULT get_FullName(IVTStringType** out) = 0;  // 5
};

struct IVTBaseRefList : public IVTBase {
  typedef IVTBase base_interface;
  virtual HRESULT GetAt(LONG index, IVTBaseRef** out) = 0;  // 4
  virtual HRESULT get_Count(LONG* out) = 0;                 // 5
  virtual HRESULT Append(IVTBaseRef** out) = 0;             // 6
};

// Enumerated values and lists of them: one interface per enumeration, declared by these
// shapes (the enumerations themselves are in vtfc4/gen/enums.h).
#define VTFC4_ENUM_VALUE_INTERFACE(Name)                                   \
  struct IVT##Name##Type : public IBasicPropertyType {                     \
    typedef IBasicPropertyType base_interface;                             \
    virtual HRESULT SetValue(Name value) = 0;      /* 5 */                 \
    virtual HRESULT GetValue(Name* out) = 0;       /* 6 */                 \
    virtual HRESULT SetAsString(BSTR value) = 0;   /* 7 */                 \
    virtual HRESULT GetAsString(BSTR* out) = 0;    /* 8 */                 \
  };
#define VTFC4_ENUM_LIST_INTERFACE(Name)                                    \
  struct I##Name##List : public IVTBase {                                  \
    typedef IVTBase base_interface;                                        \
    virtual HRESULT Add(Name value) = 0;                      /* 4 */      \
    virtual HRESULT get_Count(LONG* out) = 0;                 /* 5 */      \
    virtual HRESULT GetAt(LONG index, Name* out) = 0;         /* 6 */      \
    virtual HRESULT AddAsString(BSTR value) = 0;              /* 7 */      \
    virtual HRESULT GetAtAsString(LONG index, BSTR* out) = 0; /* 8 */      \
  };

VTFC4_IID_TRAIT(IBasicPropertyType)
VTFC4_IID_TRAIT(IObjectType)
VTFC4_IID_TRAIT(IVTBase)
VTFC4_IID_TRAIT(IVTStringType)
VTFC4_IID_TRAIT(IVTIntType)
VTFC4_IID_TRAIT(IVTFloatType)
VTFC4_IID_TRAIT(IVTAmountType)
VTFC4_IID_TRAIT(IVTPriceType)
VTFC4_IID_TRAIT(IVTPercentType)
VTFC4_IID_TRAIT(IVTQuanType)
VTFC4_IID_TRAIT(IVTBoolType)
VTFC4_IID_TRAIT(IVTDateType)
VTFC4_IID_TRAIT(IVTDateTimeType)
VTFC4_IID_TRAIT(IVTTimeIntervalType)
VTFC4_IID_TRAIT(IVTIDType)
VTFC4_IID_TRAIT(IVTGUIDType)
VTFC4_IID_TRAIT(IBSTRList)
VTFC4_IID_TRAIT(IGUIDList)
VTFC4_IID_TRAIT(IVTBaseRef)
VTFC4_IID_TRAIT(IVTBaseRefList)

#endif  // VTFC4_VALUES_H
