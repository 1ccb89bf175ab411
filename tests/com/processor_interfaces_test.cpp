// The request processor's interfaces keep their operations at the positions a component is
// built against: a slot moved or inserted would make every call land on the wrong operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "vtfc4/vtfc4.h"

namespace {

// The position of a virtual function in its vtable, counted from the first method after
// IDispatch (Itanium C++ ABI: a pointer to a virtual member holds 1 + its byte offset).
template <class M>
long Position(M member) {
  static_assert(sizeof(M) == 2 * sizeof(uintptr_t));
  uintptr_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
  EXPECT_EQ(raw[0] % sizeof(void*), 1u) << "not a virtual function";
  return static_cast<long>((raw[0] - 1) / sizeof(void*)) - 7 + 1;  // IUnknown 3 + IDispatch 4
}

struct Row {
  const char* operation;
  long position;
  long expected;
};
#define AT(I, M, N) Row{#I "::" #M, Position(&I::M), N}

TEST(ProcessorInterfaces, OperationsStandAtTheirPositions) {
  const Row rows[] = {
      AT(IRequestProcessor, ProcessRequest, 1),
      AT(IRequestProcessor, OpenConnection, 2),
      AT(IRequestProcessorEx, OpenConnection, 1),
      AT(IRequestProcessorEx, ProcessRequest, 2),
      AT(IRequestProcessor, CloseConnection, 3),
      AT(IRequestProcessorEx, CloseConnection, 3),
      AT(IRequestProcessor, BeginSession, 4),
      AT(IRequestProcessor, EndSession, 5),
      AT(IRequestProcessor, GetCurrentCompanyFileName, 6),
      AT(IRequestProcessorEx, GetCurrentCompanyFileName, 6),
      AT(IRequestProcessor, get_VTXMLVersionsForSession, 11),
      AT(IRequestProcessorEx, get_VTXMLVersionsForSession, 11),
      AT(IRequestProcessor, get_ConnectionType, 12),
      AT(IRequestProcessor, ProcessSubscription, 13),
      AT(IRequestProcessor, get_VTXMLVersionsForSubscription, 14),
      AT(IRequestProcessorEx, get_VTXMLVersionsForSubscription, 14),
      AT(IRequestProcessor2, OpenConnection2, 15),
      AT(IRequestProcessor2, get_AuthPreferences, 16),
      AT(IRequestProcessorEx2, OpenConnection2, 15),
      AT(IRequestProcessorEx2, get_AuthPreferences, 16),
      AT(IRequestProcessorAuthPrefs, WasAuthPreferencesObeyed, 1),
      AT(IRequestProcessorAuthPrefs, PutIsReadOnly, 3),
      AT(IRequestProcessorAuthPrefs, PutPersonalDataPref, 7),
      AT(IRequestProcessorExAuthPrefs, GetIsReadOnly, 2),
      AT(IRequestProcessorExAuthPrefs, GetPersonalDataPref, 6),
  };
  for (const Row& r : rows) EXPECT_EQ(r.position, r.expected) << r.operation;
}

TEST(ProcessorInterfaces, IdentifiersAreDistinct) {
  const GUID* ids[] = {&IID_IRequestProcessor,   &IID_IRequestProcessor2,      &IID_IRequestProcessorEx,
                       &IID_IRequestProcessorEx2, &IID_IRequestProcessorAuthPrefs, &IID_IRequestProcessorExAuthPrefs,
                       &CLSID_VTXMLRP2,          &CLSID_VTXMLRP2e,             &IID_IDispatch};
  for (size_t i = 0; i < std::size(ids); ++i)
    for (size_t k = i + 1; k < std::size(ids); ++k) EXPECT_FALSE(IsEqualGUID(*ids[i], *ids[k])) << i << " " << k;
}

}  // namespace
