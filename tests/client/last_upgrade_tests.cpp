// Reading the outcome record from real files in a private XDG_DATA_HOME:
// what is read, what is refused and why, and the C function's buffers.
#include <brisvane/upgrade_client.h>

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "data_dir.h"
#include "test_support.h"

namespace {

using Status = brisvane::LastUpgradeRead::Status;
using test_support::SampleOutcomeRecord;

// The sample record with `from` replaced by `to`.
std::string Edited(const std::string& from, const std::string& to) {
  std::string text = SampleOutcomeRecord();
  const std::size_t at = text.find(from);
  return at == std::string::npos ? "edit did not apply" : text.replace(at, from.size(), to);
}

// The fields in one line, an absent number as "-", the server's answer and
// libcurl's text only when there.
std::string Summary(const brisvane::LastUpgrade& r) {
  const auto number = [](const auto& n) { return n ? std::to_string(*n) : std::string("-"); };
  return std::to_string(static_cast<int>(r.result)) + " " + r.resultText + " " + r.installer +
         " " + r.url + " " + std::to_string(r.bytesReceived) + " " +
         std::to_string(r.httpStatus) + " " + number(r.downloadError) + " " +
         number(r.installerExitCode) + " " + number(r.scriptExitCode) + " " +
         (r.signatureVerified ? "signed" : "unsigned") + " [" + r.keyId + "] " + r.started +
         " " + r.ended + " " + r.upgraderVersion + (r.serverAnswered ? " answered" : "") +
         (r.downloadErrorText.empty() ? "" : " {" + r.downloadErrorText + "}") +
         (r.retryAfter ? " retry " + std::to_string(*r.retryAfter) : "");
}

class LastUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    std::filesystem::create_directories(folder_);
    env_.Set("XDG_DATA_HOME", dataHome_);
  }
  test_support::TempDir temp_{"last-upgrade-tests"};
  // Not ASCII: a reason naming the path holds multi-byte characters.
  const std::string dataHome_ = temp_.path() + "/Zürich";
  const std::string folder_ = dataHome_ + "/Tamberk/Brisvane";
  const std::string record_ = folder_ + "/last-upgrade.json";
  test_support::EnvOverride env_;
};

TEST_F(LastUpgradeTest, ReadsAWholeRecordAndRefusesAnyOtherWithItsReason) {
  const std::string sample = SampleOutcomeRecord();
  const std::string largest = sample + std::string(256 * 1024 - sample.size(), ' ');
  const std::string whole =
      "0 installed Setup_1.2.3.exe https://example.com/Setup_1.2.3.exe 1234 200 - 0 0 signed "
      "[DAC9B6FE8F81E607] 2026-12-07T17:18:31Z 2026-12-07T17:18:35Z 1.0.0";
  enum Place { kFile, kLink, kNothing };
  const struct {
    const char* name;
    std::string content;
    Place place;
    Status status;
    std::string expected;  // the summary when read, else the reason after the path
  } cases[] = {
      {"whole", sample, kFile, Status::kRead, whole},
      {"no optional fields",
       R"({"format":1,"result":"download-failed","installer":"a.exe","url":"u","bytesReceived":0,
           "httpStatus":0,"signatureVerified":false,"started":"s","ended":"e","upgraderVersion":"v"})",
       kFile, Status::kRead, "4 download-failed a.exe u 0 0 - - - unsigned [] s e v"},
      {"Windows exit code and curl error",
       Edited(R"("installerExitCode": 0)", R"("installerExitCode": 3221225477, "downloadError": 28)"),
       kFile, Status::kRead, "0 installed Setup_1.2.3.exe https://example.com/Setup_1.2.3.exe 1234 200 "
       "28 3221225477 0 signed [DAC9B6FE8F81E607] 2026-12-07T17:18:31Z 2026-12-07T17:18:35Z 1.0.0"},
      {"server's answer and libcurl's text",
       Edited(R"("installerExitCode": 0)",
              R"("serverAnswered": true, "downloadErrorText": "Recv failure")"),
       kFile, Status::kRead,
       "0 installed Setup_1.2.3.exe https://example.com/Setup_1.2.3.exe 1234 200 - - 0 signed "
       "[DAC9B6FE8F81E607] 2026-12-07T17:18:31Z 2026-12-07T17:18:35Z 1.0.0 answered {Recv failure}"},
      {"busy server's wait", Edited(R"("installerExitCode": 0)", R"("retryAfter": 120)"), kFile,
       Status::kRead, "0 installed Setup_1.2.3.exe https://example.com/Setup_1.2.3.exe 1234 200 - - 0 signed "
       "[DAC9B6FE8F81E607] 2026-12-07T17:18:31Z 2026-12-07T17:18:35Z 1.0.0 retry 120"},
      {"wait as text", Edited(R"("installerExitCode": 0)", R"("retryAfter": "120")"), kFile,
       Status::kUnreadable, R"(field "retryAfter" is not an integer in its range: "120")"},
      {"largest", largest, kFile, Status::kRead, whole},
      {"missing", "", kNothing, Status::kNoRecord, "no upgrade has left a record: there is no "},
      {"huge", largest + " ", kFile, Status::kUnreadable,
       "262145 bytes, more than the 262144 a record may have"},
      {"link at the name", sample, kLink, Status::kUnreadable,
       "Too many levels of symbolic links (errno 40)"},
      {"truncated", sample.substr(0, 60), kFile, Status::kUnreadable, "not valid JSON (at byte 61)"},
      {"empty", "", kFile, Status::kUnreadable, "not valid JSON (at byte 1)"},
      {"not an object", "[" + sample + "]", kFile, Status::kUnreadable, "not a JSON object"},
      {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), kFile,
       Status::kUnreadable, "not a JSON object"},
      {"other format", Edited(R"("format": 1, "result": "installed")", R"("format": 2)"), kFile,
       Status::kUnreadable, "format 2, where this library reads 1"},
      {"format as text", Edited(R"("format": 1)", R"("format": "1")"), kFile, Status::kUnreadable,
       R"(field "format" is not an integer in its range: "1")"},
      {"unknown result", Edited(R"("installed")", R"("reinstalled")"), kFile, Status::kUnreadable,
       R"(unknown result "reinstalled")"},
      {"nested as deep as the size allows",
       Edited(R"("installed")", std::string(130000, '[') + std::string(130000, ']')), kFile,
       Status::kUnreadable, R"(field "result" is not a string: array)"},
      {"missing field", Edited(R"("url": "https://example.com/Setup_1.2.3.exe",)", ""), kFile,
       Status::kUnreadable, R"(field "url" is missing)"},
      {"number as text", Edited("1234", R"("1234")"), kFile, Status::kUnreadable,
       R"(field "bytesReceived" is not an integer in its range: "1234")"},
      {"negative exit code", Edited(R"("scriptExitCode": 0)", R"("scriptExitCode": -1)"), kFile,
       Status::kUnreadable, R"(field "scriptExitCode" is not an integer in its range: -1)"},
      {"fraction", Edited("200", "200.5"), kFile, Status::kUnreadable,
       R"(field "httpStatus" is not an integer in its range: 200.5)"},
      {"flag as number", Edited("true", "1"), kFile, Status::kUnreadable,
       R"(field "signatureVerified" is not true or false: 1)"},
      {"request id past 64 bits",
       Edited(R"("format": 1)", R"("format": 1, "requestId": "18446744073709551616")"), kFile,
       Status::kUnreadable, R"(field "requestId" is not a 64-bit id: "18446744073709551616")"},
      {"request id signed", Edited(R"("format": 1)", R"("format": 1, "requestId": "+5")"), kFile,
       Status::kUnreadable, R"(field "requestId" is not a 64-bit id: "+5")"},
      {"key as null", Edited(R"("DAC9B6FE8F81E607")", "null"), kFile, Status::kUnreadable,
       R"(field "keyId" is not a string: null)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(record_.c_str());
    if (c.place == kFile) {
      ASSERT_TRUE(test_support::WriteFile(record_, c.content));
    }
    if (c.place == kLink) {
      ASSERT_TRUE(test_support::WriteFile(temp_.path() + "/elsewhere.json", c.content));
      ASSERT_EQ(symlink((temp_.path() + "/elsewhere.json").c_str(), record_.c_str()), 0);
    }
    const std::size_t descriptors = test_support::OpenDescriptorCount();
    const brisvane::LastUpgradeRead read = brisvane::ReadLastUpgrade();
    EXPECT_EQ(test_support::OpenDescriptorCount(), descriptors) << "left open";
    EXPECT_EQ(read.status, c.status) << read.reason;
    if (c.status == Status::kRead) {
      EXPECT_EQ(Summary(read.record), c.expected);
      EXPECT_EQ(read.reason, "");
    } else if (c.status == Status::kNoRecord) {
      EXPECT_EQ(read.reason, c.expected + record_);
    } else {
      EXPECT_EQ(read.reason, record_ + " cannot be read: " + c.expected);
    }
  }
}

TEST_F(LastUpgradeTest, DataFolderIsQtsForEachEnvironment) {
  const struct {
    const char* xdg;
    const char* home;
    std::string expected;
  } cases[] = {
      {"/x", "/h", "/x/Tamberk/Brisvane/f"},
      {"", "/h", "/h/.local/share/Tamberk/Brisvane/f"},
      {nullptr, "/h", "/h/.local/share/Tamberk/Brisvane/f"},
      {nullptr, nullptr, "neither XDG_DATA_HOME nor HOME is set"},
  };
  for (const auto& c : cases) {
    c.xdg ? env_.Set("XDG_DATA_HOME", c.xdg) : env_.Unset("XDG_DATA_HOME");
    c.home ? env_.Set("HOME", c.home) : env_.Unset("HOME");
    std::string reason;
    const std::string path = platform::UpgraderDataFile("f", &reason);
    EXPECT_EQ(path.empty() ? reason : path, c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
}

// Bytes 0x80-0xBF led by nothing are characters of their own: a reason cut
// among them keeps all that fit, not nothing of them.
TEST_F(LastUpgradeTest, CFunctionCutsAmongStrayContinuationBytesWhereTheyFit) {
  const std::string home = temp_.path() + "/" + std::string(40, '\x80');
  env_.Set("XDG_DATA_HOME", home);
  const std::string text = "no upgrade has left a record: there is no " + home;
  std::vector<char> reason(text.size() - 20 + 1);
  ASSERT_EQ(brisvane_read_last_upgrade(nullptr, reason.data(), reason.size()), BRISVANE_NO_RECORD);
  EXPECT_EQ(std::string(reason.data()), text.substr(0, reason.size() - 1));
}

TEST_F(LastUpgradeTest, CFunctionCutsFieldsAndReasonWithinTheirBuffersAndTakesNulls) {
  // 2046 bytes, then "ü" across the url field's last byte.
  const std::string url = "https://h/" + std::string(2036, 'a') + "ü" + std::string(99, 'b');
  const std::string installer(255, 'i');  // fills its field exactly
  const std::string added = R"(, "serverAnswered": true, "downloadErrorText": ")";
  std::string record = Edited("\"Setup_1.2.3.exe\",",
                              "\"" + installer + "\"" + added + std::string(300, 't') + "\",");
  record.replace(record.find("https://example.com"), 35, url);
  ASSERT_TRUE(test_support::WriteFile(record_, record));
  brisvane_last_upgrade out;
  std::memset(&out, 0x5A, sizeof out);
  char reason[8] = "stale";
  ASSERT_EQ(brisvane_read_last_upgrade(&out, reason, sizeof reason), BRISVANE_RECORD_READ);
  EXPECT_STREQ(reason, "");
  EXPECT_EQ(std::string(out.url), url.substr(0, 2046));
  EXPECT_EQ(std::string(out.installer), installer);
  EXPECT_EQ(std::string(out.download_error_text), std::string(255, 't'));
  EXPECT_EQ(out.server_answered, 1);
  EXPECT_EQ(out.cut, 1);
  EXPECT_EQ(out.result, BRISVANE_UPGRADE_INSTALLED);
  EXPECT_STREQ(out.result_text, "installed");
  EXPECT_EQ(out.bytes_received, 1234u);
  EXPECT_TRUE(out.has_installer_exit_code && !out.has_download_error && out.signature_verified);
  EXPECT_STREQ(out.key_id, "DAC9B6FE8F81E607");
  EXPECT_STREQ(out.upgrader_version, "1.0.0");
  EXPECT_EQ(brisvane_read_last_upgrade(nullptr, nullptr, 0), BRISVANE_RECORD_READ);

  ASSERT_TRUE(test_support::WriteFile(record_, "[]"));
  EXPECT_EQ(brisvane_read_last_upgrade(&out, nullptr, 0), BRISVANE_RECORD_UNREADABLE);
  unlink(record_.c_str());
  const std::string text = "no upgrade has left a record: there is no " + record_;
  const std::size_t umlaut = text.find("ü");
  const struct {
    std::size_t size;
    std::string kept;
  } sizes[] = {{1, ""}, {umlaut + 1, text.substr(0, umlaut)}, {umlaut + 2, text.substr(0, umlaut)},
               {umlaut + 3, text.substr(0, umlaut + 2)}, {text.size() + 1, text}};
  brisvane_last_upgrade zero;
  std::memset(&zero, 0, sizeof zero);
  for (const auto& c : sizes) {
    char buf[400];
    std::memset(buf, '#', sizeof buf);
    std::memset(&out, 0x5A, sizeof out);
    EXPECT_EQ(brisvane_read_last_upgrade(&out, buf, c.size), BRISVANE_NO_RECORD);
    EXPECT_EQ(std::string(buf), c.kept) << "size " << c.size;
    EXPECT_EQ(buf[c.size], '#') << "written past size " << c.size;
    EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0) << "not emptied";
  }
  char untouched = '#';
  EXPECT_EQ(brisvane_read_last_upgrade(nullptr, &untouched, 0), BRISVANE_NO_RECORD);
  EXPECT_EQ(untouched, '#');
}

}  // namespace
