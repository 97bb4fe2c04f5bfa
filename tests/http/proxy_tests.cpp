// Downloads through a real proxy (squid; tests/support/proxy_servers.h)
// named in the environment, as behind a company's proxy,
// from the local origin tests/support/http_server.py.

#include "LogicSession.h"
#include "proxy_servers.h"
#include "response_headers.h"
#include "test_ca.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ReadFile;
using test_support::RequestsAt;

constexpr size_t kBigSize = 3 * 1024 * 1024;

class ProxyDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only the proxy a test names, for every host.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.Unset(name);
    }
    ASSERT_TRUE(dir_.ok());
    served_ = fs::path(dir_.path()) / "served";
    out_ = fs::path(dir_.path()) / "out";
    fs::create_directories(served_);
    fs::create_directories(out_);
    std::mt19937 generator(7);
    big_.resize(kBigSize);
    for (char& byte : big_) byte = static_cast<char>(generator());
    ASSERT_TRUE(test_support::WriteFile(served_ / "big.bin", big_));
    origin_ = std::make_unique<test_support::HttpServer>(served_.string());
    ASSERT_TRUE(origin_->ok()) << "origin did not start";
    TransferOptions options;
    options.maxAttempts = 3;
    options.firstRetryPause = 20ms;
    LogicSession::SetTransferOptions(options);
  }

  void TearDown() override {
    EXPECT_TRUE(LogicSession::AbandonAll(30s));
    LogicSession::SetTransferOptions(TransferOptions{});
  }

  void Use(const test_support::ProxyServer& proxy, const std::string& userInfo = "") {
    env_.Set("http_proxy", proxy.Url(userInfo));
    env_.Set("https_proxy", proxy.Url(userInfo));
  }

  // Downloads `url` into out_/setup.bin as the upgrader does; the result
  // once the transfer's thread is gone.
  LogicSession::Result Fetch(const std::string& url) {
    auto folder = std::make_shared<platform::Folder>();
    if (!folder->Open(out_.string(), {}, false)) {
      ADD_FAILURE() << "cannot open " << out_;
      return {};
    }
    auto done = std::make_shared<std::promise<LogicSession::Result>>();
    std::future<LogicSession::Result> result = done->get_future();
    LogicSession session;
    session.DownloadInto([done](const LogicSession::Result& r, platform::HeldFile) { done->set_value(r); },
                         nullptr, url, {}, folder, "setup.bin");
    if (result.wait_for(60s) != std::future_status::ready) {
      ADD_FAILURE() << "no completion for " << url;
      return {};
    }
    EXPECT_TRUE(test_support::WaitUntil([] { return LogicSession::RunningTransfers() == 0; }, 30s));
    return result.get();
  }

  std::string Stored() const { return ReadFile(out_ / "setup.bin"); }
  bool NothingStored() const { return fs::is_empty(out_); }

  test_support::EnvOverride env_;
  test_support::TempDir dir_{"bvproxy"};
  fs::path served_, out_;
  std::string big_;
  std::unique_ptr<test_support::HttpServer> origin_;
};

// ---- a download through squid, whole and cut ------------------------------

struct Relay {
  const char* name;
  const char* path;
  int status;
  // What the origin is asked, in order (each line's beginning): a cut
  // download goes on from where it stopped, tied to the version on disk.
  std::vector<std::string> originRequests;
};

const Relay kRelays[] = {
    {"whole", "/files/big.bin", 200, {"/files/big.bin -"}},
    {"cut", "/drop-once/big.bin", 206,
     {"/drop-once/big.bin -", "/drop-once/big.bin bytes=" + std::to_string(kBigSize / 2) + "- If-Range: \""}},
};

TEST_F(ProxyDownload, DeliversByteExactWholeAndCut) {
  for (const Relay& relay : kRelays) {
    SCOPED_TRACE(relay.name);
    test_support::Squid proxy;
    ASSERT_TRUE(proxy.ok()) << proxy.Diagnostics();
    Use(proxy);
    const size_t before = RequestsAt(*origin_).size();
    const std::string url = origin_->Url(relay.path);
    const LogicSession::Result result = Fetch(url);
    EXPECT_EQ(result.code, CURLE_OK) << result.text;
    EXPECT_EQ(result.httpStatus, relay.status);
    EXPECT_TRUE(Stored() == big_);
    const int asked = static_cast<int>(relay.originRequests.size());
    EXPECT_TRUE(proxy.Logged("GET " + url + " ", asked)) << proxy.Diagnostics();
    const std::vector<std::string> requests = RequestsAt(*origin_);
    ASSERT_EQ(requests.size(), before + relay.originRequests.size());
    for (int i = 0; i < asked; ++i) {
      EXPECT_EQ(requests[before + i].rfind(relay.originRequests[i], 0), 0u) << requests[before + i];
    }
  }
}

// ---- squid ------------------------------------------------------------------

TEST_F(ProxyDownload, BasicAuthenticationIsAnsweredByTheProxy) {
  test_support::SquidOptions options;
  options.user = "tester";
  options.password = "s3cret";
  test_support::Squid squid(options);
  ASSERT_TRUE(squid.ok()) << squid.Diagnostics();
  struct Row {
    std::string userInfo;
    CURLcode code;
    int status;
    std::string reason;
  };
  for (const Row& row : {Row{"tester:s3cret", CURLE_OK, 200, "OK"},
                         Row{"", CURLE_HTTP_RETURNED_ERROR, 407, "Proxy Authentication Required"},
                         Row{"tester:wrong", CURLE_HTTP_RETURNED_ERROR, 407, "Proxy Authentication Required"}}) {
    SCOPED_TRACE("credentials '" + row.userInfo + "'");
    fs::remove(out_ / "setup.bin");
    Use(squid, row.userInfo);
    const LogicSession::Result result = Fetch(origin_->Url("/files/big.bin"));
    EXPECT_EQ(result.code, row.code) << result.text;
    EXPECT_EQ(result.httpStatus, row.status);
    EXPECT_EQ(result.reasonPhrase, row.reason);
    EXPECT_EQ(result.fromProxy, row.status == 407);
    if (row.code == CURLE_OK) EXPECT_TRUE(Stored() == big_);
    else EXPECT_TRUE(NothingStored());
  }
  // Refused requests never reached the origin.
  EXPECT_EQ(RequestsAt(*origin_), std::vector<std::string>{"/files/big.bin -"});
}

// A filter's refusal, on the first hop or after the origin's own redirect,
// as a 302 to its notice or as its 403 page: the download fails, told as
// the proxy's answer, and neither the notice nor anything else is kept.
TEST_F(ProxyDownload, AFiltersRefusalFailsTheDownload) {
  ASSERT_TRUE(test_support::WriteFile(served_ / "big.exe", big_));
  ASSERT_TRUE(test_support::WriteFile(served_ / "blocked.html", "<html>Programs may not be downloaded.</html>\n"));
  test_support::SquidOptions redirecting;
  redirecting.blockedPaths = "^/files/big\\.exe$";
  redirecting.blockPage = origin_->Url("/files/blocked.html");
  test_support::SquidOptions refusing;
  refusing.blockedPaths = redirecting.blockedPaths;
  struct Row {
    const test_support::SquidOptions* options;
    const char* path;
    int status;
  };
  for (const Row& row : {Row{&redirecting, "/files/big.exe", 302}, Row{&redirecting, "/redirect/files/big.exe", 302},
                         Row{&refusing, "/redirect/files/big.exe", 403}}) {
    SCOPED_TRACE(std::string(row.path) + " " + std::to_string(row.status));
    test_support::Squid squid(*row.options);
    ASSERT_TRUE(squid.ok()) << squid.Diagnostics();
    Use(squid);
    const size_t before = RequestsAt(*origin_).size();
    const LogicSession::Result result = Fetch(origin_->Url(row.path));
    EXPECT_EQ(result.code, CURLE_HTTP_RETURNED_ERROR) << result.text;
    EXPECT_EQ(result.httpStatus, row.status);
    EXPECT_TRUE(result.fromProxy);
    EXPECT_EQ(result.bytesReceived, 0);
    EXPECT_TRUE(NothingStored());
    // The origin saw its own redirect at most: neither the file nor the notice.
    const std::vector<std::string> requests = RequestsAt(*origin_);
    for (size_t i = before; i < requests.size(); ++i) EXPECT_EQ(requests[i].rfind("/redirect/", 0), 0u) << requests[i];
  }
}

// ---- what marks a response as the proxy's own -------------------------------

// Header sets as proxies and origins send them, folded line by line as
// libcurl hands them over.
TEST(ProxyMarks, OnlyAProxysOwnMarksCount) {
  struct Row {
    const char* name;
    std::vector<std::string> lines;  // after the status line
    const char* status;
    bool fromProxy;
  };
  const Row rows[] = {
      {"squid's redirect", {"X-Squid-Error: 403 Access Denied", "Location: /notice"}, "302 Found", true},
      {"squid's mark of any value", {"x-squid-error:"}, "200 OK", true},
      {"proxy status error", {"Proxy-Status: corp; error=http_request_denied; details=\"policy\""}, "302 Found", true},
      {"error of a later hop", {"Proxy-Status: cdn; received-status=200, corp;error=destination_ip_prohibited"},
       "403 Forbidden", true},
      {"error after an inner list", {"Proxy-Status: (a b);error=x"}, "200 OK", true},
      {"error on the second field", {"Proxy-Status: cdn", "Proxy-Status: corp; error=dns_timeout"}, "504 Timeout", true},
      {"relayed only", {"Proxy-Status: squid; received-status=200"}, "200 OK", false},
      {"error inside an inner list", {"Proxy-Status: (a;error=x b), c"}, "200 OK", false},
      {"error as a value", {"Proxy-Status: squid; details=error; next-hop=\"error\""}, "200 OK", false},
      {"a longer key", {"Proxy-Status: squid; errors=1"}, "200 OK", false},
      {"not a list: trailing comma", {"Proxy-Status: corp; error=denied,"}, "200 OK", false},
      {"not a list: open string", {"Proxy-Status: corp; error=\"denied"}, "200 OK", false},
      {"not a list: capital key", {"Proxy-Status: corp; ERROR=denied"}, "200 OK", false},
      {"credentials asked", {}, "407 Proxy Authentication Required", true},
      {"mutual authentication closed", {"Proxy-Authenticate: Negotiate oYG3MIG0"}, "200 OK", false},
      {"the origin's refusal", {"Server: nginx"}, "403 Forbidden", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    bvhttptools::ResponseInfo response;
    const auto now = std::chrono::system_clock::now();
    // A proxy's mark on an earlier response of the try does not carry over.
    for (const char* line : {"HTTP/1.1 502 Bad Gateway", "X-Squid-Error: ERR_CONNECT_FAIL 111", ""}) {
      bvhttptools::FoldHeaderLine(std::string(line) + "\r\n", now, &response);
    }
    bvhttptools::FoldHeaderLine(std::string("HTTP/1.1 ") + row.status + "\r\n", now, &response);
    for (const std::string& line : row.lines) bvhttptools::FoldHeaderLine(line + "\r\n", now, &response);
    EXPECT_TRUE(bvhttptools::FoldHeaderLine("\r\n", now, &response));
    EXPECT_EQ(response.fromProxy, row.fromProxy);
  }
}

// An https origin reached through a CONNECT tunnel: the proxy does not see
// into it, the certificate check is the library's own.
TEST_F(ProxyDownload, HttpsGoesThroughATunnel) {
  const auto ca = test_support::MakeTestCa(dir_.path());
  ASSERT_TRUE(ca) << "openssl failed";
  test_support::HttpServer tlsOrigin(served_.string(), {"--tls", ca->serverPem});
  ASSERT_TRUE(tlsOrigin.ok());
  test_support::SquidOptions toOrigin;
  toOrigin.connectPorts = {tlsOrigin.port()};
  test_support::Squid allowing(toOrigin), refusing;
  ASSERT_TRUE(allowing.ok()) << allowing.Diagnostics();
  ASSERT_TRUE(refusing.ok()) << refusing.Diagnostics();
  const std::string url = tlsOrigin.Url("/files/big.bin", "https");
  struct Row {
    const test_support::Squid* proxy;
    std::string caBundle;  // "": the system's store, which knows nothing of the test's authority
    CURLcode code;
    int status;  // 0: no response came through the tunnel
    bool fromProxy;
  };
  for (const Row& row : {Row{&allowing, ca->caCert, CURLE_OK, 200, false},
                         Row{&allowing, "", CURLE_PEER_FAILED_VERIFICATION, 0, false},
                         // squid's default: CONNECT only to 443
                         Row{&refusing, ca->caCert, CURLE_HTTP_RETURNED_ERROR, 403, true}}) {
    SCOPED_TRACE("port " + std::to_string(row.proxy->port()) + " bundle '" + row.caBundle + "'");
    fs::remove(out_ / "setup.bin");
    Use(*row.proxy);
    TransferOptions options = LogicSession::GetTransferOptions();
    options.caBundle = row.caBundle;
    LogicSession::SetTransferOptions(options);
    const LogicSession::Result result = Fetch(url);
    EXPECT_EQ(result.code, row.code) << result.text;
    EXPECT_EQ(result.httpStatus, row.status);
    EXPECT_EQ(result.fromProxy, row.fromProxy);
    if (row.code == CURLE_OK) EXPECT_TRUE(Stored() == big_);
    else EXPECT_TRUE(NothingStored());
  }
  EXPECT_TRUE(allowing.Logged("CONNECT 127.0.0.1:" + std::to_string(tlsOrigin.port()) + " ", 2));
}

}  // namespace
