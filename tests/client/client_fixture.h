// What the client layer's tests share: a manager made without a connection (for request sets
// and answers read from text), answers parsed from a document, and a folder with a registry
// naming the sandbox's processor and a new company file for the tests that open sessions.
#ifndef VTFC4_TESTS_CLIENT_CLIENT_FIXTURE_H
#define VTFC4_TESTS_CLIENT_CLIENT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "session/sandbox_folder.h"
#include "vtfc4/client.hpp"

namespace vtfc4 {

// A desktop manager that opens nothing: enough to make request sets and read answers.
inline ComPtr<IVTSessionManager> LooseManager() {
  ComPtr<IClassFactory> factory;
  check(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()));
  ComPtr<IVTSessionManager> manager;
  check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()));
  return manager;
}

// An answer document of vtXML 4.0 around `responses`, read into objects.
inline ComPtr<IMsgSetResponse> Answer(const std::string& responses) {
  const std::string text = "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n" + responses +
                           "</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  Utf8CodePage utf8;
  ComPtr<IMsgSetResponse> answer;
  check(LooseManager()->ToMsgSetResponse(toBstr(text).Get(), toBstr("US").Get(), 4, 0, answer.Put()),
        "ToMsgSetResponse");
  return answer;
}

// The Error `call` throws; a test failure when it throws none.
inline Error Thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no vtfc4::Error was thrown";
  return Error(S_OK, "");
}

// A folder of the test's own with the sandbox's processors registered and a new company file
// (company_), and error-recovery records kept in it.
class ClientSession : public SandboxFolder<> {
 protected:
  void SetUp() override {
    SandboxFolder<>::SetUp();
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
  }
};

}  // namespace vtfc4

#endif  // VTFC4_TESTS_CLIENT_CLIENT_FIXTURE_H
