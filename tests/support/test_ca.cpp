#include "test_ca.h"

#include <vector>

#include "test_support.h"

namespace test_support {

std::optional<TestCa> MakeTestCa(const std::string& dir) {
  const std::string openssl = "/usr/bin/openssl";
  const std::string caKey = dir + "/ca.key", caCert = dir + "/ca.pem", key = dir + "/server.key",
                    request = dir + "/server.csr", cert = dir + "/server.crt", ext = dir + "/server.ext";
  // A leaf, not another authority, named by the address clients dial.
  if (!WriteFile(ext, "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")) return std::nullopt;
  const std::vector<std::vector<std::string>> commands = {
      {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-days", "1", "-subj", "/CN=Brisvane test CA", "-keyout", caKey, "-out", caCert},
      {openssl, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", request},
      {openssl, "x509", "-req", "-in", request, "-CA", caCert, "-CAkey", caKey, "-set_serial", "2",
       "-days", "1", "-extfile", ext, "-out", cert}};
  SpawnOptions quiet;
  quiet.stdoutPath = quiet.stderrPath = "/dev/null";
  for (const auto& command : commands) {
    if (RunToEnd(command, quiet) != 0) return std::nullopt;
  }
  const std::string pem = dir + "/server.pem";
  if (!WriteFile(pem, ReadFile(cert) + ReadFile(key), 0600)) return std::nullopt;
  return TestCa{caCert, pem};
}

}  // namespace test_support
