// A certificate authority of one test's own, made with openssl, and a server
// certificate for 127.0.0.1 that it signed: an https origin that only a
// client given this authority trusts.
#pragma once

#include <optional>
#include <string>

namespace test_support {

struct TestCa {
  std::string caCert;     // the authority's certificate (PEM): a trust store
  std::string serverPem;  // the server's certificate and key, for http_server.py --tls
};

// Makes both in `dir` (valid for a day); nullopt when openssl failed.
std::optional<TestCa> MakeTestCa(const std::string& dir);

}  // namespace test_support
