// The subscription store and subscription message sets: each of the seven requests, the
// refusals, malformed documents, and the store's place.
#include "processor/subscriptions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "processor/sandbox_engine.h"

namespace vtfc4::sandbox {
namespace {

constexpr char kSubscriber[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";

// A subscription document as the library writes it, CR LF between elements.
std::string SubscriptionDocument(const std::string& requests, const std::string& version = "4.0") {
  std::string text = "<?xml version=\"1.0\" ?>\n<?vtxml version=\"" + version +
                     "\"?>\n<VTXML>\n<VTXMLSubscriptionMsgsRq>\n" + requests + "</VTXMLSubscriptionMsgsRq>\n</VTXML>\n";
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

std::string Callback(const std::string& prog = "<ProgID>Vendor.Subscriber</ProgID>") {
  return "<COMCallbackInfo>\n<AppName>Books watcher</AppName>\n" + prog + "\n</COMCallbackInfo>\n";
}

std::string Hook(const std::string& url) {
  return "<HTTPCallbackInfo>\n<AppName>Books watcher</AppName>\n<URL>" + url + "</URL>\n</HTTPCallbackInfo>\n";
}

std::string DataAdd(const std::string& subscriber, const std::string& inner, int id = 0) {
  return "<DataEventSubscriptionAddRq requestID = \"" + std::to_string(id) +
         "\">\n<DataEventSubscriptionAdd>\n<SubscriberID>" + subscriber + "</SubscriberID>\n" + inner +
         "</DataEventSubscriptionAdd>\n</DataEventSubscriptionAddRq>\n";
}

const std::string kDataBody = Callback() +
                              "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n<TrackLostEvents>All</TrackLostEvents>\n"
                              "<ListEventSubscription>\n<ListEventType>Customer</ListEventType>\n"
                              "<ListEventType>Vendor</ListEventType>\n<ListEventOperation>Add</ListEventOperation>\n"
                              "</ListEventSubscription>\n<TxnEventSubscription>\n<TxnEventType>Invoice</TxnEventType>\n"
                              "<TxnEventOperation>Delete</TxnEventOperation>\n</TxnEventSubscription>\n";

std::string UIAdd(const std::string& subscriber) {
  return "<UIEventSubscriptionAddRq requestID = \"1\">\n<UIEventSubscriptionAdd>\n<SubscriberID>" + subscriber +
         "</SubscriberID>\n" + Callback("<CLSID>{11111111-2222-3333-4444-555555555555}</CLSID>") +
         "<DeliveryPolicy>DeliverOnlyIfRunning</DeliveryPolicy>\n<CompanyFileEventSubscription>\n"
         "<CompanyFileEventOperation>Open</CompanyFileEventOperation>\n</CompanyFileEventSubscription>\n"
         "</UIEventSubscriptionAdd>\n</UIEventSubscriptionAddRq>\n";
}

std::string ExtensionAdd(const std::string& subscriber, const std::string& callback = Callback()) {
  return "<UIExtensionSubscriptionAddRq requestID = \"2\">\n<UIExtensionSubscriptionAdd>\n<SubscriberID>" +
         subscriber + "</SubscriberID>\n" + callback +
         "<MenuExtensionSubscription>\n<AddToMenu>Customers</AddToMenu>\n<Submenu>\n<MenuText>Tools</MenuText>\n"
         "<MenuItem>\n<MenuText>Send statement</MenuText>\n<EventTag>statement</EventTag>\n</MenuItem>\n"
         "<MenuItem>\n<MenuText>Call</MenuText>\n<EventTag>call</EventTag>\n</MenuItem>\n</Submenu>\n"
         "</MenuExtensionSubscription>\n</UIExtensionSubscriptionAdd>\n</UIExtensionSubscriptionAddRq>\n";
}

std::string QueryOf(const std::string& kind, const std::string& subscriber) {
  return "<" + kind + "SubscriptionQueryRq requestID = \"3\">\n<SubscriberID>" + subscriber + "</SubscriberID>\n</" +
         kind + "SubscriptionQueryRq>\n";
}

std::string Del(const std::string& subscriber, const std::string& type) {
  return "<SubscriptionDelRq requestID = \"4\">\n<SubscriberID>" + subscriber + "</SubscriberID>\n<SubscriptionType>" +
         type + "</SubscriptionType>\n</SubscriptionDelRq>\n";
}

// An answer read back: its responses, their status codes and messages.
struct Reply {
  pugi::xml_document doc;
  std::vector<pugi::xml_node> items;
  explicit Reply(const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    for (pugi::xml_node rs : doc.child("VTXML").child("VTXMLSubscriptionMsgsRs").children()) items.push_back(rs);
  }
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (pugi::xml_node rs : items) codes.push_back(rs.attribute("statusCode").as_int(-1));
    return codes;
  }
};

// The element names of a node's children, in order.
std::vector<std::string> Children(pugi::xml_node node) {
  std::vector<std::string> names;
  for (pugi::xml_node c : node.children())
    if (c.type() == pugi::node_element) names.emplace_back(c.name());
  return names;
}

class Subscriptions : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-subscriptions-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    store_ = folder_ + "/deep/store/subscriptions.db";
    setenv("VTFC4_SANDBOX_SUBSCRIPTIONS", store_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VTFC4_SANDBOX_SUBSCRIPTIONS");
    std::filesystem::remove_all(folder_);
  }
  static std::string Send(const std::string& requests) { return ProcessSubscriptionRequest(SubscriptionDocument(requests)); }

  std::string folder_, store_;
};

// The seven requests, one after another on one store, and what each answers.
TEST_F(Subscriptions, EveryRequestKind) {
  struct Case {
    const char* what;
    std::string requests;
    std::vector<int> codes;
    const char* ret;  // the Ret the first answer holds, "" for none
  };
  const std::string other = "{AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE}";
  const Case cases[] = {
      {"query before any add", QueryOf("DataEvent", kSubscriber), {1}, ""},
      {"data add", DataAdd(kSubscriber, kDataBody), {0}, "DataEventSubscriptionRet"},
      {"ui add", UIAdd(kSubscriber), {0}, "UIEventSubscriptionRet"},
      {"ui extension add", ExtensionAdd(kSubscriber), {0}, "UIExtensionSubscriptionRet"},
      {"data query", QueryOf("DataEvent", kSubscriber), {0}, "DataEventSubscriptionRet"},
      {"ui query, the GUID in lower case", QueryOf("UIEvent", "{0e1d4c2a-93b5-4f7e-8a61-2c3d4e5f6a7b}"), {0},
       "UIEventSubscriptionRet"},
      {"ui extension query", QueryOf("UIExtension", kSubscriber), {0}, "UIExtensionSubscriptionRet"},
      {"another subscriber has none", QueryOf("UIExtension", other), {1}, ""},
      {"a second add of the same type is refused", DataAdd(kSubscriber, kDataBody), {3100}, ""},
      {"del of one type leaves the others", Del(kSubscriber, "Data") + QueryOf("DataEvent", kSubscriber) +
                                                QueryOf("UIEvent", kSubscriber),
       {0, 1, 0}, ""},
      {"del of what is not there", Del(kSubscriber, "Data"), {3120}, ""},
      {"del of the other two", Del(kSubscriber, "UI") + Del(kSubscriber, "UIExtension"), {0, 0}, ""},
      {"added again after its deletion", DataAdd(kSubscriber, kDataBody), {0}, "DataEventSubscriptionRet"},
  };
  for (const Case& c : cases) {
    const std::string text = Send(c.requests);
    Reply reply(text);
    EXPECT_EQ(reply.Codes(), c.codes) << c.what << "\n" << text;
    if (reply.items.empty()) continue;
    pugi::xml_node first = reply.items[0];
    if (*c.ret) {
      ASSERT_TRUE(first.child(c.ret)) << c.what << "\n" << text;
      EXPECT_STREQ(first.child(c.ret).child_value("SubscriberID"), kSubscriber) << c.what;
      EXPECT_FALSE(std::string(first.child(c.ret).child_value("TimeCreated")).empty()) << c.what;
    } else {
      EXPECT_TRUE(Children(first).empty()) << c.what << "\n" << text;
    }
    const std::string severity = first.attribute("statusSeverity").value();
    EXPECT_EQ(severity, c.codes[0] <= 1 ? "Info" : "Error") << c.what;
  }
}

// A Ret is its Add with TimeCreated after SubscriberID, in the Ret class's member order.
TEST_F(Subscriptions, TheRetFollowsItsClass) {
  Reply added(Send(DataAdd(kSubscriber, kDataBody, 7)));
  ASSERT_EQ(added.Codes(), std::vector<int>{0});
  EXPECT_STREQ(added.items[0].name(), "DataEventSubscriptionAddRs");
  EXPECT_STREQ(added.items[0].attribute("requestID").value(), "7");
  pugi::xml_node ret = added.items[0].child("DataEventSubscriptionRet");
  EXPECT_EQ(Children(ret), (std::vector<std::string>{"SubscriberID", "TimeCreated", "COMCallbackInfo", "DeliveryPolicy",
                                                     "TrackLostEvents", "ListEventSubscription", "TxnEventSubscription"}));
  EXPECT_EQ(Children(ret.child("ListEventSubscription")),
            (std::vector<std::string>{"ListEventType", "ListEventType", "ListEventOperation"}));
  EXPECT_STREQ(ret.child("COMCallbackInfo").child_value("ProgID"), "Vendor.Subscriber");
  // The query answers the same record, with the time it was made.
  Reply queried(Send(QueryOf("DataEvent", kSubscriber)));
  pugi::xml_node again = queried.items.at(0).child("DataEventSubscriptionRet");
  EXPECT_STREQ(again.child_value("TimeCreated"), ret.child_value("TimeCreated"));
  EXPECT_EQ(Children(again), Children(ret));

  Reply menu(Send(ExtensionAdd(kSubscriber)));
  pugi::xml_node ext = menu.items.at(0).child("UIExtensionSubscriptionRet");
  EXPECT_EQ(Children(ext.child("MenuExtensionSubscription").child("Submenu")),
            (std::vector<std::string>{"MenuText", "MenuItem", "MenuItem"}));

  // What the deliverers read back.
  const std::vector<Subscription> data = vtfc4::sandbox::Subscriptions("Data");
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].callback.progId, "Vendor.Subscriber");
  EXPECT_TRUE(data[0].trackLost);
  EXPECT_TRUE(Subscribes(data[0], "ListEventSubscription", "ListEventType", "ListEventOperation", "Vendor", "Add"));
  EXPECT_FALSE(Subscribes(data[0], "ListEventSubscription", "ListEventType", "ListEventOperation", "Vendor", "Delete"));
  EXPECT_FALSE(Subscribes(data[0], "ListEventSubscription", "ListEventType", "ListEventOperation", "Account", "Add"));
  EXPECT_TRUE(Subscribes(data[0], "TxnEventSubscription", "TxnEventType", "TxnEventOperation", "Invoice", "Delete"));
  const std::vector<Subscription> menus = vtfc4::sandbox::Subscriptions("UIExtension");
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(EventTags(menus[0]), (std::vector<std::string>{"statement", "call"}));
}

// A callback by URL is kept and answered back as it was sent, in the class's place.
TEST_F(Subscriptions, TheUrlIsAnsweredBack) {
  const std::string url = "https://hooks.example:8443/vt?book=1&amp;kind=events", kept = "https://hooks.example:8443/vt?book=1&kind=events";
  const std::string body = Hook(url) + "<DeliveryPolicy>DeliverOnlyIfRunning</DeliveryPolicy>\n<ListEventSubscription>\n"
                           "<ListEventType>Customer</ListEventType>\n<ListEventOperation>Add</ListEventOperation>\n"
                           "</ListEventSubscription>\n";
  const Reply added(Send(DataAdd(kSubscriber, body) + ExtensionAdd(kSubscriber, Hook("http://[::1]:9/menu"))));
  ASSERT_EQ(added.Codes(), (std::vector<int>{0, 0}));
  const Reply queried(Send(QueryOf("DataEvent", kSubscriber) + QueryOf("UIExtension", kSubscriber)));
  for (const Reply* reply : {&added, &queried}) {
    const pugi::xml_node data = reply->items.at(0).child("DataEventSubscriptionRet");
    EXPECT_EQ(Children(data), (std::vector<std::string>{"SubscriberID", "TimeCreated", "HTTPCallbackInfo", "DeliveryPolicy",
                                                        "ListEventSubscription"}));
    EXPECT_EQ(Children(data.child("HTTPCallbackInfo")), (std::vector<std::string>{"AppName", "URL"}));
    EXPECT_STREQ(data.child("HTTPCallbackInfo").child_value("AppName"), "Books watcher");
    EXPECT_EQ(data.child("HTTPCallbackInfo").child_value("URL"), kept);
    EXPECT_STREQ(reply->items.at(1).first_element_by_path("UIExtensionSubscriptionRet/HTTPCallbackInfo/URL").child_value(),
                 "http://[::1]:9/menu");
  }
  const std::vector<Subscription> data = vtfc4::sandbox::Subscriptions("Data");
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].callback.url + " " + data[0].callback.appName + data[0].callback.progId, kept + " Books watcher");
}

// Requests refused one by one: each answered with its status, nothing stored, the others served.
TEST_F(Subscriptions, Refusals) {
  struct Case {
    const char* what;
    std::string request;
    int code;
    const char* words;  // in the status message
  };
  const Case cases[] = {
      {"no callback", DataAdd(kSubscriber, "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"), 3000,
       "COMCallbackInfo"},
      {"neither lists nor transactions", DataAdd(kSubscriber, Callback() + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "ListEventSubscription or a TxnEventSubscription"},
      {"an unknown list type",
       DataAdd(kSubscriber, Callback() + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n<ListEventSubscription>"
                                         "<ListEventType>Planet</ListEventType><ListEventOperation>Add"
                                         "</ListEventOperation></ListEventSubscription>\n"),
       3000, "Planet"},
      {"out of order", DataAdd(kSubscriber, "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n" + Callback()), 3000,
       "out of order"},
      {"both a ProgID and a CLSID",
       DataAdd(kSubscriber, Callback("<ProgID>A.B</ProgID><CLSID>{11111111-2222-3333-4444-555555555555}</CLSID>") +
                                "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "more than one alternative"},
      {"a COM callback naming no class", DataAdd(kSubscriber, Callback("") + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "COMCallbackInfo needs a ProgID or a CLSID"},
      {"both a class and a URL", DataAdd(kSubscriber, Callback() + Hook("http://h/") + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "more than one alternative"},
      {"a URL to a file", DataAdd(kSubscriber, Hook("file:///etc/passwd") + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "The URL \"file:///etc/passwd\" of DataEventSubscriptionAdd/HTTPCallbackInfo is not an http:// or https:// URL."},
      {"a URL without a host", ExtensionAdd(kSubscriber, Hook("https:///hook")), 3000, "names no host"},
      {"a URL with a bad port", DataAdd(kSubscriber, Hook("http://h:65536/") + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "no port from 1 to 65535"},
      {"a URL with a space", DataAdd(kSubscriber, Hook("http://h/a b") + "<DeliveryPolicy>DeliverAlways</DeliveryPolicy>\n"),
       3000, "a space or a control character"},
      {"an unknown policy", DataAdd(kSubscriber, Callback() + "<DeliveryPolicy>Sometimes</DeliveryPolicy>\n"), 3000,
       "Sometimes"},
      {"a query without a subscriber", "<DataEventSubscriptionQueryRq/>\n", 3000, "SubscriberID"},
      {"a del of an unknown type", Del(kSubscriber, "Weekly"), 3000, "Weekly"},
      {"an ordinary request", "<CustomerQueryRq/>\n", 3250, "not a subscription request"},
      {"an add without its body", "<UIEventSubscriptionAddRq/>\n", 3000, "exactly one UIEventSubscriptionAdd"},
  };
  for (const Case& c : cases) {
    const std::string text = Send(c.request + DataAdd(kSubscriber, kDataBody) + Del(kSubscriber, "Data"));
    Reply reply(text);
    EXPECT_EQ(reply.Codes(), (std::vector<int>{c.code, 0, 0})) << c.what << "\n" << text;
    ASSERT_FALSE(reply.items.empty());
    const std::string message = reply.items[0].attribute("statusMessage").value();
    EXPECT_NE(message.find(c.words), std::string::npos) << c.what << ": " << message;
  }
  EXPECT_TRUE(vtfc4::sandbox::Subscriptions("Data").empty());
}

// A document that cannot be answered request by request is refused whole.
TEST_F(Subscriptions, MalformedDocuments) {
  struct Case {
    const char* what;
    std::string document;
    const char* words;
  };
  const Case cases[] = {
      {"not XML", "<VTXML><VTXMLSubscriptionMsgsRq>", "not well-formed"},
      {"version 2.0", SubscriptionDocument(DataAdd(kSubscriber, kDataBody), "2.0"), "\"2.0\""},
      {"a CA version", SubscriptionDocument(DataAdd(kSubscriber, kDataBody), "CA3.0"), "\"CA3.0\""},
      {"an ordinary message set", "<?vtxml version=\"4.0\"?><VTXML><VTXMLMsgsRq/></VTXML>", "VTXMLSubscriptionMsgsRq"},
      {"another root", "<?vtxml version=\"4.0\"?><QBXML><VTXMLSubscriptionMsgsRq/></QBXML>", "VTXMLSubscriptionMsgsRq"},
      {"something other than a request", SubscriptionDocument("<SubscriberID>x</SubscriberID>\n"), "not a request"},
  };
  for (const Case& c : cases) {
    try {
      ProcessSubscriptionRequest(c.document);
      ADD_FAILURE() << c.what << ": answered";
    } catch (const MalformedRequest& e) {
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.what << ": " << e.what();
    }
  }
  EXPECT_TRUE(vtfc4::sandbox::Subscriptions("Data").empty());
  // 3.0 is served; a document without the instruction is read as 4.0; an empty set is answered empty.
  EXPECT_EQ(Reply(ProcessSubscriptionRequest(SubscriptionDocument(QueryOf("DataEvent", kSubscriber), "3.0"))).Codes(),
            std::vector<int>{1});
  EXPECT_EQ(Reply(ProcessSubscriptionRequest("<VTXML><VTXMLSubscriptionMsgsRq>" + QueryOf("DataEvent", kSubscriber) +
                                             "</VTXMLSubscriptionMsgsRq></VTXML>"))
                .Codes(),
            std::vector<int>{1});
  EXPECT_EQ(Send(""), "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLSubscriptionMsgsRs/>\r\n</VTXML>\r\n");
}

// The store lies where its variable says, made with its folders, and outlives the call; without
// the variable it is in the user's data folder.
TEST_F(Subscriptions, TheStoresPlace) {
  ASSERT_EQ(Reply(Send(DataAdd(kSubscriber, kDataBody))).Codes(), std::vector<int>{0});
  EXPECT_TRUE(std::filesystem::exists(store_));
  EXPECT_EQ(Reply(Send(QueryOf("DataEvent", kSubscriber))).Codes(), std::vector<int>{0});

  const char* home = std::getenv("HOME");
  const std::string savedHome = home ? home : "";
  unsetenv("VTFC4_SANDBOX_SUBSCRIPTIONS");
  setenv("XDG_DATA_HOME", (folder_ + "/xdg").c_str(), 1);
  EXPECT_EQ(SubscriptionStorePath(), folder_ + "/xdg/vtfc4-sandbox/subscriptions.db");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", (folder_ + "/home").c_str(), 1);
  EXPECT_EQ(SubscriptionStorePath(), folder_ + "/home/.local/share/vtfc4-sandbox/subscriptions.db");
  // In the user's data folder there is no subscription yet.
  EXPECT_EQ(Reply(Send(QueryOf("DataEvent", kSubscriber))).Codes(), std::vector<int>{1});
  EXPECT_TRUE(std::filesystem::exists(folder_ + "/home/.local/share/vtfc4-sandbox/subscriptions.db"));
  unsetenv("HOME");
  EXPECT_THROW(SubscriptionStorePath(), std::runtime_error);
  if (home) setenv("HOME", savedHome.c_str(), 1);

  // A store that is not a database is a failure of the store, not of the request.
  setenv("VTFC4_SANDBOX_SUBSCRIPTIONS", (folder_ + "/garbage").c_str(), 1);
  { std::FILE* f = std::fopen((folder_ + "/garbage").c_str(), "w"); std::fputs("not a database at all, not at all", f); std::fclose(f); }
  EXPECT_THROW(Send(QueryOf("DataEvent", kSubscriber)), std::runtime_error);
}

}  // namespace
}  // namespace vtfc4::sandbox
