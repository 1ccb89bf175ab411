// Internal: the numbered message texts and the error-report convention of every public
// operation (an error object on the calling thread, then the fixed status code).
#ifndef VTFC4_SRC_COM_ERROR_H
#define VTFC4_SRC_COM_ERROR_H

#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace vtfc4 {

// Message ids of the library's texts (601 to 661).
enum MessageId : UINT {
  kMsgInternalError603 = 603,
  kMsgNoTicket = 604,
  kMsgRequiredFieldMissing = 610,
  kMsgRequiredListEmpty = 616,
  kMsgListBlock = 617,
  kMsgEndOf = 618,
  kMsgInternalError619 = 619,
  kMsgOutOfMemory = 620,
  kMsgInternalError621 = 621,
  kMsgListIsEmpty = 624,
  kMsgEnumOutOfRange = 625,
  kMsgRequiredObjectEmpty = 626,
  kMsgORMultipleValues = 627,
  kMsgMissingOnError = 628,
  kMsgCannotCreateRP2 = 629,
  kMsgUnsupportedVersion = 631,
  kMsgRequestNotSupported = 632,
  kMsgInvalidGuid = 633,
  kMsgValueEmpty = 634,
  kMsgNoValue = 635,
  kMsgStringTooLong = 636,
  kMsgMacroNotAllowed = 637,
  kMsgInvalidAmount = 638,
  kMsgEmptyNumeric = 639,
  kMsgInvalidDate = 640,
  kMsgInvalidPercent = 641,
  kMsgInvalidPrice = 642,
  kMsgInvalidQuantity = 643,
  kMsgNegativeInterval = 644,
  kMsgInvalidTimeZone = 645,
  kMsgUseDesktopManager = 651,
  kMsgUseOnlineManager = 652,
  kMsgInvalidCountry = 655,
  kMsgInvalidRequestVersion = 656,
  kMsgConnectionTicketMissing = 657,
  kMsgFeatureNotSupported = 658,
  kMsgModeEstablished = 659,
  kMsgIntegerOutOfRange = 660,
  kMsgCannotCreateRP2e = 661,
};

// Status codes of the library's own failures.
inline constexpr HRESULT kNoValue = VTFC4_HR(0x80040300);           // value not set
inline constexpr HRESULT kParseFailed = VTFC4_HR(0x80040301);       // document did not parse
inline constexpr HRESULT kEnumOutOfRange = VTFC4_HR(0x80040302);
inline constexpr HRESULT kOutOfRange = VTFC4_HR(0x80040303);        // integer, interval, index
inline constexpr HRESULT kStringTooLong = VTFC4_HR(0x80040304);
inline constexpr HRESULT kInvalidFormat = VTFC4_HR(0x80040305);
inline constexpr HRESULT kValueEmpty = VTFC4_HR(0x80040306);
inline constexpr HRESULT kVerifyFailed = VTFC4_HR(0x80040307);
inline constexpr HRESULT kCannotCreateProcessor = VTFC4_HR(0x80040308);
inline constexpr HRESULT kUnsupportedVersion = VTFC4_HR(0x8004030A);
inline constexpr HRESULT kNotSupported = VTFC4_HR(0x8004030B);
inline constexpr HRESULT kWrongManager = VTFC4_HR(0x8004030C);
inline constexpr HRESULT kHttpStatus = VTFC4_HR(0x8004030D);
inline constexpr HRESULT kRecoveryFailed = VTFC4_HR(0x8004030E);
inline constexpr HRESULT kRecoveryRecord = VTFC4_HR(0x80040310);
inline constexpr HRESULT kNoConnectionTicket = VTFC4_HR(0x80040311);
inline constexpr HRESULT kInvalidCountry = VTFC4_HR(0x80040312);
inline constexpr HRESULT kModeEstablished = VTFC4_HR(0x80040313);
inline constexpr HRESULT kCannotCreateProcessorEx = VTFC4_HR(0x80040314);
inline constexpr HRESULT kNoTicket = VTFC4_HR(0x8004040C);

// Copies message `id` into `buffer` (at most max - 1 characters and a NUL) and returns the
// number of characters copied; 0 when the id has no text, as a missing string resource.
int LoadMessageString(UINT id, char* buffer, int max);

// The text of message `id`, at most 1024 characters, or "Unknown Error" when it has none.
std::string MessageText(UINT id);

// Makes the calling thread's current error object: null interface id, the description
// (narrow text), and the source when given (a ProgID). Returns `status`.
HRESULT ReportErrorText(std::string_view description, HRESULT status,
                        const char* source = nullptr);

// The same with the description taken from the message table.
HRESULT ReportError(UINT messageId, HRESULT status, const char* source = nullptr);

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_ERROR_H
