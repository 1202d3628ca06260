#include "platform/Http.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/TextUtil.h"

namespace {

using TClock = std::chrono::steady_clock;

// libcurl is not linked but loaded by the first session that opens: with the
// TLS, Kerberos, LDAP and SSH libraries it needs, loading and relocating it
// at start-up would cost the program several milliseconds before its window
// shows, for a library that only the update check behind Next uses. The
// name is the library's ABI name (the one the link would have recorded).
constexpr const char* CurlLibrary = "libcurl.so.4";

// The library's entry points that this file calls.
struct TCurl {
  decltype(&::curl_global_init) GlobalInit = nullptr;
  decltype(&::curl_easy_init) EasyInit = nullptr;
  decltype(&::curl_easy_setopt) EasySetopt = nullptr;
  decltype(&::curl_easy_getinfo) EasyGetinfo = nullptr;
  decltype(&::curl_easy_strerror) EasyStrerror = nullptr;
  decltype(&::curl_easy_cleanup) EasyCleanup = nullptr;
  decltype(&::curl_multi_init) MultiInit = nullptr;
  decltype(&::curl_multi_setopt) MultiSetopt = nullptr;
  decltype(&::curl_multi_add_handle) MultiAddHandle = nullptr;
  decltype(&::curl_multi_remove_handle) MultiRemoveHandle = nullptr;
  decltype(&::curl_multi_perform) MultiPerform = nullptr;
  decltype(&::curl_multi_info_read) MultiInfoRead = nullptr;
  decltype(&::curl_multi_poll) MultiPoll = nullptr;
  decltype(&::curl_multi_strerror) MultiStrerror = nullptr;
  decltype(&::curl_multi_cleanup) MultiCleanup = nullptr;
  decltype(&::curl_slist_append) SlistAppend = nullptr;
  decltype(&::curl_slist_free_all) SlistFreeAll = nullptr;
};

// The library, loaded and started once per process and never unloaded; null
// when it cannot be loaded, lacks one of the entry points or does not start
// (then every later call answers null again at once). Safe from any thread.
const TCurl* Curl() {
  static const TCurl* const curl = []() -> const TCurl* {
    void* library = ::dlopen(CurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static TCurl entries;
    bool complete = true;
    const auto bind = [library, &complete](auto& entry, const char* name) {
      entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(::dlsym(library, name));
      complete = complete && entry != nullptr;
    };
    bind(entries.GlobalInit, "curl_global_init");
    bind(entries.EasyInit, "curl_easy_init");
    bind(entries.EasySetopt, "curl_easy_setopt");
    bind(entries.EasyGetinfo, "curl_easy_getinfo");
    bind(entries.EasyStrerror, "curl_easy_strerror");
    bind(entries.EasyCleanup, "curl_easy_cleanup");
    bind(entries.MultiInit, "curl_multi_init");
    bind(entries.MultiSetopt, "curl_multi_setopt");
    bind(entries.MultiAddHandle, "curl_multi_add_handle");
    bind(entries.MultiRemoveHandle, "curl_multi_remove_handle");
    bind(entries.MultiPerform, "curl_multi_perform");
    bind(entries.MultiInfoRead, "curl_multi_info_read");
    bind(entries.MultiPoll, "curl_multi_poll");
    bind(entries.MultiStrerror, "curl_multi_strerror");
    bind(entries.MultiCleanup, "curl_multi_cleanup");
    bind(entries.SlistAppend, "curl_slist_append");
    bind(entries.SlistFreeAll, "curl_slist_free_all");
    if (!complete || entries.GlobalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    return &entries;
  }();
  return curl;
}

bool RawUnsafe(unsigned char b) {
  return b <= 0x20 || b >= 0x7F;
}

void AppendEscaped(std::string& out, unsigned char b) {
  static const char Hex[] = "0123456789ABCDEF";
  out += '%';
  out += Hex[b >> 4];
  out += Hex[b & 0x0F];
}

// The URL as it may appear in a log line: unsafe bytes escaped, bounded length.
std::string Printable(const std::string& url) {
  constexpr std::size_t Max = 1000;
  std::string out;
  for (std::size_t i = 0; i < url.size() && out.size() < Max; ++i) {
    const auto b = static_cast<unsigned char>(url[i]);
    if (RawUnsafe(b))
      AppendEscaped(out, b);
    else
      out += url[i];
  }
  if (out.size() >= Max) out += "...";
  return out;
}

long AtLeast(long value, long floor) {
  return value < floor ? floor : value;
}

// The options every transfer of a session shares: what is sent, the
// schemes, redirects, the connect time-out and the body limit.
bool SetTransferOptions(const TCurl& lib, CURL* e, const std::string& agent, const THttpLimits& limits) {
  const auto setopt = lib.EasySetopt;
  const std::size_t maxBody = limits.MaxBodyBytes;
  const auto offMax = static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max());
  bool ok = true;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  set(setopt(e, CURLOPT_NOSIGNAL, 1L));
  set(setopt(e, CURLOPT_USERAGENT, agent.c_str()));
  set(setopt(e, CURLOPT_HTTPGET, 1L));
  set(setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  set(setopt(e, CURLOPT_FOLLOWLOCATION, 1L));
  set(setopt(e, CURLOPT_MAXREDIRS, AtLeast(limits.MaxRedirects, 0)));
  set(setopt(e, CURLOPT_CONNECTTIMEOUT_MS, AtLeast(limits.ConnectTimeoutMs, 1)));
  if (maxBody > 0)  // 0 would mean "no limit" to the library; the body callbacks enforce it anyway
    set(setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(std::min<std::uint64_t>(maxBody, offMax))));
  set(setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  if (!limits.CaFile.empty()) set(setopt(e, CURLOPT_CAINFO, limits.CaFile.c_str()));
  return ok;
}

// The URL as it goes on the wire, or empty with the reason it cannot be
// opened in `why`.
std::string WireUrl(const std::string& url, std::string& why) {
  if (url.empty()) {
    why = "empty URL";
    return {};
  }
  if (!StartsWithTextAscii(url, "http://") && !StartsWithTextAscii(url, "https://")) {
    why = "only http:// and https:// URLs can be opened";
    return {};
  }
  std::string wire = EncodeUrlForRequest(url);
  if (wire.empty()) why = "malformed URL";
  return wire;
}

// "scheme://host:port" of a wire URL, in lower case: what one connection reaches.
std::string HostOf(const std::string& wire) {
  const std::size_t start = wire.find("://") + 3;
  std::size_t end = wire.find_first_of("/?#", start);
  if (end == std::string::npos) end = wire.size();
  return LowerAscii(std::string_view(wire).substr(0, end));
}

// The library's words for a failed transfer.
std::string TransferError(const TCurl& lib, CURLcode code, const char* errorBuffer) {
  std::string why = lib.EasyStrerror(code);
  if (errorBuffer[0] && why != errorBuffer) why += std::string(" (") + errorBuffer + ")";
  return why;
}

// Sets a flag for as long as it lives: a call of the session is waiting.
struct TPumping {
  bool& Flag;
  explicit TPumping(bool& flag) : Flag(flag) { Flag = true; }
  ~TPumping() { Flag = false; }
  TPumping(const TPumping&) = delete;
  TPumping& operator=(const TPumping&) = delete;
};

std::string TooLargeError(std::size_t maxBody) {
  return "the response body is larger than " + std::to_string(maxBody) + " bytes";
}

}  // namespace

std::string EncodeUrlForRequest(const std::string& url) {
  const std::size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return {};
  std::size_t hostEnd = url.find_first_of("/?#", sep + 3);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  for (std::size_t i = 0; i < hostEnd; ++i)
    if (const auto b = static_cast<unsigned char>(url[i]); b <= 0x20 || b == 0x7F) return {};
  std::string out = url.substr(0, hostEnd);
  out.reserve(url.size() + 16);
  for (std::size_t i = hostEnd; i < url.size(); ++i) {
    const auto b = static_cast<unsigned char>(url[i]);
    if (RawUnsafe(b))
      AppendEscaped(out, b);
    else
      out += url[i];
  }
  return out;
}

// One fetch of Fetch/RunFetches: its transfer and what has arrived.
struct THttpFetch {
  std::size_t MaxBody = 0;
  CURL* Easy = nullptr;  // while it is in the session's multi handle
  std::string Url;       // printable, for messages
  std::string Wire;      // as it goes out
  std::string Host;      // "scheme://host:port" of Wire, the key of the session's Hosts
  TInternetSession::TFetchDone Done;
  TWebFetch Result;
  bool TooLarge = false;
  bool Sent = false;  // its request has gone out: its stall time-out runs
  TClock::time_point LastArrival;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* fetch = static_cast<THttpFetch*>(user);
    const std::size_t len = size * count;
    fetch->LastArrival = TClock::now();
    if (len > fetch->MaxBody - fetch->Result.Body.size()) {
      fetch->TooLarge = true;
      return 0;  // makes the library fail the transfer
    }
    fetch->Result.Body.append(data, len);
    return len;
  }
  static std::size_t OnHeader(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<THttpFetch*>(user)->LastArrival = TClock::now();
    return size * count;
  }
  // A connection has been made or taken from the idle ones, and the request
  // is about to go out (again after each redirect).
  static int OnRequest(void* user, char*, char*, int, int) {
    auto* fetch = static_cast<THttpFetch*>(user);
    fetch->Sent = true;
    fetch->LastArrival = TClock::now();
    return CURL_PREREQFUNC_OK;
  }
};

// Everything one session owns; shared with its open URL so that a URL
// handle outliving its session fails cleanly instead of touching freed memory.
struct THttpCore {
  enum class TState { Idle, Running, Complete, Failed };

  const TCurl* Lib = nullptr;  // set by TInternetSession::Open, never null afterwards
  THttpLimits Limits;
  std::string Agent;
  CURL* Easy = nullptr;
  CURLM* Multi = nullptr;
  bool Closed = false;     // the session is gone or cancelled; the handles are released
  bool Cancelled = false;  // closed early by Cancel()
  bool Pumping = false;    // a call is waiting in Pump (the wait handler may run)
  std::function<void()> WaitHandler;
  long WaitSliceMs = 50;
  bool Attached = false;  // Easy is in Multi
  bool UrlOpen = false;   // the URL of Generation is open
  unsigned long Generation = 0;
  std::string LastError;
  std::string Method = "GET";  // of the current request, for messages
  std::string Url;             // printable form of the current URL, for messages
  char ErrorBuffer[CURL_ERROR_SIZE] = {};

  // State of the current request, reset by StartRequest.
  TState State = TState::Idle;
  std::string Buffer;  // body bytes received and not yet read, from BufferPos
  std::size_t BufferPos = 0;
  std::size_t BodyBytes = 0;
  bool HeadersDone = false;  // the final response's headers are complete
  bool SawLocation = false;  // the response being received has a Location
  bool TooLarge = false;
  TClock::time_point LastArrival;

  // The concurrent fetches: queued, under way (their handles in Multi),
  // ended and not yet reported; and handles kept for the next ones.
  std::deque<std::unique_ptr<THttpFetch>> Waiting;
  std::vector<std::unique_ptr<THttpFetch>> Fetches;
  std::deque<std::unique_ptr<THttpFetch>> Ended;
  std::vector<CURL*> SpareHandles;
  // What the session knows of each host its fetches go to. Fetches are
  // handed to the library only as far as a host takes them (the library's
  // own queue would let later fetches overtake the ones waiting longest).
  struct THost {
    enum class TKind { Unknown, OneAtATime, Multiplexed } Kind = TKind::Unknown;
    int InFlight = 0;  // its fetches under way
  };
  std::map<std::string, THost> Hosts;

  ~THttpCore() { Close(); }

  void Close() {
    if (Closed) return;
    Closed = true;
    DropFetches();
    Detach();
    if (Multi) Lib->MultiCleanup(Multi);
    if (Easy) Lib->EasyCleanup(Easy);
    for (CURL* spare : SpareHandles) Lib->EasyCleanup(spare);
    SpareHandles.clear();
    Multi = nullptr;
    Easy = nullptr;
    std::string().swap(Buffer);
  }

  // --- concurrent fetches ---

  // The fetch's handle leaves the multi handle and waits for the next fetch.
  void Release(THttpFetch& fetch) {
    if (!fetch.Easy) return;
    Lib->MultiRemoveHandle(Multi, fetch.Easy);
    SpareHandles.push_back(fetch.Easy);
    fetch.Easy = nullptr;
  }

  void DropFetches() {
    for (auto& fetch : Fetches) Release(*fetch);
    Waiting.clear();
    Fetches.clear();
    Ended.clear();
    for (auto& [name, host] : Hosts) host.InFlight = 0;
  }

  // Moves a fetch under way to the ended ones, failed with `why` unless
  // `why` is empty; a reply tells what its host speaks.
  void EndFetch(std::size_t index, const std::string& why) {
    std::unique_ptr<THttpFetch> fetch = std::move(Fetches[index]);
    Fetches.erase(Fetches.begin() + static_cast<std::ptrdiff_t>(index));
    THost& host = Hosts[fetch->Host];
    --host.InFlight;
    long version = 0;
    Lib->EasyGetinfo(fetch->Easy, CURLINFO_HTTP_VERSION, &version);
    if (version >= CURL_HTTP_VERSION_2_0)
      host.Kind = THost::TKind::Multiplexed;
    else if (version != 0)
      host.Kind = THost::TKind::OneAtATime;
    Release(*fetch);
    EndFetch(std::move(fetch), why);
  }

  // Whether a fetch to `host` may go to the library now: a host known to
  // multiplex takes every fetch on its one connection; an HTTP/1.1 host one
  // per connection, up to the bound; an https host that has not answered yet
  // one, whose connection tells which it is. Connections in all stay within
  // their bound.
  bool Admits(const std::string& name, int connections) const {
    const auto it = Hosts.find(name);
    const THost host = it == Hosts.end() ? THost{} : it->second;
    if (host.Kind == THost::TKind::Multiplexed && host.InFlight > 0) return true;
    if (connections >= AtLeast(Limits.MaxConnections, 1)) return false;
    if (host.Kind == THost::TKind::Unknown && StartsWithTextAscii(name, "https://")) return host.InFlight == 0;
    return host.InFlight < AtLeast(Limits.MaxConnectionsPerHost, 1);
  }

  // Hands the waiting fetches to the library, in the order they were
  // queued, as far as their hosts take them.
  void Admit() {
    int connections = 0;
    for (const auto& [name, host] : Hosts)
      connections += host.Kind == THost::TKind::Multiplexed ? (host.InFlight > 0 ? 1 : 0) : host.InFlight;
    for (std::size_t i = 0; i < Waiting.size();) {
      THttpFetch& fetch = *Waiting[i];
      if (!Admits(fetch.Host, connections)) {
        ++i;
        continue;
      }
      std::unique_ptr<THttpFetch> admitted = std::move(Waiting[i]);
      Waiting.erase(Waiting.begin() + static_cast<std::ptrdiff_t>(i));
      admitted->Easy = HandleFor(*admitted);
      if (!admitted->Easy) {
        EndFetch(std::move(admitted), "out of memory");
        continue;
      }
      if (const CURLMcode mc = Lib->MultiAddHandle(Multi, admitted->Easy); mc != CURLM_OK) {
        SpareHandles.push_back(admitted->Easy);
        admitted->Easy = nullptr;
        EndFetch(std::move(admitted), Lib->MultiStrerror(mc));
        continue;
      }
      THost& host = Hosts[admitted->Host];
      if (host.Kind != THost::TKind::Multiplexed || host.InFlight == 0) ++connections;
      ++host.InFlight;
      Fetches.push_back(std::move(admitted));
    }
  }

  void EndFetch(std::unique_ptr<THttpFetch> fetch, const std::string& why) {
    fetch->Result.Ok = why.empty();
    if (!why.empty()) {
      fetch->Result.Error = "GET " + fetch->Url + ": " + why;
      LastError = fetch->Result.Error;
    }
    Ended.push_back(std::move(fetch));
  }

  // A handle with the session's transfer options and the fetch's own
  // callbacks; null when the library has no memory for one.
  CURL* HandleFor(THttpFetch& fetch) {
    CURL* e = nullptr;
    if (!SpareHandles.empty()) {
      e = SpareHandles.back();
      SpareHandles.pop_back();
    } else {
      e = Lib->EasyInit();
      if (!e) return nullptr;
      if (!SetTransferOptions(*Lib, e, Agent, Limits)) {
        Lib->EasyCleanup(e);
        return nullptr;
      }
    }
    const auto setopt = Lib->EasySetopt;
    bool ok = true;
    auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(setopt(e, CURLOPT_URL, fetch.Wire.c_str()));
    set(setopt(e, CURLOPT_ERRORBUFFER, fetch.ErrorBuffer));
    set(setopt(e, CURLOPT_WRITEFUNCTION, &THttpFetch::OnBody));
    set(setopt(e, CURLOPT_WRITEDATA, &fetch));
    set(setopt(e, CURLOPT_HEADERFUNCTION, &THttpFetch::OnHeader));
    set(setopt(e, CURLOPT_HEADERDATA, &fetch));
    set(setopt(e, CURLOPT_PREREQFUNCTION, &THttpFetch::OnRequest));
    set(setopt(e, CURLOPT_PREREQDATA, &fetch));
    if (!ok) {
      Lib->EasyCleanup(e);
      return nullptr;
    }
    return e;
  }

  // Moves the fetches the library has finished, and those that have waited
  // for data longer than the stall time-out, to the ended ones.
  void CollectEnded() {
    int left = 0;
    while (CURLMsg* msg = Lib->MultiInfoRead(Multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      const CURLcode code = msg->data.result;
      for (std::size_t i = 0; i < Fetches.size(); ++i) {
        THttpFetch& fetch = *Fetches[i];
        if (fetch.Easy != msg->easy_handle) continue;
        std::string why;
        if (fetch.TooLarge || code == CURLE_FILESIZE_EXCEEDED)
          why = TooLargeError(Limits.MaxBodyBytes);
        else if (code != CURLE_OK)
          why = TransferError(*Lib, code, fetch.ErrorBuffer);
        EndFetch(i, why);
        break;
      }
    }
    const long stall = AtLeast(Limits.StallTimeoutMs, 1);
    const TClock::time_point now = TClock::now();
    for (std::size_t i = Fetches.size(); i-- > 0;)
      if (Fetches[i]->Sent && now - Fetches[i]->LastArrival >= std::chrono::milliseconds(stall))
        EndFetch(i, "no data from the server for " + std::to_string(stall) + " ms");
  }

  // How long the next poll may wait before a stall time-out falls due.
  long UntilNextStall() const {
    const auto stall = std::chrono::milliseconds(AtLeast(Limits.StallTimeoutMs, 1));
    const TClock::time_point now = TClock::now();
    long wait = std::numeric_limits<int>::max();
    for (const auto& fetch : Fetches)
      if (fetch->Sent) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(fetch->LastArrival + stall - now);
        wait = std::min<long>(wait, std::max<long>(0, static_cast<long>(left.count()) + 1));
      }
    return wait;
  }

  void Detach() {
    if (Attached) Lib->MultiRemoveHandle(Multi, Easy);
    Attached = false;
  }

  // Closes the open URL, if any; an unfinished transfer is abandoned (the
  // library then drops its connection rather than reuse it).
  void CloseUrl() {
    Detach();
    UrlOpen = false;
    if (State == TState::Running) State = TState::Failed;
    std::string().swap(Buffer);
    BufferPos = 0;
  }

  void Fail(const std::string& why) { LastError = Method + " " + Url + ": " + why; }

  void StartRequest() {
    State = TState::Running;
    Buffer.clear();
    BufferPos = 0;
    BodyBytes = 0;
    HeadersDone = false;
    SawLocation = false;
    TooLarge = false;
    ErrorBuffer[0] = '\0';
  }

  void Finish(CURLcode code) {
    Detach();
    if (code == CURLE_OK) {
      State = TState::Complete;
      return;
    }
    State = TState::Failed;
    Fail(TooLarge || code == CURLE_FILESIZE_EXCEEDED ? TooLargeError(Limits.MaxBodyBytes)
                                                     : TransferError(*Lib, code, ErrorBuffer));
  }

  void Abort(const std::string& why) {
    Detach();
    State = TState::Failed;
    Fail(why);
  }

  // Drives the transfer until `ready()` holds, the transfer ends, nothing
  // has arrived for the stall time-out (then the transfer fails) or the wait
  // handler cancelled the session (then it fails and the handles go).
  template <class TReady>
  void Pump(TReady ready) {
    {
      TPumping pumping(Pumping);
      Drive(ready);
    }
    if (Cancelled) Close();
  }

  template <class TReady>
  void Drive(TReady ready) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    LastArrival = TClock::now();
    TClock::time_point lastHandlerCall = LastArrival;
    const long stall = AtLeast(Limits.StallTimeoutMs, 1);
    const long slice = AtLeast(WaitSliceMs, 1);
    while (State == TState::Running) {
      int running = 0;
      CURLMcode mc = Lib->MultiPerform(Multi, &running);
      if (mc != CURLM_OK) return Abort(Lib->MultiStrerror(mc));
      int left = 0;
      while (CURLMsg* msg = Lib->MultiInfoRead(Multi, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == Easy) Finish(msg->data.result);
      if (State != TState::Running || ready()) return;
      const TClock::time_point now = TClock::now();
      const auto idle = duration_cast<milliseconds>(now - LastArrival).count();
      if (idle >= stall) return Abort("no data from the server for " + std::to_string(stall) + " ms");
      long wait = std::min<long>(stall - static_cast<long>(idle), std::numeric_limits<int>::max());
      if (WaitHandler) {
        const auto waited = duration_cast<milliseconds>(now - lastHandlerCall).count();
        if (waited >= slice) {
          WaitHandler();
          lastHandlerCall = TClock::now();
          if (Cancelled) return Abort("cancelled");
          continue;
        }
        wait = std::min<long>(wait, slice - static_cast<long>(waited));
      }
      mc = Lib->MultiPoll(Multi, nullptr, 0, static_cast<int>(wait), nullptr);
      if (mc != CURLM_OK) return Abort(Lib->MultiStrerror(mc));
    }
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* core = static_cast<THttpCore*>(user);
    const std::size_t len = size * count;
    core->LastArrival = TClock::now();
    core->HeadersDone = true;  // only the final response's body is delivered
    if (len > core->Limits.MaxBodyBytes - core->BodyBytes) {
      core->TooLarge = true;
      return 0;  // makes the library fail the transfer
    }
    if (core->BufferPos == core->Buffer.size()) {
      core->Buffer.clear();
      core->BufferPos = 0;
    } else if (core->BufferPos >= 65536 && core->BufferPos * 2 >= core->Buffer.size()) {
      core->Buffer.erase(0, core->BufferPos);
      core->BufferPos = 0;
    }
    core->Buffer.append(data, len);
    core->BodyBytes += len;
    return len;
  }

  // Tells the final response's end of headers from those of interim (1xx)
  // responses and of redirects the library is about to follow.
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* core = static_cast<THttpCore*>(user);
    const std::size_t len = size * count;
    core->LastArrival = TClock::now();
    if (core->HeadersDone) return len;  // trailers
    const std::string_view line(data, len);
    if (StartsWithTextAscii(line, "http/")) {
      core->SawLocation = false;
    } else if (StartsWithTextAscii(line, "location:")) {
      const std::string_view value = line.substr(9);
      core->SawLocation = value.find_first_not_of(" \t\r\n") != std::string_view::npos;
    } else if (line == "\r\n" || line == "\n") {
      long code = 0;
      core->Lib->EasyGetinfo(core->Easy, CURLINFO_RESPONSE_CODE, &code);
      const bool interim = code < 200;
      const bool redirect = code >= 300 && code < 400 && core->SawLocation;
      if (!interim && !redirect) core->HeadersDone = true;
    }
    return len;
  }
};

// --- TInternetSession ---

TInternetSession::TInternetSession(std::shared_ptr<THttpCore> core) : FCore(std::move(core)) {}

TInternetSession::~TInternetSession() {
  FCore->Close();
}

std::unique_ptr<TInternetSession> TInternetSession::Open(const std::string& agent, const THttpLimits& limits) {
  const TCurl* lib = Curl();
  if (!lib) return nullptr;
  auto core = std::make_shared<THttpCore>();
  core->Lib = lib;
  core->Limits = limits;
  core->Agent = agent;
  core->Easy = lib->EasyInit();
  core->Multi = lib->MultiInit();
  if (!core->Easy || !core->Multi) return nullptr;

  CURLM* m = core->Multi;
  bool ok = lib->MultiSetopt(m, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) == CURLM_OK &&
            lib->MultiSetopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, AtLeast(limits.MaxConnectionsPerHost, 1)) == CURLM_OK &&
            lib->MultiSetopt(m, CURLMOPT_MAX_TOTAL_CONNECTIONS, AtLeast(limits.MaxConnections, 1)) == CURLM_OK;
  CURL* e = core->Easy;
  const auto setopt = lib->EasySetopt;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  ok = ok && SetTransferOptions(*lib, e, agent, limits);
  set(setopt(e, CURLOPT_ERRORBUFFER, core->ErrorBuffer));
  set(setopt(e, CURLOPT_WRITEFUNCTION, &THttpCore::OnBody));
  set(setopt(e, CURLOPT_WRITEDATA, core.get()));
  set(setopt(e, CURLOPT_HEADERFUNCTION, &THttpCore::OnHeader));
  set(setopt(e, CURLOPT_HEADERDATA, core.get()));
  if (!ok) return nullptr;
  return std::unique_ptr<TInternetSession>(new TInternetSession(std::move(core)));
}

void TInternetSession::SetWaitHandler(std::function<void()> handler, long waitSliceMs) {
  FCore->WaitHandler = std::move(handler);
  FCore->WaitSliceMs = waitSliceMs;
}

void TInternetSession::Cancel() {
  THttpCore& core = *FCore;
  if (core.Cancelled || core.Closed) return;
  core.Cancelled = true;
  core.Fail("cancelled");
  if (!core.Pumping) core.Close();  // else Pump closes once the handler has returned
}

const std::string& TInternetSession::LastError() const {
  return FCore->LastError;
}

void TInternetSession::Fetch(const std::string& url, TFetchDone done) {
  THttpCore& core = *FCore;
  if (core.Closed) return;
  auto fetch = std::make_unique<THttpFetch>();
  fetch->MaxBody = core.Limits.MaxBodyBytes;
  fetch->Url = Printable(url);
  fetch->Done = std::move(done);
  std::string why;
  fetch->Wire = WireUrl(url, why);
  if (fetch->Wire.empty()) return core.EndFetch(std::move(fetch), why);
  fetch->Host = HostOf(fetch->Wire);
  core.Waiting.push_back(std::move(fetch));
}

bool TInternetSession::RunFetches() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  THttpCore& core = *FCore;
  if (core.Closed) return false;
  const long slice = AtLeast(core.WaitSliceMs, 1);
  TClock::time_point lastHandlerCall = TClock::now();
  std::optional<TPumping> pumping(core.Pumping);  // a Cancel meanwhile closes the handle once this returns
  for (;;) {
    // Report what has ended; a `done` may queue, stop or cancel.
    while (!core.Ended.empty() && !core.Cancelled) {
      std::unique_ptr<THttpFetch> fetch = std::move(core.Ended.front());
      core.Ended.pop_front();
      if (fetch->Done) fetch->Done(std::move(fetch->Result));
    }
    if (core.Cancelled || (core.Waiting.empty() && core.Fetches.empty() && core.Ended.empty())) break;
    core.Admit();
    if (core.Fetches.empty()) continue;

    int running = 0;
    if (const CURLMcode mc = core.Lib->MultiPerform(core.Multi, &running); mc != CURLM_OK) {
      const std::string why = core.Lib->MultiStrerror(mc);
      while (!core.Fetches.empty()) core.EndFetch(core.Fetches.size() - 1, why);
      continue;
    }
    core.CollectEnded();
    long wait = core.UntilNextStall();
    if (core.WaitHandler) {
      const auto waited = duration_cast<milliseconds>(TClock::now() - lastHandlerCall).count();
      if (waited >= slice) {
        core.WaitHandler();
        lastHandlerCall = TClock::now();
        continue;
      }
      wait = std::min<long>(wait, slice - static_cast<long>(waited));
    }
    if (!core.Ended.empty()) continue;
    if (const CURLMcode mc = core.Lib->MultiPoll(core.Multi, nullptr, 0, static_cast<int>(wait), nullptr);
        mc != CURLM_OK) {
      const std::string why = core.Lib->MultiStrerror(mc);
      while (!core.Fetches.empty()) core.EndFetch(core.Fetches.size() - 1, why);
    }
  }
  pumping.reset();
  if (!core.Cancelled) return true;
  // The error names a fetch the cancel cut off, the earliest queued.
  const std::unique_ptr<THttpFetch>* cut = !core.Fetches.empty()   ? &core.Fetches.front()
                                           : !core.Waiting.empty() ? &core.Waiting.front()
                                           : !core.Ended.empty()   ? &core.Ended.front()
                                                                   : nullptr;
  if (cut) core.LastError = "GET " + (*cut)->Url + ": cancelled";
  core.Close();
  return false;
}

void TInternetSession::StopFetches() {
  FCore->DropFetches();
}

std::unique_ptr<TInternetUrl> TInternetSession::OpenUrl(const std::string& url) {
  THttpCore& core = *FCore;
  if (core.Closed) {  // only Cancel() closes a live session
    core.Method = "GET";
    core.Url = Printable(url);
    core.Fail("cancelled");
    return nullptr;
  }
  core.CloseUrl();
  ++core.Generation;  // an earlier TInternetUrl of this session is now closed
  core.State = THttpCore::TState::Idle;
  core.Method = "GET";
  core.Url = Printable(url);
  std::string why;
  const std::string wire = WireUrl(url, why);
  if (wire.empty()) {
    core.Fail(why);
    return nullptr;
  }
  core.StartRequest();
  if (core.Lib->EasySetopt(core.Easy, CURLOPT_URL, wire.c_str()) != CURLE_OK) {
    core.Abort("out of memory");
    return nullptr;
  }
  if (const CURLMcode mc = core.Lib->MultiAddHandle(core.Multi, core.Easy); mc != CURLM_OK) {
    core.Abort(core.Lib->MultiStrerror(mc));
    return nullptr;
  }
  core.Attached = true;
  core.Pump([&core] { return core.HeadersDone; });
  if (core.State == THttpCore::TState::Failed && !core.HeadersDone) {
    core.CloseUrl();
    return nullptr;
  }
  // Running with headers, Complete, or failed after the headers (the bytes
  // that came are still delivered, then Read fails).
  core.UrlOpen = true;
  return std::unique_ptr<TInternetUrl>(new TInternetUrl(FCore, core.Generation));
}

bool TInternetSession::Post(const std::string& url, const std::string& contentType, const std::string& body,
                            TPostReply& reply) {
  reply = TPostReply();
  THttpCore& core = *FCore;
  core.Method = "POST";
  core.Url = Printable(url);
  if (core.Closed) {  // only Cancel() closes a live session
    core.Fail("cancelled");
    return false;
  }
  core.CloseUrl();
  ++core.Generation;  // an earlier TInternetUrl of this session is now closed
  core.State = THttpCore::TState::Idle;
  std::string why;
  const std::string wire = WireUrl(url, why);
  if (wire.empty()) {
    core.Fail(why);
    return false;
  }
  const TCurl& lib = *core.Lib;
  curl_slist* headers = lib.SlistAppend(nullptr, ("Content-Type: " + contentType).c_str());
  // The server may refuse from the head alone (too large, too many) and
  // close: a body still on its way would then reset the connection and take
  // the refusal with it. Asked first, the server answers before the body.
  if (headers && !lib.SlistAppend(headers, "Expect: 100-continue")) {
    lib.SlistFreeAll(headers);
    headers = nullptr;
  }
  CURL* const e = core.Easy;
  bool ok = headers != nullptr;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  set(lib.EasySetopt(e, CURLOPT_URL, wire.c_str()));
  set(lib.EasySetopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
  set(lib.EasySetopt(e, CURLOPT_POSTFIELDS, body.data()));
  set(lib.EasySetopt(e, CURLOPT_HTTPHEADER, headers));
  set(lib.EasySetopt(e, CURLOPT_FOLLOWLOCATION, 0L));
  set(lib.EasySetopt(e, CURLOPT_TIMEOUT_MS, AtLeast(core.Limits.TotalTimeoutMs, 0)));
  core.StartRequest();
  if (!ok) {
    core.Abort("out of memory");
  } else if (const CURLMcode mc = lib.MultiAddHandle(core.Multi, e); mc != CURLM_OK) {
    core.Abort(lib.MultiStrerror(mc));
  } else {
    core.Attached = true;
    core.Pump([] { return false; });  // to the reply's end
  }
  long status = 0;
  if (!core.Closed) {  // a Cancel meanwhile released the handle
    lib.EasyGetinfo(e, CURLINFO_RESPONSE_CODE, &status);
    // The session's GETs as they were.
    lib.EasySetopt(e, CURLOPT_HTTPGET, 1L);
    lib.EasySetopt(e, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    lib.EasySetopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    lib.EasySetopt(e, CURLOPT_TIMEOUT_MS, 0L);
  }
  if (headers) lib.SlistFreeAll(headers);
  const bool complete = core.State == THttpCore::TState::Complete;
  if (complete) {
    reply.Status = status;
    reply.Body = core.Buffer.substr(core.BufferPos);
  }
  if (!core.Closed) core.CloseUrl();
  return complete;
}

// --- TInternetUrl ---

TInternetUrl::TInternetUrl(std::shared_ptr<THttpCore> core, unsigned long generation)
    : FCore(std::move(core)), FGeneration(generation) {}

TInternetUrl::~TInternetUrl() {
  if (!FCore->Closed && FCore->UrlOpen && FCore->Generation == FGeneration) FCore->CloseUrl();
}

bool TInternetUrl::Read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  THttpCore& core = *FCore;
  if (core.Closed || !core.UrlOpen || core.Generation != FGeneration) {
    if (!core.Cancelled) core.LastError = "read from a closed URL handle";
    return false;
  }
  if (!buffer || size == 0) {
    core.Fail("read into an empty buffer");
    return false;
  }
  if (core.BufferPos == core.Buffer.size() && core.State == THttpCore::TState::Running)
    core.Pump([&core] { return core.BufferPos < core.Buffer.size(); });
  if (core.BufferPos < core.Buffer.size()) {
    got = std::min(size, core.Buffer.size() - core.BufferPos);
    std::memcpy(buffer, core.Buffer.data() + core.BufferPos, got);
    core.BufferPos += got;
    return true;
  }
  return core.State == THttpCore::TState::Complete;
}
