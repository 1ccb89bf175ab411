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

#endif  // VTFC4_VALUES_H
