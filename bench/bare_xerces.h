// A bare Xerces SAX1 pass with callbacks that do nothing and the parser settings of the
// library's parse manager: the baseline the benchmarks compare the library with.
#ifndef VTFC4_BENCH_BARE_XERCES_H
#define VTFC4_BENCH_BARE_XERCES_H

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include <string_view>

inline void ParseBare(std::string_view document) {
  xercesc::HandlerBase handlers;
  xercesc::SecurityManager security;
  security.setEntityExpansionLimit(1000);
  xercesc::SAXParser parser;
  parser.setValidationScheme(xercesc::SAXParser::Val_Never);
  parser.setLoadExternalDTD(false);
  parser.setDoNamespaces(false);
  parser.setDisableDefaultEntityResolution(true);
  parser.setSecurityManager(&security);
  parser.setDocumentHandler(&handlers);
  parser.setErrorHandler(&handlers);
  parser.setEntityResolver(&handlers);
  xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(document.data()), document.size(),
                                    u"vtxmlops.dtd", false);
  source.setCopyBufToStream(false);
  parser.parse(source);
}

#endif  // VTFC4_BENCH_BARE_XERCES_H
