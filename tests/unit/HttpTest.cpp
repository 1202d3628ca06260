// TInternetSession / TInternetUrl against TFaultServer on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "tests/support/DelayProxy.h"
#include "tests/support/FaultServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using TClock = std::chrono::steady_clock;

// The sessions honour the proxy settings of the environment; these tests
// must reach their own loopback servers directly whatever those say.
[[maybe_unused]] const bool NoProxy = [] {
  ::setenv("no_proxy", "*", 1);
  ::setenv("NO_PROXY", "*", 1);
  return true;
}();

struct TFetch {
  bool Opened = false;
  bool Ok = false;  // read to the end without failure
  std::string Body;
  std::string Error;
};

// Reads a URL the way the wizard does: 256-byte chunks until a read gives 0.
TFetch Fetch(TInternetSession& session, const std::string& url) {
  TFetch f;
  auto handle = session.OpenUrl(url);
  f.Opened = handle != nullptr;
  if (handle) {
    char buf[256];
    std::size_t got = 0;
    for (;;) {
      if (!handle->Read(buf, sizeof buf, got)) break;
      if (got == 0) {
        f.Ok = true;
        break;
      }
      f.Body.append(buf, got);
    }
  }
  f.Error = session.LastError();
  return f;
}

THttpLimits Short() {
  THttpLimits l;
  l.ConnectTimeoutMs = 5000;
  l.StallTimeoutMs = 1000;
  return l;
}

std::unique_ptr<TInternetSession> OpenSession(const THttpLimits& limits = Short()) {
  auto s = TInternetSession::Open("BrevantTest/1.0", limits);
  EXPECT_TRUE(s);
  return s;
}

// Every byte value, zeros included, in no simple order.
std::string VariedBytes(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(i % 7 == 0 ? 0 : (x >> 16) & 0xFF);
  }
  return s;
}

long MsSince(TClock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t).count());
}

class HttpTest : public ::testing::Test {
 protected:
  TFaultServer Server;
  std::string Url(const std::string& path) const { return Server.BaseUrl() + path; }
};

}  // namespace

// --- bodies ---

TEST_F(HttpTest, BodiesArriveWholeAndUnchanged) {
  auto s = OpenSession();
  const std::string big = VariedBytes(100 * 1024);
  const std::string zeros("a\0b\0\0c\0", 7);
  Server.Serve("/empty", "");
  Server.Serve("/big", big);
  Server.Serve("/zeros", zeros);

  TFetch f = Fetch(*s, Url("empty"));
  EXPECT_TRUE(f.Opened && f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "");

  f = Fetch(*s, Url("big"));
  ASSERT_TRUE(f.Ok) << f.Error;
  ASSERT_EQ(f.Body.size(), big.size());
  EXPECT_TRUE(f.Body == big) << "bytes out of order or changed";

  f = Fetch(*s, Url("zeros"));
  ASSERT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, zeros);
}

TEST_F(HttpTest, ErrorPagesAreReturnedLikeAnyBody) {
  auto s = OpenSession();
  Server.Serve("/gone", "<h1>gone</h1>", 404);
  Server.Serve("/broken", "oops", 500);
  TFetch f = Fetch(*s, Url("gone"));
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "<h1>gone</h1>");
  f = Fetch(*s, Url("broken"));
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "oops");
}

// --- URLs that must not open ---

TEST_F(HttpTest, BadUrlsFailToOpen) {
  auto s = OpenSession();
  for (const std::string& url :
       std::vector<std::string>{"", "http://", "no scheme at all", "127.0.0.1/x", "http://127.0.0.1:99999/",
                                "http://127.0.0.1 :80/", "http://127.0.0.1\n/x"}) {
    EXPECT_FALSE(s->OpenUrl(url)) << url;
    EXPECT_FALSE(s->LastError().empty()) << url;
  }
  const int closed = TFaultServer::ClosedPort();
  ASSERT_NE(closed, 0);
  const auto t0 = TClock::now();
  EXPECT_FALSE(s->OpenUrl("http://127.0.0.1:" + std::to_string(closed) + "/x"));
  EXPECT_LT(MsSince(t0), 5000) << "a refused connection must fail at once, not by time-out";
  EXPECT_NE(s->LastError().find(std::to_string(closed)), std::string::npos) << s->LastError();
}

TEST_F(HttpTest, OnlyHttpAndHttpsAreOpenedEvenByRedirect) {
  TTempDir dir;
  const std::string secret = dir.Write("secret.txt", "local secret");
  auto s = OpenSession();
  const std::string port = std::to_string(Server.Port());
  for (const std::string& url :
       std::vector<std::string>{"file://" + secret, "FILE://" + secret, "ftp://127.0.0.1:" + port + "/x",
                                "gopher://127.0.0.1:" + port + "/x"}) {
    const TFetch f = Fetch(*s, url);
    EXPECT_FALSE(f.Opened) << url;
    EXPECT_EQ(f.Body.find("secret"), std::string::npos);
  }
  Server.Redirect("/to-file", "file://" + secret);
  const TFetch f = Fetch(*s, Url("to-file"));
  EXPECT_FALSE(f.Opened);
  EXPECT_EQ(f.Body.find("secret"), std::string::npos);
  // Without the protocol lock the library would follow this one; it must not
  // even connect for it.
  Server.Redirect("/to-ftp", "ftp://127.0.0.1:" + port + "/x");
  EXPECT_FALSE(Fetch(*s, Url("to-ftp")).Opened);
  EXPECT_EQ(Server.Connections(), 1);
}

// --- redirects ---

TEST_F(HttpTest, RedirectsAreFollowedWithinTheLimit) {
  THttpLimits limits = Short();
  limits.MaxRedirects = 3;
  auto s = OpenSession(limits);
  Server.Serve("/new", "new place");
  Server.Redirect("/old", "/new");
  Server.Redirect("/older", Url("old"), 301);
  const TFetch f = Fetch(*s, Url("older"));
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "new place") << "the redirect's own body must not be delivered";
  const auto seen = Server.Requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].Target, "/old");
  EXPECT_EQ(seen[2].Target, "/new");

  Server.Redirect("/loop", "/loop");
  EXPECT_FALSE(Fetch(*s, Url("loop")).Opened);
  EXPECT_EQ(Server.RequestCount(), 3u + 4u) << "the first request and MaxRedirects more";
}

// --- silent, stalled and cut servers ---

TEST_F(HttpTest, SilenceFailsWithinTheStallTimeOut) {
  auto s = OpenSession();  // stall time-out 1 s
  Server.Silent("/silent");
  auto t0 = TClock::now();
  EXPECT_FALSE(s->OpenUrl(Url("silent")));
  long ms = MsSince(t0);
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 20000);
  EXPECT_NE(s->LastError().find("no data"), std::string::npos) << s->LastError();

  // Headers and part of the body, then nothing: the open works, the read fails.
  Server.StallAfterHeaders("/stall", 1000, "first part");
  auto url = s->OpenUrl(Url("stall"));
  ASSERT_TRUE(url) << s->LastError();
  std::string got;
  char buf[256];
  std::size_t n = 0;
  t0 = TClock::now();
  bool ok = true;
  while ((ok = url->Read(buf, sizeof buf, n)) && n > 0) got.append(buf, n);
  ms = MsSince(t0);
  EXPECT_FALSE(ok) << "a stalled body reported as complete";
  EXPECT_EQ(got, "first part");
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 20000);
  EXPECT_FALSE(url->Read(buf, sizeof buf, n)) << "a failed URL stays failed";
}

TEST_F(HttpTest, BodyCutShortFailsTheRead) {
  auto s = OpenSession();
  Server.CutBody("/cut", 5000, std::string(1200, 'x'));
  const TFetch f = Fetch(*s, Url("cut"));
  EXPECT_TRUE(f.Opened) << f.Error;
  EXPECT_FALSE(f.Ok) << "a body cut before its announced length reported as complete";
  EXPECT_EQ(f.Body, std::string(1200, 'x'));
}

// A listening socket whose one-place accept queue is full: the kernel drops
// further connection attempts, so they neither succeed nor get refused.
TEST_F(HttpTest, ConnectionThatCannotBeMadeFailsByConnectTimeOut) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  ASSERT_GE(filler, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  THttpLimits limits;
  limits.ConnectTimeoutMs = 300;
  limits.StallTimeoutMs = 30000;  // must not be what ends it
  auto s = OpenSession(limits);
  const auto t0 = TClock::now();
  EXPECT_FALSE(s->OpenUrl("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x"));
  EXPECT_LT(MsSince(t0), 15000);
  EXPECT_EQ(s->LastError().find("no data"), std::string::npos) << s->LastError();
  ::close(filler);
  ::close(listener);
}

// --- body size limit ---

TEST_F(HttpTest, BodiesOverTheLimitFail) {
  THttpLimits limits = Short();
  limits.MaxBodyBytes = 1024 * 1024;
  auto s = OpenSession(limits);
  Server.Stream("/announced", 2 * 1024 * 1024, true);
  Server.Stream("/unannounced", 2 * 1024 * 1024, false);
  Server.Stream("/exact", 1024 * 1024, false);

  TFetch f = Fetch(*s, Url("announced"));
  EXPECT_FALSE(f.Ok);
  EXPECT_NE(f.Error.find("larger than"), std::string::npos) << f.Error;
  EXPECT_TRUE(f.Body.empty()) << "an announced oversized body should be refused before reading";

  f = Fetch(*s, Url("unannounced"));
  EXPECT_TRUE(f.Opened) << f.Error;
  EXPECT_FALSE(f.Ok);
  EXPECT_LE(f.Body.size(), limits.MaxBodyBytes);
  EXPECT_NE(f.Error.find("larger than"), std::string::npos) << f.Error;

  f = Fetch(*s, Url("exact"));
  EXPECT_TRUE(f.Ok) << "a body of exactly the limit is allowed: " << f.Error;
  ASSERT_EQ(f.Body.size(), limits.MaxBodyBytes);
  EXPECT_EQ(f.Body[12345], TFaultServer::StreamByte(12345));
}

TEST_F(HttpTest, DefaultLimitStopsA17MiBBody) {
  auto s = OpenSession(THttpLimits{});
  Server.Stream("/huge", 17u * 1024 * 1024, false);
  const TFetch f = Fetch(*s, Url("huge"));
  EXPECT_FALSE(f.Ok);
  EXPECT_LE(f.Body.size(), 16u * 1024 * 1024);
  EXPECT_NE(f.Error.find("larger than"), std::string::npos) << f.Error;
}

// --- what the server sees ---

TEST_F(HttpTest, AgentAndNothingElseOfOurOwnIsSent) {
  auto s = TInternetSession::Open("Brevant Update/4.2 (test)", Short());
  ASSERT_TRUE(s);
  Server.Serve("/a", "x");
  ASSERT_TRUE(Fetch(*s, Url("a")).Ok);
  const auto seen = Server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].RequestLine, "GET /a HTTP/1.1");
  EXPECT_EQ(seen[0].Header("User-Agent"), "Brevant Update/4.2 (test)");
  EXPECT_EQ(seen[0].Header("Accept-Encoding"), "");
  EXPECT_EQ(seen[0].Header("Cookie"), "");
  EXPECT_EQ(seen[0].Header("Authorization"), "");
}

TEST_F(HttpTest, UnencodedValuesInTheQueryReachTheServer) {
  auto s = OpenSession();
  const TFetch f = Fetch(*s, Url("ask?name=Big Tool&q=\"a b\";c&d=1&e=50%&u=\xC3\xA9\x01"));
  EXPECT_TRUE(f.Ok) << f.Error;
  const auto seen = Server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Target, "/ask?name=Big%20Tool&q=\"a%20b\";c&d=1&e=50%&u=%C3%A9%01");
}

TEST(HttpUrl, OnlyBytesHttpCannotCarryAreEncoded) {
  EXPECT_EQ(EncodeUrlForRequest("http://h:1/p q?a=\"x\";y&z=<1>#f g"), "http://h:1/p%20q?a=\"x\";y&z=<1>#f%20g");
  EXPECT_EQ(EncodeUrlForRequest(std::string("http://h/\x00\x7F\xFF", 12)), "http://h/%00%7F%FF");
  EXPECT_EQ(EncodeUrlForRequest("http://h"), "http://h");
  EXPECT_EQ(EncodeUrlForRequest("http://h h/"), "");
  EXPECT_EQ(EncodeUrlForRequest("http://h\r\nX: y/"), "");
  EXPECT_EQ(EncodeUrlForRequest("nothing"), "");
}

// --- one session, many requests ---

TEST_F(HttpTest, OneSessionReusesItsConnection) {
  auto s = OpenSession();
  for (int i = 0; i < 78; ++i) Server.Serve("/p" + std::to_string(i), "product " + std::to_string(i));
  for (int i = 0; i < 78; ++i) {
    const TFetch f = Fetch(*s, Url("p" + std::to_string(i)));
    ASSERT_TRUE(f.Ok) << i << ": " << f.Error;
    ASSERT_EQ(f.Body, "product " + std::to_string(i));
  }
  EXPECT_EQ(Server.RequestCount(), 78u);
  EXPECT_EQ(Server.Connections(), 1);
}

TEST_F(HttpTest, AnAbandonedOrFailedTransferDoesNotSpoilTheNext) {
  auto s = OpenSession();
  Server.Stream("/big", 1024 * 1024, true);
  Server.Serve("/small", "small body");
  Server.CutBody("/cut", 100, "part");
  Server.Silent("/silent");
  char buf[256];
  std::size_t got = 0;

  {  // read a little, then close the URL handle early
    auto url = s->OpenUrl(Url("big"));
    ASSERT_TRUE(url);
    ASSERT_TRUE(url->Read(buf, sizeof buf, got));
    EXPECT_GT(got, 0u);
  }
  TFetch f = Fetch(*s, Url("small"));
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "small body") << "bytes of the abandoned body leaked into the next";

  EXPECT_FALSE(Fetch(*s, Url("cut")).Ok);
  EXPECT_FALSE(Fetch(*s, Url("silent")).Opened);
  f = Fetch(*s, Url("small"));
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "small body");

  // A second OpenUrl closes the first URL; dropping the first later must not
  // close the second.
  auto first = s->OpenUrl(Url("big"));
  ASSERT_TRUE(first);
  auto second = s->OpenUrl(Url("small"));
  ASSERT_TRUE(second);
  EXPECT_FALSE(first->Read(buf, sizeof buf, got));
  first.reset();
  std::string body;
  while (second->Read(buf, sizeof buf, got) && got > 0) body.append(buf, got);
  EXPECT_EQ(body, "small body");
}

TEST_F(HttpTest, UrlOutlivingItsSessionFailsCleanly) {
  auto s = OpenSession();
  Server.Stream("/big", 1024 * 1024, true);
  auto url = s->OpenUrl(Url("big"));
  ASSERT_TRUE(url);
  s.reset();
  char buf[256];
  std::size_t got = 1;
  EXPECT_FALSE(url->Read(buf, sizeof buf, got));
  EXPECT_EQ(got, 0u);
}

// --- waiting and cancelling ---

namespace {
// Waits up to 10 s for `condition`, checking it every few milliseconds.
bool Eventually(const std::function<bool()>& condition) {
  return WaitUntil(condition, std::chrono::seconds(10), std::chrono::milliseconds(5));
}

THttpLimits Patient() {  // only a working cancel ends a silent wait early
  THttpLimits l;
  l.StallTimeoutMs = 60000;
  return l;
}
}  // namespace

TEST_F(HttpTest, TheWaitHandlerRunsWhileAnOpenWaitsAndCancelEndsItAtOnce) {
  auto s = OpenSession(Patient());
  Server.Silent("/silent");
  Server.Serve("/after", "never asked");
  int calls = 0;
  s->SetWaitHandler(
      [&] {
        if (++calls == 3) s->Cancel();
      },
      10);
  EXPECT_FALSE(s->OpenUrl(Url("silent")));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(s->LastError(), "GET " + Url("silent") + ": cancelled");
  EXPECT_TRUE(Eventually([&] { return Server.OpenConnections() == 0; })) << "the connection stayed open";

  // The handle is closed: nothing more reaches the network.
  EXPECT_FALSE(s->OpenUrl(Url("after")));
  EXPECT_EQ(s->LastError(), "GET " + Url("after") + ": cancelled");
  EXPECT_EQ(Server.RequestCount(), 1u);
  EXPECT_EQ(Server.Connections(), 1);
  EXPECT_EQ(calls, 3);
}

TEST_F(HttpTest, CancelFromTheHandlerEndsAWaitingRead) {
  auto s = OpenSession(Patient());
  Server.StallAfterHeaders("/stall", 1000, "first part");
  s->SetWaitHandler([&] { s->Cancel(); }, 10);
  auto url = s->OpenUrl(Url("stall"));
  ASSERT_TRUE(url) << s->LastError();
  std::string got;
  char buf[256];
  std::size_t n = 0;
  bool ok = true;
  while ((ok = url->Read(buf, sizeof buf, n)) && n > 0) got.append(buf, n);
  EXPECT_FALSE(ok);
  EXPECT_EQ(got, "first part");
  EXPECT_EQ(s->LastError(), "GET " + Url("stall") + ": cancelled");
  EXPECT_FALSE(url->Read(buf, sizeof buf, n));
  EXPECT_EQ(s->LastError(), "GET " + Url("stall") + ": cancelled");
  EXPECT_TRUE(Eventually([&] { return Server.OpenConnections() == 0; })) << "the connection stayed open";
}

TEST_F(HttpTest, CancelBetweenCallsClosesTheHandleAndItsConnection) {
  auto s = OpenSession();
  Server.Serve("/a", "body a");
  int calls = 0;
  s->SetWaitHandler([&] { ++calls; }, 1);
  const TFetch f = Fetch(*s, Url("a"));  // a handler changes nothing of what arrives
  EXPECT_TRUE(f.Ok) << f.Error;
  EXPECT_EQ(f.Body, "body a");
  ASSERT_TRUE(Eventually([&] { return Server.OpenConnections() == 1; }));  // kept alive for reuse
  s->Cancel();
  s->Cancel();  // a second time changes nothing
  EXPECT_TRUE(Eventually([&] { return Server.OpenConnections() == 0; })) << "the connection stayed open";
  EXPECT_FALSE(s->OpenUrl(Url("a")));
  EXPECT_EQ(s->LastError(), "GET " + Url("a") + ": cancelled");
  EXPECT_EQ(Server.RequestCount(), 1u);
}

// --- many URLs at once ---

namespace {
// Runs the fetches of `urls` and gives their outcomes in the order they ended.
std::vector<std::pair<std::string, TWebFetch>> FetchAll(TInternetSession& session,
                                                        const std::vector<std::string>& urls) {
  std::vector<std::pair<std::string, TWebFetch>> ended;
  for (const std::string& url : urls)
    session.Fetch(url, [&ended, url](TWebFetch&& result) { ended.emplace_back(url, std::move(result)); });
  EXPECT_TRUE(session.RunFetches());
  return ended;
}
}  // namespace

// Fetches beyond the bound wait for a connection; waiting is no stall: only
// a request that has gone out waits for data.
TEST_F(HttpTest, FetchesShareAtMostTheBoundOfConnectionsAndWaitingIsNoStall) {
  TDelayProxy proxy(std::chrono::milliseconds(200), Server.Port());  // every reply takes a while
  THttpLimits limits = Short();
  limits.StallTimeoutMs = 350;  // less than the last fetches wait for a connection
  limits.MaxConnectionsPerHost = 3;
  auto s = OpenSession(limits);
  std::vector<std::string> urls;
  for (int i = 0; i < 12; ++i) {
    Server.Serve("/p" + std::to_string(i), "product " + std::to_string(i));
    urls.push_back(proxy.BaseUrl() + "p" + std::to_string(i));
  }
  const auto ended = FetchAll(*s, urls);
  ASSERT_EQ(ended.size(), urls.size());
  for (const auto& [url, result] : ended) EXPECT_EQ(result.Body, "product " + url.substr(url.rfind('p') + 1));
  EXPECT_EQ(proxy.Connections(), 3) << "one connection per request at a time, up to the bound";
}

TEST_F(HttpTest, ASilentHostStallsOnlyItsOwnFetches) {
  TFaultServer silent;
  silent.Silent("/s");
  Server.Serve("/a", "a");
  auto s = OpenSession();  // stall time-out 1 s
  std::vector<std::string> urls = {silent.BaseUrl() + "s"};
  for (int i = 0; i < 10; ++i) urls.push_back(Url("a"));
  const auto ended = FetchAll(*s, urls);
  ASSERT_EQ(ended.size(), urls.size());
  for (std::size_t i = 0; i + 1 < ended.size(); ++i) EXPECT_TRUE(ended[i].second.Ok) << ended[i].second.Error;
  EXPECT_EQ(ended.back().first, silent.BaseUrl() + "s");
  EXPECT_EQ(ended.back().second.Error, "GET " + silent.BaseUrl() + "s: no data from the server for 1000 ms");
}

TEST_F(HttpTest, EachFetchKeepsTheRulesOfOneUrl) {
  THttpLimits limits = Short();
  limits.MaxBodyBytes = 1000;
  limits.MaxRedirects = 1;
  auto s = TInternetSession::Open("Brevant Update/4.2 (test)", limits);
  ASSERT_TRUE(s);
  Server.Serve("/new", "new place", 404);
  Server.Redirect("/old", "/new");
  Server.Redirect("/older", "/old");
  Server.Redirect("/to-file", "file:///etc/passwd");
  Server.Stream("/big", 2000, false);
  std::map<std::string, TWebFetch> outcome;
  for (auto& [url, result] : FetchAll(*s, {"", Url("old"), Url("older"), Url("to-file"), Url("big")}))
    outcome[url] = result;
  EXPECT_EQ(outcome[""].Error, "GET : empty URL");
  EXPECT_EQ(outcome[Url("old")].Body, "new place");
  EXPECT_FALSE(outcome[Url("older")].Ok) << "two redirects where one is allowed";
  EXPECT_FALSE(outcome[Url("to-file")].Ok);
  EXPECT_EQ(outcome[Url("big")].Error, "GET " + Url("big") + ": the response body is larger than 1000 bytes");
  for (const auto& request : Server.Requests()) EXPECT_EQ(request.Header("User-Agent"), "Brevant Update/4.2 (test)");
}

TEST_F(HttpTest, StopAndCancelEndTheFetchesUnderWay) {
  Server.Serve("/a", "a");
  Server.Silent("/s");
  auto s = OpenSession(Patient());
  int reported = 0;
  // A done that stops: the silent fetch is dropped unreported, its connection closed.
  s->Fetch(Url("s"), [&](TWebFetch&&) { ++reported; });
  s->Fetch(Url("a"), [&](TWebFetch&&) {
    ++reported;
    s->StopFetches();
  });
  EXPECT_TRUE(s->RunFetches());
  EXPECT_EQ(reported, 1);
  EXPECT_TRUE(Eventually([&] { return Server.OpenConnections() == 1; })) << "the stopped fetch kept its connection";

  // Cancel from the wait handler: nothing more is reported, nothing more is asked.
  s->SetWaitHandler([&] { s->Cancel(); }, 10);
  s->Fetch(Url("s"), [&](TWebFetch&&) { ++reported; });
  EXPECT_FALSE(s->RunFetches());
  EXPECT_EQ(reported, 1);
  EXPECT_EQ(s->LastError(), "GET " + Url("s") + ": cancelled");
  s->Fetch(Url("a"), [&](TWebFetch&&) { ++reported; });
  EXPECT_FALSE(s->RunFetches());
  EXPECT_EQ(reported, 1);
  EXPECT_TRUE(Eventually([&] { return Server.OpenConnections() == 0; }));
  EXPECT_EQ(Server.RequestCount(), 3u);
}
