// The classes of event subscriptions and of events, made from the catalogue on their own (the
// message sets that carry them are tested with those sets): subscriptions filled through their
// interfaces, written byte for byte and verified; events read from their text into the typed
// objects and written back.
#include <gtest/gtest.h>

#include "support.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "src/catalogue/engine.h"
#include "src/com/text.h"
#include "src/core/xml_builder.h"
#include "src/xml/sax.h"
#include "src/xml/tag_table.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {
namespace {

// A new object of catalogue class `name`, for a request (filled by the client) or for an
// answer (filled by the parser), in vtXML 4.0 of the US edition.
template <class I>
ComPtr<I> Make(const char* name, bool isRequest) {
  const CatalogueClass* cls = FindCatalogueClass(name);
  EXPECT_NE(cls, nullptr) << name;
  ComPtr<I> out;
  if (!cls) return out;
  auto context = std::make_shared<VersionContext>();
  context->major = 4;
  ObjectRoot* made = cls->factory(isRequest, context);
  EXPECT_NE(made, nullptr) << name;
  if (!made) return out;
  EXPECT_EQ(made->QueryRoot(iid_of<I>(), out.PutVoid()), S_OK) << name;
  made->ReleaseRoot();
  return out;
}

template <class O, class C, class M>
ComPtr<M> Member(const ComPtr<O>& object, HRESULT (C::*get)(M**)) {
  ComPtr<M> member;
  EXPECT_EQ((object.Get()->*get)(member.Put()), S_OK);
  return member;
}

void SetText(const ComPtr<IVTStringType>& v, const char16_t* text) {
  ASSERT_TRUE(v);
  ASSERT_EQ(v->SetValue(Bstr(text).Get()), S_OK);
}

std::string Text(const ComPtr<IVTStringType>& v) {
  Bstr text;
  if (!v || FAILED(v->GetValue(text.Put()))) return "(none)";
  return ToNarrow(text.Get());
}

void SetGuid(const ComPtr<IVTGUIDType>& v, const char16_t* text) {
  ASSERT_TRUE(v);
  ASSERT_EQ(v->SetValue(Bstr(text).Get()), S_OK);
}

// The object's element as the writer makes it (without the document's prolog).
template <class I>
std::string Written(const ComPtr<I>& object) {
  auto* root = dynamic_cast<ObjectRoot*>(object.Get());
  if (!root || !root->AsBuildable()) return "<not buildable>";
  XMLBuilder builder(4, 0, kCountryUS);
  const size_t prolog = builder.Output().size();
  root->AsBuildable()->Build("", builder);
  return std::string(builder.Output().substr(prolog));
}

template <class I>
std::string Report(const ComPtr<I>& object) {
  Bstr text;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(object->Verify(text.Put(), &ok), S_OK);
  return ok == VARIANT_TRUE ? "ok" : ToNarrow(text.Get());
}

const char16_t* const kSubscriber = u"{6B29FC40-CA47-1067-B31D-00DD010662DA}";

// ---- Subscriptions.

// The program events go to, by its program ID.
void FillCallback(const ComPtr<ICOMCallbackInfo>& callback) {
  SetText(Member(callback, &ICOMCallbackInfo::get_AppName), u"Ledger Watch");
  SetText(Member(Member(callback, &ICOMCallbackInfo::get_ORProgCLSID), &IORProgCLSID::get_ProgID),
          u"LedgerWatch.Listener");
}

// A subscription to customers and vendors being added.
void FillListSubscription(const ComPtr<IListEventSubscriptionList>& list) {
  ComPtr<IListEventSubscription> entry;
  ASSERT_EQ(list->Append(entry.Put()), S_OK);
  auto types = Member(entry, &IListEventSubscription::get_ListEventTypeList);
  ASSERT_EQ(types->Add(letCustomer), S_OK);
  ASSERT_EQ(types->Add(letVendor), S_OK);
  ASSERT_EQ(Member(entry, &IListEventSubscription::get_ListEventOperationList)->Add(leoAdd), S_OK);
}

TEST(SubscriptionClasses, DataEventSubscriptionAddIsWrittenInTableOrder) {
  auto add = Make<IDataEventSubscriptionAdd>("DataEventSubscriptionAdd", true);
  ASSERT_TRUE(add);
  // Filled out of order: the writer follows the table.
  FillListSubscription(Member(add, &IDataEventSubscriptionAdd::get_ListEventSubscriptionList));
  ASSERT_EQ(Member(add, &IDataEventSubscriptionAdd::get_DeliveryPolicy)->SetValue(dpDeliverOnlyIfRunning), S_OK);
  FillCallback(Member(add, &IDataEventSubscriptionAdd::get_COMCallbackInfo));
  SetGuid(Member(add, &IDataEventSubscriptionAdd::get_SubscriberID), kSubscriber);
  Member(add, &IDataEventSubscriptionAdd::get_TxnEventSubscriptionList);  // asked for, left empty
  EXPECT_EQ(Written(add),
            "<DataEventSubscriptionAdd>\r\n"
            "<SubscriberID>{6B29FC40-CA47-1067-B31D-00DD010662DA}</SubscriberID>\r\n"
            "<COMCallbackInfo>\r\n<AppName>Ledger Watch</AppName>\r\n<ProgID>LedgerWatch.Listener</ProgID>\r\n"
            "</COMCallbackInfo>\r\n"
            "<DeliveryPolicy>DeliverOnlyIfRunning</DeliveryPolicy>\r\n"
            "<ListEventSubscription>\r\n<ListEventType>Customer</ListEventType>\r\n"
            "<ListEventType>Vendor</ListEventType>\r\n<ListEventOperation>Add</ListEventOperation>\r\n"
            "</ListEventSubscription>\r\n"
            "</DataEventSubscriptionAdd>\r\n");
  EXPECT_EQ(Report(add), "ok");
  ENORProgCLSID choice = orpclsidNA;
  ASSERT_EQ(Member(Member(add, &IDataEventSubscriptionAdd::get_COMCallbackInfo), &ICOMCallbackInfo::get_ORProgCLSID)
                ->get_ortype(&choice),
            S_OK);
  EXPECT_EQ(choice, orpclsidProgID);
}

struct VerifyCase {
  const char* what;
  std::function<void(const ComPtr<IDataEventSubscriptionAdd>&)> fill;
  const char* report;
};

TEST(SubscriptionClasses, DataEventSubscriptionAddIsVerified) {
  using Add = IDataEventSubscriptionAdd;
  auto complete = [](const ComPtr<Add>& add) {
    SetGuid(Member(add, &Add::get_SubscriberID), kSubscriber);
    FillCallback(Member(add, &Add::get_COMCallbackInfo));
    ASSERT_EQ(Member(add, &Add::get_DeliveryPolicy)->SetValue(dpDeliverAlways), S_OK);
  };
  const VerifyCase cases[] = {
      {"nothing set", [](const ComPtr<Add>&) {},
       "SubscriberID: required field is missing\r\nCOMCallbackInfo: required field is missing\r\n"
       "DeliveryPolicy: required field is missing\r\n"},
      {"the required members", complete, "ok"},
      {"the policy missing",
       [&](const ComPtr<Add>& add) {
         complete(add);
         ASSERT_EQ(Member(add, &Add::get_DeliveryPolicy)->Unset(), S_OK);
         ASSERT_EQ(Member(add, &Add::get_DeliverOwnEvents)->SetValue(VARIANT_FALSE), S_OK);
       },
       "DeliveryPolicy: required field is missing\r\n"},
      {"a callback without its program",
       [](const ComPtr<Add>& add) {
         SetGuid(Member(add, &Add::get_SubscriberID), kSubscriber);
         SetText(Member(Member(add, &Add::get_COMCallbackInfo), &ICOMCallbackInfo::get_AppName), u"Ledger Watch");
         ASSERT_EQ(Member(add, &Add::get_DeliveryPolicy)->SetValue(dpDeliverAlways), S_OK);
       },
       "COMCallbackInfo:\r\nORProgCLSID: required field is missing\r\nEnd of COMCallbackInfo\r\n"},
      {"a callback by program ID and by CLSID",
       [&](const ComPtr<Add>& add) {
         complete(add);
         auto choice = Member(Member(add, &Add::get_COMCallbackInfo), &ICOMCallbackInfo::get_ORProgCLSID);
         SetGuid(Member(choice, &IORProgCLSID::get_CLSID), kSubscriber);
       },
       "COMCallbackInfo:\r\nORProgCLSID:\r\nOR object has multiple values\r\nEnd of ORProgCLSID\r\n"
       "End of COMCallbackInfo\r\n"},
      {"a list subscription without operations",
       [&](const ComPtr<Add>& add) {
         complete(add);
         ComPtr<IListEventSubscription> entry;
         ASSERT_EQ(Member(add, &Add::get_ListEventSubscriptionList)->Append(entry.Put()), S_OK);
         ASSERT_EQ(Member(entry, &IListEventSubscription::get_ListEventTypeList)->Add(letItemService), S_OK);
       },
       "ListEventSubscriptionList:\r\nelement(0) - ListEventOperationList: required list is empty\r\n"
       "End of ListEventSubscriptionList\r\n"},
      {"a transaction subscription with both lists",
       [&](const ComPtr<Add>& add) {
         complete(add);
         ComPtr<ITxnEventSubscription> entry;
         ASSERT_EQ(Member(add, &Add::get_TxnEventSubscriptionList)->Append(entry.Put()), S_OK);
         ASSERT_EQ(Member(entry, &ITxnEventSubscription::get_TxnEventTypeList)->Add(tetInvoice), S_OK);
         ASSERT_EQ(Member(entry, &ITxnEventSubscription::get_TxnEventOperationList)->Add(teoDelete), S_OK);
       },
       "ok"},
  };
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto add = Make<Add>("DataEventSubscriptionAdd", true);
    ASSERT_TRUE(add);
    c.fill(add);
    EXPECT_EQ(Report(add), c.report);
  }
}

TEST(SubscriptionClasses, MenuExtensionWithASubmenu) {
  auto add = Make<IUIExtensionSubscriptionAdd>("UIExtensionSubscriptionAdd", true);
  ASSERT_TRUE(add);
  SetGuid(Member(add, &IUIExtensionSubscriptionAdd::get_SubscriberID), kSubscriber);
  auto callback = Member(add, &IUIExtensionSubscriptionAdd::get_COMCallbackInfo);
  SetText(Member(callback, &ICOMCallbackInfo::get_AppName), u"Ledger Watch");
  SetGuid(Member(Member(callback, &ICOMCallbackInfo::get_ORProgCLSID), &IORProgCLSID::get_CLSID),
          u"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  auto menu = Member(add, &IUIExtensionSubscriptionAdd::get_MenuExtensionSubscription);
  ASSERT_EQ(Member(menu, &IMenuExtensionSubscription::get_AddToMenu)->SetValue(atmCustomers), S_OK);
  auto submenu = Member(Member(menu, &IMenuExtensionSubscription::get_ORMenuSubmenu), &IORMenuSubmenu::get_Submenu);
  EXPECT_EQ(Report(add),
            "MenuExtensionSubscription:\r\nORMenuSubmenu:\r\nRequired object is empty\r\n"
            "End of ORMenuSubmenu\r\nEnd of MenuExtensionSubscription\r\n")
      << "neither an item nor a submenu";
  SetText(Member(submenu, &ISubmenu::get_MenuText), u"Watch");
  auto items = Member(submenu, &ISubmenu::get_MenuItemList);
  ComPtr<IMenuItem> first, second;
  ASSERT_EQ(items->Append(first.Put()), S_OK);
  ASSERT_EQ(items->Append(second.Put()), S_OK);
  SetText(Member(first, &IMenuItem::get_MenuText), u"Open balances");
  SetText(Member(first, &IMenuItem::get_EventTag), u"balances");
  SetText(Member(second, &IMenuItem::get_MenuText), u"Price levels");
  EXPECT_EQ(Report(add),
            "MenuExtensionSubscription:\r\nORMenuSubmenu:\r\nSubmenu:\r\nMenuItemList:\r\n"
            "element(1) - EventTag: required field is missing\r\nEnd of MenuItemList\r\nEnd of Submenu\r\n"
            "End of ORMenuSubmenu\r\nEnd of MenuExtensionSubscription\r\n");
  SetText(Member(second, &IMenuItem::get_EventTag), u"levels");
  auto condition = Member(second, &IMenuItem::get_DisplayCondition);
  ASSERT_EQ(Member(condition, &IDisplayCondition::get_VisibleIfList)->Add(viPriceLevelsEnabled), S_OK);
  ASSERT_EQ(Member(condition, &IDisplayCondition::get_EnabledIfNotList)->Add(einIsAccountantCopy), S_OK);
  ASSERT_EQ(Member(condition, &IDisplayCondition::get_EnabledIfNotList)->Add(einMultiUserMode), S_OK);
  EXPECT_EQ(Written(add),
            "<UIExtensionSubscriptionAdd>\r\n"
            "<SubscriberID>{6B29FC40-CA47-1067-B31D-00DD010662DA}</SubscriberID>\r\n"
            "<COMCallbackInfo>\r\n<AppName>Ledger Watch</AppName>\r\n"
            "<CLSID>{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}</CLSID>\r\n</COMCallbackInfo>\r\n"
            "<MenuExtensionSubscription>\r\n<AddToMenu>Customers</AddToMenu>\r\n"
            "<Submenu>\r\n<MenuText>Watch</MenuText>\r\n"
            "<MenuItem>\r\n<MenuText>Open balances</MenuText>\r\n<EventTag>balances</EventTag>\r\n</MenuItem>\r\n"
            "<MenuItem>\r\n<MenuText>Price levels</MenuText>\r\n<EventTag>levels</EventTag>\r\n"
            "<DisplayCondition>\r\n<VisibleIf>PriceLevelsEnabled</VisibleIf>\r\n"
            "<EnabledIfNot>IsAccountantCopy</EnabledIfNot>\r\n<EnabledIfNot>MultiUserMode</EnabledIfNot>\r\n"
            "</DisplayCondition>\r\n</MenuItem>\r\n"
            "</Submenu>\r\n</MenuExtensionSubscription>\r\n"
            "</UIExtensionSubscriptionAdd>\r\n");
  EXPECT_EQ(Report(add), "ok");
  ENORMenuSubmenu choice = ormsNA;
  ASSERT_EQ(Member(menu, &IMenuExtensionSubscription::get_ORMenuSubmenu)->get_ortype(&choice), S_OK);
  EXPECT_EQ(choice, ormsSubmenu);
}

// ---- Events.

// The document's top element goes to one object; anything else fails the parse.
class Holder final : public SAXParseable {
 public:
  Holder(int tag, SAXParseable* face) : tag_(tag), face_(face) {}
  SAXParseable* HandleAggregate(int tag) override {
    if (tag != tag_) throw SAXParseHandlerException("unexpected top element");
    return face_;
  }
  void HandleElement(int, const std::string*) override { throw SAXParseHandlerException("unexpected leaf"); }
  void HandleAttribute(int, const std::string*) override { throw SAXParseHandlerException("unexpected attribute"); }
  void HandleEndAggregate(int) override {}

 private:
  int tag_;
  SAXParseable* face_;
};

// Reads `text`, whose top element is `tag`, into `object`; the parser's error text on failure.
template <class I>
bool ParseInto(const ComPtr<I>& object, int tag, const std::string& text, std::string& error) {
  auto* root = dynamic_cast<ObjectRoot*>(object.Get());
  if (!root || !root->AsParseable()) {
    error = "not parseable";
    return false;
  }
  Holder holder(tag, root->AsParseable());
  auto manager = MakeParseManager();
  if (!manager) {
    error = "no parse manager";
    return false;
  }
  const bool parsed = manager->ParseBuffer(&holder, text, kVTXMLBufferId);
  if (!parsed) manager->GetLastError(error);
  return parsed;
}

template <class O, class C>
std::string TextOf(const ComPtr<O>& object, HRESULT (C::*get)(IVTIDType**)) {
  Bstr text;
  auto value = Member(object, get);
  if (!value || value->GetValue(text.Put()) != S_OK) return "<unset>";
  return ToNarrow(text.Get());
}

const std::string kHost =
    "<HostInfo>\r\n<ProductName>Vantrel Desk</ProductName>\r\n<MajorVersion>16</MajorVersion>\r\n"
    "<MinorVersion>0</MinorVersion>\r\n<Country>US</Country>\r\n</HostInfo>\r\n";

struct DataEventCase {
  const char* what;
  std::string text;
  ENORListTxnEvent choice;
  std::string id;  // the ListID or TxnID read
};

TEST(EventClasses, DataEventIsReadAndWrittenBack) {
  const DataEventCase cases[] = {
      {"a merged customer",
       "<DataEvent>\r\n<CompanyFilePath>C:\\Books\\Ames.vbk</CompanyFilePath>\r\n" + kHost +
           "<ListEvent>\r\n<ListEventType>Customer</ListEventType>\r\n<ListEventOperation>Merge</ListEventOperation>\r\n"
           "<ListID>80000005-1100000000</ListID>\r\n<AfterMergeListID>80000002-1000000000</AfterMergeListID>\r\n"
           "</ListEvent>\r\n</DataEvent>\r\n",
       orlteListEvent, "80000005-1100000000"},
      {"an invoice changed after a restore",
       "<DataEvent>\r\n<CompanyFilePath>C:\\Books\\Ames.vbk</CompanyFilePath>\r\n" + kHost +
           "<TxnEvent>\r\n<TxnEventType>Invoice</TxnEventType>\r\n<TxnEventOperation>Modify</TxnEventOperation>\r\n"
           "<TxnID>1A2B-1200000000</TxnID>\r\n<RefNumber>1042</RefNumber>\r\n</TxnEvent>\r\n"
           "<LastRestoreTime>2004-10-29T12:00:00</LastRestoreTime>\r\n"
           "<DataEventRecoveryTime>2004-10-30T08:15:00</DataEventRecoveryTime>\r\n</DataEvent>\r\n",
       orlteTxnEvent, "1A2B-1200000000"},
  };
  for (const DataEventCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto event = Make<IDataEvent>("DataEvent", false);
    ASSERT_TRUE(event);
    std::string error;
    ASSERT_TRUE(ParseInto(event, tag::DataEvent, c.text, error)) << error;
    auto choice = Member(event, &IDataEvent::get_ORListTxnEvent);
    ENORListTxnEvent got = orlteNA;
    ASSERT_EQ(choice->get_ortype(&got), S_OK);
    EXPECT_EQ(got, c.choice);
    if (c.choice == orlteListEvent) {
      auto list = Member(choice, &IORListTxnEvent::get_ListEvent);
      EXPECT_EQ(TextOf(list, &IListEvent::get_ListID), c.id);
      ENListEventOperation op = leoAdd;
      ASSERT_EQ(Member(list, &IListEvent::get_ListEventOperation)->GetValue(&op), S_OK);
      EXPECT_EQ(op, leoMerge);
    } else {
      auto txn = Member(choice, &IORListTxnEvent::get_TxnEvent);
      EXPECT_EQ(TextOf(txn, &ITxnEvent::get_TxnID), c.id);
      ENTxnEventType type = tetBill;
      ASSERT_EQ(Member(txn, &ITxnEvent::get_TxnEventType)->GetValue(&type), S_OK);
      EXPECT_EQ(type, tetInvoice);
    }
    Bstr country;
    ASSERT_EQ(Member(Member(event, &IDataEvent::get_HostInfo), &IHostInfo::get_Country)->GetValue(country.Put()), S_OK);
    EXPECT_EQ(ToNarrow(country.Get()), "US");
    EXPECT_EQ(Written(event), c.text);
    EXPECT_EQ(Report(event), "ok");
  }
}

struct EventsCase {
  const char* what;
  std::string body;
  ENOREvent choice;
  std::function<void(const ComPtr<IOREvent>&)> check;
};

TEST(EventClasses, TheEventsOfADocumentBody) {
  const EventsCase cases[] = {
      {"two data events",
       "<DataEvent>\r\n<CompanyFilePath>a</CompanyFilePath>\r\n" + kHost +
           "<ListEvent>\r\n<ListEventType>Vendor</ListEventType>\r\n<ListEventOperation>Add</ListEventOperation>\r\n"
           "<ListID>1-1</ListID>\r\n</ListEvent>\r\n</DataEvent>\r\n"
           "<DataEvent>\r\n<CompanyFilePath>a</CompanyFilePath>\r\n" + kHost +
           "<TxnEvent>\r\n<TxnEventType>Check</TxnEventType>\r\n<TxnEventOperation>Delete</TxnEventOperation>\r\n"
           "<TxnID>2-2</TxnID>\r\n</TxnEvent>\r\n</DataEvent>\r\n",
       orevDataEvent,
       [](const ComPtr<IOREvent>& e) {
         auto list = Member(e, &IOREvent::get_DataEventList);
         LONG count = 0;
         ASSERT_EQ(list->get_Count(&count), S_OK);
         ASSERT_EQ(count, 2);
         ComPtr<IDataEvent> second;
         ASSERT_EQ(list->GetAt(1, second.Put()), S_OK);
         ENORListTxnEvent got = orlteNA;
         ASSERT_EQ(Member(second, &IDataEvent::get_ORListTxnEvent)->get_ortype(&got), S_OK);
         EXPECT_EQ(got, orlteTxnEvent);
       }},
      {"a company file opened",
       "<UIEvent>\r\n<CompanyFilePath>a</CompanyFilePath>\r\n" + kHost +
           "<CompanyFileEvent>\r\n<CompanyFileEventOperation>Open</CompanyFileEventOperation>\r\n"
           "<IsNewCompany>0</IsNewCompany>\r\n</CompanyFileEvent>\r\n</UIEvent>\r\n",
       orevUIEvent,
       [](const ComPtr<IOREvent>& e) {
         auto file = Member(Member(e, &IOREvent::get_UIEvent), &IUIEvent::get_CompanyFileEvent);
         ENCompanyFileEventOperation op = cfeoClose;
         ASSERT_EQ(Member(file, &ICompanyFileEvent::get_CompanyFileEventOperation)->GetValue(&op), S_OK);
         EXPECT_EQ(op, cfeoOpen);
       }},
      {"a menu item chosen in a list window",
       "<UIExtensionEvent>\r\n<CompanyFilePath>a</CompanyFilePath>\r\n" + kHost +
           "<EventTag>levels</EventTag>\r\n<CurrentWindow>\r\n<ListType>PriceLevel</ListType>\r\n"
           "<ListID>3-3</ListID>\r\n</CurrentWindow>\r\n</UIExtensionEvent>\r\n",
       orevUIExtensionEvent,
       [](const ComPtr<IOREvent>& e) {
         auto window = Member(Member(Member(e, &IOREvent::get_UIExtensionEvent), &IUIExtensionEvent::get_CurrentWindow),
                              &ICurrentWindow::get_ORCurrentWindow);
         ENORCurrentWindow got = orcwNA;
         ASSERT_EQ(window->get_ortype(&got), S_OK);
         EXPECT_EQ(got, orcwListTypeID);
         EXPECT_EQ(TextOf(Member(window, &IORCurrentWindow::get_ListTypeID), &IListTypeID::get_ListID), "3-3");
       }},
  };
  for (const EventsCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto event = Make<IOREvent>("OREvent", false);
    ASSERT_TRUE(event);
    std::string error;
    ASSERT_TRUE(ParseInto(event, tag::VTXMLEvents, "<VTXMLEvents>\r\n" + c.body + "</VTXMLEvents>\r\n", error))
        << error;
    ENOREvent got = orevNA;
    ASSERT_EQ(event->get_ortype(&got), S_OK);
    EXPECT_EQ(got, c.choice);
    c.check(event);
    EXPECT_EQ(Written(event), c.body) << "a choice writes its member's elements only";
    EXPECT_EQ(Report(event), "ok");
  }
}

// A subscription as the answer to its Add gives it back: the Add's members, with the time it
// was made after the subscriber, and its callback, a class or a URL to post events to.
TEST(EventClasses, SubscriptionAnswerIsReadAndWrittenBack) {
  const struct {
    const char* callback;
    const char* name;  // the ProgID or the URL
  } cases[] = {
      {"<COMCallbackInfo>\r\n<AppName>Ledger Watch</AppName>\r\n<ProgID>LedgerWatch.Listener</ProgID>\r\n"
       "</COMCallbackInfo>\r\n",
       "LedgerWatch.Listener"},
      {"<HTTPCallbackInfo>\r\n<AppName>Ledger Watch</AppName>\r\n<URL>https://watch.example/events</URL>\r\n"
       "</HTTPCallbackInfo>\r\n",
       "https://watch.example/events"},
  };
  for (const auto& c : cases) {
    const std::string text =
        std::string("<UIEventSubscriptionRet>\r\n<SubscriberID>{6B29FC40-CA47-1067-B31D-00DD010662DA}</SubscriberID>\r\n"
                    "<TimeCreated>2004-10-29T12:00:00</TimeCreated>\r\n") +
        c.callback +
        "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\r\n"
        "<CompanyFileEventSubscription>\r\n<CompanyFileEventOperation>Open</CompanyFileEventOperation>\r\n"
        "<CompanyFileEventOperation>Close</CompanyFileEventOperation>\r\n</CompanyFileEventSubscription>\r\n"
        "</UIEventSubscriptionRet>\r\n";
    auto ret = Make<IUIEventSubscriptionRet>("UIEventSubscriptionRet", false);
    ASSERT_TRUE(ret);
    std::string error;
    ASSERT_TRUE(ParseInto(ret, tag::UIEventSubscriptionRet, text, error)) << error;
    DATE created = 0;
    ASSERT_EQ(Member(ret, &IUIEventSubscriptionRet::get_TimeCreated)->GetValue(&created), S_OK);
    EXPECT_DOUBLE_EQ(created, 38289.5);
    auto choice = Member(ret, &IUIEventSubscriptionRet::get_ORCOMHTTPCallbackInfo);
    ComPtr<ICOMCallbackInfo> byClass;
    ComPtr<IHTTPCallbackInfo> byUrl;
    ASSERT_EQ(choice->get_COMCallbackInfo(byClass.Put()), S_OK);
    ASSERT_EQ(choice->get_HTTPCallbackInfo(byUrl.Put()), S_OK);
    ASSERT_NE(!byClass, !byUrl) << "one callback is chosen";
    EXPECT_EQ(byClass ? Text(Member(Member(byClass, &ICOMCallbackInfo::get_ORProgCLSID), &IORProgCLSID::get_ProgID))
                      : Text(Member(byUrl, &IHTTPCallbackInfo::get_URL)),
              c.name);
    auto operations = Member(Member(ret, &IUIEventSubscriptionRet::get_CompanyFileEventSubscription),
                             &ICompanyFileEventSubscription::get_CompanyFileEventOperationList);
    LONG count = 0;
    ASSERT_EQ(operations->get_Count(&count), S_OK);
    ASSERT_EQ(count, 2);
    ENCompanyFileEventOperation second = cfeoOpen;
    ASSERT_EQ(operations->GetAt(1, &second), S_OK);
    EXPECT_EQ(second, cfeoClose);
    EXPECT_EQ(Written(ret), text);
  }
}

TEST(EventClasses, ElementsOutsideTheEventFailTheParse) {
  const struct {
    const char* what;
    std::string text;
    const char* refused;  // the element the parse names as the one it could not take
  } cases[] = {
      {"a UI event's member in a data event",
       "<DataEvent>\r\n<CompanyFilePath>a</CompanyFilePath>\r\n<CompanyFileEvent>\r\n"
       "<CompanyFileEventOperation>Open</CompanyFileEventOperation>\r\n</CompanyFileEvent>\r\n</DataEvent>\r\n",
       "CompanyFileEvent"},
      {"a transaction's identifier in a list event",
       "<DataEvent>\r\n<ListEvent>\r\n<TxnID>1-1</TxnID>\r\n</ListEvent>\r\n</DataEvent>\r\n", "TxnID"},
      {"an event tag in a data event", "<DataEvent>\r\n<EventTag>x</EventTag>\r\n</DataEvent>\r\n", "EventTag"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto event = Make<IDataEvent>("DataEvent", false);
    ASSERT_TRUE(event);
    std::string error;
    EXPECT_FALSE(ParseInto(event, tag::DataEvent, c.text, error));
    EXPECT_NE(error.find(std::string("(") + c.refused + ")"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace vtfc4
